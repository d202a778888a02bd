#include "ConfigFileWriter.h"
#include "ResolvConf.h"
#include "SandboxDeviceTest.h"

#include <QFileInfo>
#include <QtTest>

#include <memory>

namespace {

const QString LinkPath = QStringLiteral("/etc/resolv.conf");

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

// Runs inside a sandbox device, whose private /etc/resolv.conf is a symbolic link to the resolv.conf
// of the sandbox directory: what the resolver writes there is what the machine sees in that file.
class TestResolvConfSystem : public QObject
{
    Q_OBJECT

private:
    const QByteArray m_header = ConfigFileWriter::Header.toUtf8();
    QString m_target;

    // The device's link as the sandbox made it, in front of a file with one old name server.
    void restoreLink()
    {
        if (QFileInfo(LinkPath).symLinkTarget() != m_target) {
            QFile::remove(LinkPath);
            QVERIFY(QFile::link(m_target, LinkPath));
        }
        QVERIFY(replaceContent(m_target, "nameserver 192.0.2.99\n"));
    }

private slots:
    void initTestCase()
    {
        m_target = SandboxDeviceTest::sandboxDir() + QStringLiteral("/resolv.conf");
        QCOMPARE(QFileInfo(LinkPath).symLinkTarget(), m_target);
    }

    void init() { restoreLink(); }

    void cleanup() { restoreLink(); }

    void firstWriteReplacesTheLinkTargetWithTheHeaderOnly()
    {
        const std::unique_ptr<ResolvConf> resolver(ResolvConf::create(nullptr));
        QCOMPARE(ResolvConf::readNameservers(), QStringList{"192.0.2.99"});
        resolver->write();
        QCOMPARE(QFileInfo(LinkPath).symLinkTarget(), m_target);
        QCOMPARE(contentOf(m_target), m_header);
        QVERIFY(!QFile::exists(m_target + ConfigFileWriter::TempSuffix));
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
        QCOMPARE(contentOf(m_target), m_header + "nameserver 10.0.0.1\n"
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
        QVERIFY(replaceContent(m_target, "edited by hand\n"));

        resolver.setNameservers(addresses({"10.0.0.1"}), Eth0);
        resolver.setSearchDomains({"home.lan"}, Eth0);
        resolver.write();
        QCOMPARE(contentOf(m_target), QByteArray("edited by hand\n"));

        resolver.setSearchDomains({"office.lan"}, Eth0);
        resolver.write();
        QCOMPARE(contentOf(m_target), m_header + "nameserver 10.0.0.1\nsearch office.lan\n");

        resolver.removeNameservers(Eth0);
        resolver.removeSearchDomains(Eth0);
        resolver.write();
        QCOMPARE(contentOf(m_target), m_header);
    }

    // Without the link the file is created in the device's own /etc; the sandbox's file stays as it was.
    void missingFileIsCreated()
    {
        QVERIFY(QFile::remove(LinkPath));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Couldn't get realpath for \"/etc/resolv.conf\", continuing anyway!"));
        ResolvConfImpl resolver;
        resolver.setNameservers(addresses({"10.0.0.1"}), Eth0);
        resolver.write();
        QVERIFY(!QFileInfo(LinkPath).isSymLink());
        QCOMPARE(contentOf(LinkPath), m_header + "nameserver 10.0.0.1\n");
        QCOMPARE(contentOf(m_target), QByteArray("nameserver 192.0.2.99\n"));
    }
};

KIV_SANDBOX_DEVICE_TEST_MAIN(TestResolvConfSystem, (SandboxDeviceTest::Setup{{"--no-dhcp", "--no-ra"}, {}}))
#include "tst_resolvconf_system.moc"
