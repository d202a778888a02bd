#include "ConfigFileWriter.h"
#include "KernelSandbox.h"
#include "ResolvConf.h"

#include <QDir>
#include <QFileInfo>
#include <QtTest>

#include <memory>

namespace {

const QString LinkPath = QStringLiteral("/etc/resolv.conf");
const QString TargetDir = QStringLiteral("/etc/kiv-resolver");
const QString TargetPath = QStringLiteral("/etc/kiv-resolver/resolv.conf");

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool replaceContent(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

QList<QHostAddress> addresses(const QStringList &texts)
{
    QList<QHostAddress> list;
    for (const QString &text : texts)
        list << QHostAddress(text);
    return list;
}

const InterfaceName Eth0(QStringLiteral("eth0"));
const InterfaceName Wlan0(QStringLiteral("wlan0"));

} // namespace

// /etc here is a private overlay: /etc/resolv.conf is a symbolic link into /etc/kiv-resolver.
class TestResolvConfSystem : public QObject
{
    Q_OBJECT

private:
    const QByteArray m_header = ConfigFileWriter::Header.toUtf8();

private slots:
    void initTestCase()
    {
        const QString refusal = KernelSandbox::refusalReason();
        QVERIFY2(refusal.isEmpty(), qPrintable(refusal));
    }

    void init()
    {
        QFile::remove(LinkPath);
        QVERIFY(QDir().mkpath(TargetDir));
        QVERIFY(replaceContent(TargetPath, "nameserver 192.0.2.99\n"));
        QVERIFY(QFile::link(QStringLiteral("kiv-resolver/resolv.conf"), LinkPath));
    }

    void cleanup()
    {
        QFile::remove(LinkPath);
        QDir(TargetDir).removeRecursively();
    }

    void firstWriteReplacesTheLinkTargetWithTheHeaderOnly()
    {
        const std::unique_ptr<ResolvConf> resolver(ResolvConf::create(nullptr));
        QCOMPARE(ResolvConf::readNameservers(), QStringList{"192.0.2.99"});
        resolver->write();
        QVERIFY(QFileInfo(LinkPath).isSymLink());
        QCOMPARE(contentOf(TargetPath), m_header);
        QVERIFY(!QFile::exists(TargetPath + ConfigFileWriter::TempSuffix));
        QCOMPARE(ResolvConf::readNameservers(), QStringList());
    }

    void writesMergedServersAndSearchDomainsAndReadsThemBack()
    {
        ResolvConfImpl resolver;
        resolver.setNameservers(addresses({"10.0.0.1", "10.0.0.2", "fd00::1"}), Eth0);
        resolver.setSearchDomains({"home.lan"}, Eth0);
        resolver.setNameservers(addresses({"fd00:1::53"}), Wlan0);
        resolver.setSearchDomains({"corp.example.com", "example.com"}, Wlan0);
        resolver.write();
        QCOMPARE(contentOf(TargetPath), m_header + "nameserver 10.0.0.1\n"
                                                  "nameserver fd00::1\n"
                                                  "nameserver fd00:1::53\n"
                                                  "search home.lan corp.example.com example.com\n");
        QCOMPARE(ResolvConf::readNameservers(), (QStringList{"10.0.0.1", "fd00::1", "fd00:1::53"}));
    }

    void fileIsRewrittenOnlyAfterAChange()
    {
        ResolvConfImpl resolver;
        resolver.setNameservers(addresses({"10.0.0.1"}), Eth0);
        resolver.setSearchDomains({"home.lan"}, Eth0);
        resolver.write();
        QVERIFY(replaceContent(TargetPath, "edited by hand\n"));

        resolver.setNameservers(addresses({"10.0.0.1"}), Eth0);
        resolver.setSearchDomains({"home.lan"}, Eth0);
        resolver.write();
        QCOMPARE(contentOf(TargetPath), QByteArray("edited by hand\n"));

        resolver.setSearchDomains({"office.lan"}, Eth0);
        resolver.write();
        QCOMPARE(contentOf(TargetPath), m_header + "nameserver 10.0.0.1\nsearch office.lan\n");

        resolver.removeNameservers(Eth0);
        resolver.removeSearchDomains(Eth0);
        resolver.write();
        QCOMPARE(contentOf(TargetPath), m_header);
    }

    void missingFileIsCreated()
    {
        QFile::remove(LinkPath);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Couldn't get realpath for \"/etc/resolv.conf\", continuing anyway!"));
        ResolvConfImpl resolver;
        resolver.setNameservers(addresses({"10.0.0.1"}), Eth0);
        resolver.write();
        QVERIFY(!QFileInfo(LinkPath).isSymLink());
        QCOMPARE(contentOf(LinkPath), m_header + "nameserver 10.0.0.1\n");
    }
};

QTEST_GUILESS_MAIN(TestResolvConfSystem)
#include "tst_resolvconf_system.moc"
