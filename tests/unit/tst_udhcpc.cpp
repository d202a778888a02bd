#include "AddressTestSupport.h"
#include "DhcpClient.h"
#include "LogExpect.h"
#include "PrivateNamespaceMain.h"

#include <QHostInfo>
#include <QSignalSpy>
#include <QtTest>

namespace {

const InterfaceName Kivtest0(QStringLiteral("kivtest0"));

// Stands in for /sbin/udhcpc: logs its start and termination, and prints or ends as
// KIV_FAKE_UDHCPC names; the real client and helper script run in the address system test.
const char FakeClient[] = R"(#!/bin/sh
echo "$$ start $*" >> "$KIV_FAKE_UDHCPC_LOG"
trap 'echo "$$ term" >> "$KIV_FAKE_UDHCPC_LOG"; exit 0' TERM
echo "udhcpc: started, stand-in"
case "$KIV_FAKE_UDHCPC" in
partial)
    printf 'KIVD_IP=10.9.9.9\nKIVD_GATEWAY=10.9.9.1\n'
    echo "$$ printed" >> "$KIV_FAKE_UDHCPC_LOG"
    ;;
addressOnly)
    printf 'KIVD_IP=10.0.0.7\nKIVD_FINISHED\n'
    ;;
exit3)
    exit 3
    ;;
crash)
    kill -SEGV $$
    ;;
esac
while :; do sleep 0.05; done
)";

} // namespace

// Runs Udhcpc against a stand-in laid over /sbin/udhcpc, only in this test's private mount namespace.
class TestUdhcpc : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_fake;
    QString m_log;

    QStringList clientLog() const
    {
        QFile file(m_log);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    static QStringList logTexts(const LogCapture &log)
    {
        QStringList texts;
        for (const QString &text : log.texts())
            texts << withoutLocation(text);
        return texts;
    }

private slots:
    void initTestCase()
    {
        if (!inPrivateNamespaces())
            QSKIP("needs private network and mount namespaces (root and unshare)");
        QVERIFY(m_dir.isValid());
        const QString sbin = QFileInfo(QStringLiteral("/sbin")).canonicalFilePath();
        QVERIFY(overlayDirectory(sbin, m_dir.filePath(QStringLiteral("sbin"))));

        m_fake = Udhcpc::Program;
        QFile::remove(m_fake);
        QFile fake(m_fake);
        QVERIFY(fake.open(QIODevice::WriteOnly));
        fake.write(FakeClient);
        fake.close();
        m_log = m_dir.filePath(QStringLiteral("udhcpc.log"));
        qputenv("KIV_FAKE_UDHCPC_LOG", m_log.toUtf8());
    }

    void init()
    {
        QFile::remove(m_log);
        QVERIFY(QFile::setPermissions(m_fake, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        qputenv("KIV_FAKE_UDHCPC", "");
    }

    void restartEndsThePreviousClientAndDropsItsPartialRecord()
    {
        LogCapture log;
        qputenv("KIV_FAKE_UDHCPC", "partial");
        Udhcpc client(Kivtest0);
        QSignalSpy finished(&client, &DhcpClient::finished);
        client.start();
        QTRY_COMPARE(clientLog().size(), 2);
        qputenv("KIV_FAKE_UDHCPC", "addressOnly");
        client.start();
        QTRY_COMPARE(finished.count(), 1);

        const QStringList lines = clientLog();
        QCOMPARE(lines.size(), 4);
        const QString first = lines.at(0).section(QLatin1Char(' '), 0, 0);
        QCOMPARE(lines.at(1), first + " printed");
        QCOMPARE(lines.at(2), first + " term");
        QCOMPARE(lines.at(3).section(QLatin1Char(' '), 1, 1), QStringLiteral("start"));
        QVERIFY(lines.at(3).section(QLatin1Char(' '), 0, 0) != first);
        const auto lease = finished.at(0).at(0).value<InterfaceConfiguration>();
        QCOMPARE(lease.address().ip(), QHostAddress("10.0.0.7"));
        QVERIFY(!lease.hasGateway());
        QVERIFY(logTexts(log).contains("kivtest0: dhcp client process finished, exit code: 0"));
        QCOMPARE(logTexts(log).value(0), "Starting dhcp client \"/sbin/udhcpc\" w/args: (\"-f\", \"-x\", \"hostname:"
                                             + QHostInfo::localHostName()
                                             + "\", \"-t\", \"7\", \"-T\", \"3\", \"-i\", \"kivtest0\", \"-s\", "
                                               "\"/usr/share/kivd/kivd_udhcpc.sh\")");
    }

    void stopOrDestructionEndsTheClientAndOnlyLogsTheExit()
    {
        LogCapture log;
        auto *client = new Udhcpc(Kivtest0);
        QSignalSpy error(client, &DhcpClient::error);
        QSignalSpy exited(client, &DhcpClient::exited);
        client->start();
        QTRY_COMPARE(clientLog().size(), 1);
        QVERIFY(client->stop());
        QCOMPARE(clientLog().value(1), clientLog().value(0).section(QLatin1Char(' '), 0, 0) + " term");
        QCOMPARE(logTexts(log).constLast(), QStringLiteral("kivtest0: dhcp client process finished, exit code: 0"));
        QCOMPARE(error.count(), 0);
        QCOMPARE(exited.count(), 0);
        QVERIFY(client->stop());

        client->start();
        QTRY_COMPARE(clientLog().size(), 3);
        delete client;
        QCOMPARE(clientLog().size(), 4);
        QCOMPARE(clientLog().at(3), clientLog().at(2).section(QLatin1Char(' '), 0, 0) + " term");
    }

    // An exit or a kill is the client's own end: reported as exited(), not as an error.
    void ownEndIsReportedAsExited_data()
    {
        QTest::addColumn<QByteArray>("mode");
        QTest::addColumn<QString>("logged");
        QTest::newRow("exit") << QByteArray("exit3") << "kivtest0: dhcp client process finished, exit code: 3";
        QTest::newRow("crash") << QByteArray("crash") << "kivtest0: An error occurred in the dhcp client QProcess::Crashed";
    }

    void ownEndIsReportedAsExited()
    {
        QFETCH(QByteArray, mode);
        QFETCH(QString, logged);
        LogCapture log;
        qputenv("KIV_FAKE_UDHCPC", mode);
        Udhcpc client(Kivtest0);
        QSignalSpy finished(&client, &DhcpClient::finished);
        QSignalSpy error(&client, &DhcpClient::error);
        QSignalSpy exited(&client, &DhcpClient::exited);
        client.start();
        QTRY_COMPARE(exited.count(), 1);
        QVERIFY(logTexts(log).contains(logged));
        QCOMPARE(finished.count(), 0);
        QCOMPARE(error.count(), 0);
    }

    void clientThatCannotStartIsReportedAsError()
    {
        QVERIFY(QFile::setPermissions(m_fake, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        LogCapture log;
        Udhcpc client(Kivtest0);
        QSignalSpy error(&client, &DhcpClient::error);
        client.start();
        QTRY_COMPARE(error.count(), 1);
        QCOMPARE(error.at(0).at(0).toString(), QStringLiteral("dhcpc: kivtest0: an error occurred!"));
        bool logged = false;
        for (const auto &message : log.messages()) {
            if (withoutLocation(message.second) == QLatin1String("kivtest0: An error occurred in the dhcp client QProcess::FailedToStart"))
                logged = message.first == QtCriticalMsg;
        }
        QVERIFY(logged);
    }
};

KIV_PRIVATE_NAMESPACE_TEST_MAIN(TestUdhcpc)
#include "tst_udhcpc.moc"
