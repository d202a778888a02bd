// A rejected pre-shared key told from wpa_supplicant's property updates, as Debian's build
// publishes them (property sequences recorded on simulated radios).
#include "WrongKeyDetector.h"

#include <QDBusObjectPath>
#include <QtTest>

using Updates = QList<QVariantMap>;
Q_DECLARE_METATYPE(Updates)

namespace {

const QString Network = QStringLiteral("/fi/w1/wpa_supplicant1/Interfaces/0/Networks/0");

QVariantMap state(const QString &value) { return {{"State", value}}; }
QVariantMap reason(int value) { return {{"DisconnectReason", value}}; }
QVariantMap current(const QString &path) { return {{"CurrentNetwork", QVariant::fromValue(QDBusObjectPath(path))}}; }

Updates handshakeUntil(const Updates &end)
{
    return Updates{state("scanning"), current(Network), state("authenticating"), state("associating"), state("associated"),
                   state("4way_handshake")} + end;
}

} // namespace

class TestWrongKeyDetector : public QObject
{
    Q_OBJECT

private slots:
    void reportsTheNetworkOnceWhenTheAccessPointEndsTheHandshake_data()
    {
        QTest::addColumn<Updates>("updates");
        QTest::addColumn<QStringList>("reported");
        const Updates rejected{reason(15), state("disconnected")};
        QTest::newRow("access point ends the handshake")
            << handshakeUntil(rejected + Updates{state("scanning"), state("inactive")}) << QStringList{Network};
        QTest::newRow("reason and state in one update")
            << handshakeUntil({{{"DisconnectReason", 15}, {"State", "disconnected"}}}) << QStringList{Network};
        QTest::newRow("batched straight to scanning")
            << handshakeUntil({{{"DisconnectReason", 15}, {"State", "scanning"}}}) << QStringList{Network};
        QTest::newRow("network cleared with the disconnection")
            << handshakeUntil({{{"CurrentNetwork", QVariant::fromValue(QDBusObjectPath("/"))}, {"DisconnectReason", 2}},
                               state("disconnected")})
            << QStringList{Network};
        QTest::newRow("two rejections") << handshakeUntil(rejected) + handshakeUntil(rejected) << QStringList{Network, Network};
        QTest::newRow("kivd's own disconnect during the handshake")
            << handshakeUntil({reason(-3), state("disconnected")}) << QStringList();
        QTest::newRow("lost after completing")
            << handshakeUntil(Updates{state("group_handshake"), state("completed")} + rejected) << QStringList();
        QTest::newRow("stale reason of an earlier disconnection")
            << Updates{current(Network), reason(15), state("disconnected"), state("associated"), state("4way_handshake"),
                       state("disconnected")}
            << QStringList();
        QTest::newRow("no network known") << Updates{state("4way_handshake")} + rejected << QStringList();
    }

    void reportsTheNetworkOnceWhenTheAccessPointEndsTheHandshake()
    {
        QFETCH(Updates, updates);
        QFETCH(QStringList, reported);
        WrongKeyDetector detector;
        QStringList results;
        for (const QVariantMap &update : updates)
            results << detector.update(update);
        results.removeAll(QString());
        QCOMPARE(results, reported);
    }
};

QTEST_GUILESS_MAIN(TestWrongKeyDetector)
#include "tst_wrongkeydetector.moc"
