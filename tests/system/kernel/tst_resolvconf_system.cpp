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

const InterfaceName Eth0(QStringLiteral("eth0"));

} // namespace

// Runs inside a sandbox device, whose private /etc/resolv.conf is a symbolic link to the resolv.conf
// of the sandbox directory: what the resolver writes there is what the machine sees in that file.
// Merging, rendering and a missing file are tst_resolvconf's and tst_configfilewriter's.
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

    void fileIsRewrittenOnlyAfterAChange()
    {
        ResolvConfImpl resolver;
        resolver.setNameservers({QHostAddress("10.0.0.1")}, Eth0);
        resolver.setSearchDomains({"home.lan"}, Eth0);
        resolver.write();
        QVERIFY(replaceContent(m_target, "edited by hand\n"));

        resolver.setNameservers({QHostAddress("10.0.0.1")}, Eth0);
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

};

KIV_SANDBOX_DEVICE_TEST_MAIN(TestResolvConfSystem, (SandboxDeviceTest::Setup{{"--no-dhcp", "--no-ra"}, {}}))
#include "tst_resolvconf_system.moc"
