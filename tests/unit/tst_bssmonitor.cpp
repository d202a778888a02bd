// BSS properties to access-point descriptions, and the channel of a frequency.
#include "BssMonitor.h"
#include "LogExpect.h"
#include "NetworkTypes.h"

#include <QtTest>

namespace {

QVariantMap keyMgmt(const QStringList &keys)
{
    return {{"KeyMgmt", keys}, {"Pairwise", QStringList {"ccmp"}}, {"Group", "ccmp"}};
}

QVariantMap bss(const QByteArray &ssid, bool privacy, const QStringList &wpa, const QStringList &rsn)
{
    return {{"SSID", ssid},
            {"BSSID", QByteArray::fromHex("021a2b3c4d5e")},
            {"Privacy", privacy},
            {"WPA", keyMgmt(wpa)},
            {"RSN", keyMgmt(rsn)},
            {"Signal", QVariant::fromValue<short>(-61)},
            {"Frequency", QVariant::fromValue<ushort>(5180)},
            {"IEs", QByteArray::fromHex("000448656c6c6f")}};
}

} // namespace

class TestBssMonitor : public QObject
{
    Q_OBJECT

private slots:
    void channelOfFrequency_data()
    {
        QTest::addColumn<int>("frequency");
        QTest::addColumn<int>("channel");
        QTest::addColumn<int>("scanChannel");
        QTest::newRow("2411 below the 2.4 GHz band") << 2411 << 0 << 0;
        QTest::newRow("2412 channel 1") << 2412 << 1 << 1;
        QTest::newRow("2437 channel 6") << 2437 << 6 << 6;
        QTest::newRow("2472 channel 13") << 2472 << 13 << 13;
        QTest::newRow("2473 counted on here, not in scan results") << 2473 << 13 << 0;
        QTest::newRow("2483 between 13 and 14") << 2483 << 15 << 0;
        QTest::newRow("2484 channel 14") << 2484 << 14 << 14;
        QTest::newRow("4920 public safety band") << 4920 << 184 << 0;
        QTest::newRow("4980 top of that band") << 4980 << 196 << 0;
        QTest::newRow("5169 below the 5 GHz scan band") << 5169 << 33 << 0;
        QTest::newRow("5170 lowest 5 GHz scan channel") << 5170 << 34 << 34;
        QTest::newRow("5180 channel 36") << 5180 << 36 << 36;
        QTest::newRow("5825 channel 165") << 5825 << 165 << 165;
        QTest::newRow("5826 above the 5 GHz scan band") << 5826 << 165 << 0;
        QTest::newRow("5955 6 GHz band") << 5955 << 191 << 0;
        QTest::newRow("45000 last counted from 5000") << 45000 << 8000 << 0;
        QTest::newRow("58320 60 GHz channel 1") << 58320 << 1 << 0;
        QTest::newRow("64800 60 GHz channel 4") << 64800 << 4 << 0;
    }

    void channelOfFrequency()
    {
        QFETCH(int, frequency);
        QFETCH(int, channel);
        QFETCH(int, scanChannel);
        QCOMPARE(BssMonitor::frequencyToChannel(frequency), channel);
        QCOMPARE(NetworkTypes::frequencyToScanChannel(frequency), scanChannel);
    }

    void frequencyOutsideEveryBandWarns()
    {
        for (int frequency : {45001, 58319, 64801}) {
            expectLog(QtWarningMsg, QStringLiteral("No such frequency: %1").arg(frequency));
            QCOMPARE(BssMonitor::frequencyToChannel(frequency), 0);
        }
    }

    void securityFollowsPrivacyAndKeyManagement_data()
    {
        QTest::addColumn<QVariantMap>("properties");
        QTest::addColumn<bool>("listed");
        QTest::addColumn<SecurityType>("type");
        QTest::newRow("open") << bss("Cafe", false, {}, {}) << true << SecurityType::Unsecured;
        QTest::newRow("open despite key management") << bss("Cafe", false, {}, {"wpa-psk"}) << true << SecurityType::Unsecured;
        QTest::newRow("privacy without WPA or RSN is WEP") << bss("Old", true, {}, {}) << true << SecurityType::Wep;
        QTest::newRow("WPA1 PSK") << bss("Home", true, {"wpa-psk"}, {}) << true << SecurityType::WpaPsk;
        QTest::newRow("RSN PSK-SHA256 only") << bss("Home", true, {}, {"wpa-psk-sha256"}) << true << SecurityType::WpaPsk;
        QTest::newRow("PSK and EAP is PSK") << bss("Mixed", true, {}, {"wpa-eap", "wpa-psk"}) << true << SecurityType::WpaPsk;
        QTest::newRow("EAP only is ignored") << bss("Corp", true, {}, {"wpa-eap"}) << false << SecurityType::Unsecured;
        QTest::newRow("EAP-SHA256 only is ignored") << bss("Corp", true, {"wpa-eap-sha256"}, {}) << false << SecurityType::Unsecured;
        QTest::newRow("hidden SSID") << bss("", true, {}, {"wpa-psk"}) << false << SecurityType::WpaPsk;
        QTest::newRow("no properties at all") << QVariantMap() << false << SecurityType::Unsecured;
    }

    void securityFollowsPrivacyAndKeyManagement()
    {
        QFETCH(QVariantMap, properties);
        QFETCH(bool, listed);
        QFETCH(SecurityType, type);
        const ApDescription description = BssMonitor::describe(properties);
        QCOMPARE(description.isValid(), listed);
        if (listed)
            QCOMPARE(description.type(), type);
    }

    void validDescriptionCarriesEveryProperty()
    {
        const ApDescription description = BssMonitor::describe(bss("Home", true, {}, {"wpa-psk"}));
        QCOMPARE(description.ssid(), Ssid::fromString("Home"));
        QCOMPARE(description.bssid().toString(), QStringLiteral("02:1A:2B:3C:4D:5E"));
        QCOMPARE(description.signal(), qint16(-61));
        QCOMPARE(description.frequency(), quint16(5180));
        QCOMPARE(description.ies(), QByteArray::fromHex("000448656c6c6f"));

        const ApDescription ignored = BssMonitor::describe(bss("Corp", true, {}, {"wpa-eap"}));
        QVERIFY(ignored.bssid().isEmpty());
        QVERIFY(ignored.ies().isEmpty());

        expectLog(QtWarningMsg, QStringLiteral("SSID is too long: \"%1\", rejecting!").arg(QString(QByteArray(33, 'a').toHex())));
        QVERIFY(!BssMonitor::describe(bss(QByteArray(33, 'a'), false, {}, {})).isValid());
    }
};

QTEST_GUILESS_MAIN(TestBssMonitor)
#include "tst_bssmonitor.moc"
