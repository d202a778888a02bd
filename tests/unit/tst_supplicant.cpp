// The supplicant client's pure parts: the message queue's order, deadlines, coalescing, flush and
// deferral (the hand-over between threads is tsan_supplicantmessagequeue); BSS properties to
// access-point descriptions and channels; what a WPS session reports.
#include "BssMonitor.h"
#include "LogExpect.h"
#include "NetworkTypes.h"
#include "SupplicantMessageQueue.h"
#include "SupplicantMessages.h"
#include "SupplicantWpaSupplicant.h"

#include <QtTest>

using namespace SupplicantMessage;

namespace {

const WirelessNetwork Home(Ssid::fromString("Home"), SecurityType::WpaPsk, "secret123", 0);

// Everything queued, front first; names without the "WpaSupplicant::" prefix, an Enable's with the
// SSID of its one network.
QStringList drain(SupplicantMessageQueue &queue)
{
    QStringList names;
    while (queue.isPending()) {
        const QVariant message = queue.dequeue();
        const QSet<WirelessNetwork> networks = message.value<Enable>().networks;
        names << QString::fromLatin1(message.typeName()).section("::", 1) + (networks.isEmpty() ? "" : " " + networks.begin()->ssid().toString());
    }
    return names;
}

QVariantMap bss(const QByteArray &ssid, bool privacy, const QStringList &wpa, const QStringList &rsn)
{
    return {{"SSID", ssid}, {"BSSID", QByteArray::fromHex("021a2b3c4d5e")}, {"Privacy", privacy}, {"WPA", QVariantMap{{"KeyMgmt", wpa}}},
            {"RSN", QVariantMap{{"KeyMgmt", rsn}}}, {"Frequency", QVariant::fromValue<ushort>(5180)}};
}

} // namespace

class TestSupplicant : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { registerTypes(); }

    // Arrival order, waits until a deadline, the flush of state messages and the return of deferred
    // commands to the front.
    void queueKeepsOrderDeadlinesAndDeferredCommands()
    {
        SupplicantMessageQueue queue;
        for (const QVariant &message : {make(Enable{{Home}}), make<Connected>(), make<Quit>(), make<Disable>()})
            queue.enqueue(message);
        QVERIFY(queue.isPending());
        QCOMPARE(drain(queue), QStringList({"Enable Home", "Connected", "Quit", "Disable"}));
        QVERIFY(!queue.isPending());

        // A passed deadline still gives what is queued; an empty queue is waited on until the deadline.
        queue.enqueue(make<Inactive>());
        QVERIFY(is<Inactive>(queue.dequeue(SupplicantMessageQueue::monotonicMs() - 5000)));
        const qint64 deadline = SupplicantMessageQueue::monotonicMs() + 150;
        QVERIFY(!queue.dequeue(deadline).isValid());
        QVERIFY(SupplicantMessageQueue::monotonicMs() >= deadline - 1);

        // State messages are flushed; deferred commands return to the front.
        for (const QVariant &message :
             {make<Connected>(), make(Enable{{Home}}), make<Inactive>(), make(StartWpsPin{"12345670"}),
              make(NetworkTempDisabled{QDBusObjectPath("/n/0"), "WRONG_KEY"}), make(WpsCredentials{Home}), make<Quit>(),
              make(WpsErrored{"18"}), make<InterfaceAdded>(), make<SupplicantStarted>(), make(SupplicantOwnerChanged{true, false})})
            queue.enqueue(message);
        queue.removeStateMessages();
        QCOMPARE(drain(queue), QStringList({"Enable Home", "StartWpsPin", "Quit", "InterfaceAdded", "SupplicantOwnerChanged"}));
        queue.enqueue(make<Connected>());
        queue.defer(make<Enable>());
        queue.defer(make<Quit>());
        QCOMPARE(drain(queue), QStringList({"Connected"}));
        queue.enqueue(make<Disable>());
        queue.requeueDeferred();
        QCOMPARE(drain(queue), QStringList({"Enable", "Quit", "Disable"}));
    }

    void newNetworkListReplacesThoseQueuedSinceTheLastOtherCommand()
    {
        SupplicantMessageQueue queue;
        for (const QVariant &message : {make(Enable{{Home}}), make<StartWpsPbc>(), make(Enable{{Home}}), make<Connected>(), make<Disable>(),
                                        make(Enable{{WirelessNetwork(Ssid::fromString("Cafe"), SecurityType::Unsecured)}})})
            queue.enqueue(message);
        QCOMPARE(drain(queue), QStringList({"Enable Home", "StartWpsPbc", "Connected", "Enable Cafe"}));
    }

    void channelOfFrequency_data()
    {
        QTest::addColumn<int>("frequency");
        QTest::addColumn<int>("channel");
        QTest::addColumn<int>("scanChannel");
        QTest::newRow("2411 below the 2.4 GHz band") << 2411 << 0 << 0;
        QTest::newRow("2473 counted on here, not in scan results") << 2473 << 13 << 0;
        QTest::newRow("2484 channel 14") << 2484 << 14 << 14;
        QTest::newRow("5169 below the 5 GHz scan band") << 5169 << 33 << 0;
        QTest::newRow("5170 lowest 5 GHz scan channel") << 5170 << 34 << 34;
        QTest::newRow("5826 above the 5 GHz scan band") << 5826 << 165 << 0;
        QTest::newRow("45000 last counted from 5000") << 45000 << 8000 << 0;
        QTest::newRow("58320 60 GHz channel 1") << 58320 << 1 << 0;
        QTest::newRow("58319 outside every band") << 58319 << 0 << 0;
    }

    void channelOfFrequency()
    {
        QFETCH(int, frequency);
        QFETCH(int, channel);
        QFETCH(int, scanChannel);
        if (channel == 0 && frequency > 45000)
            expectLog(QtWarningMsg, QStringLiteral("No such frequency: %1").arg(frequency));
        QCOMPARE(BssMonitor::frequencyToChannel(frequency), channel);
        QCOMPARE(NetworkTypes::frequencyToScanChannel(frequency), scanChannel);
    }

    void securityFollowsPrivacyAndKeyManagement_data()
    {
        QTest::addColumn<QVariantMap>("properties");
        QTest::addColumn<bool>("listed");
        QTest::addColumn<SecurityType>("type");
        QTest::newRow("open despite key management") << bss("Cafe", false, {}, {"wpa-psk"}) << true << SecurityType::Unsecured;
        QTest::newRow("privacy without WPA or RSN is WEP") << bss("Old", true, {}, {}) << true << SecurityType::Wep;
        QTest::newRow("RSN PSK-SHA256 only") << bss("Home", true, {}, {"wpa-psk-sha256"}) << true << SecurityType::WpaPsk;
        QTest::newRow("PSK and EAP is PSK") << bss("Mixed", true, {}, {"wpa-eap", "wpa-psk"}) << true << SecurityType::WpaPsk;
        QTest::newRow("EAP only is ignored") << bss("Corp", true, {}, {"wpa-eap"}) << false << SecurityType::Unsecured;
        QTest::newRow("EAP-SHA256 only is ignored") << bss("Corp", true, {"wpa-eap-sha256"}, {}) << false << SecurityType::Unsecured;
        QTest::newRow("hidden SSID") << bss("", true, {}, {"wpa-psk"}) << false << SecurityType::WpaPsk;
        QTest::newRow("no properties at all") << QVariantMap() << false << SecurityType::Unsecured;
    }

    // The signal shows in the kivctl daemon system test's scan; the IEs are the fuzz target's invariant.
    void securityFollowsPrivacyAndKeyManagement()
    {
        QFETCH(QVariantMap, properties);
        QFETCH(bool, listed);
        QFETCH(SecurityType, type);
        const ApDescription description = BssMonitor::describe(properties);
        QCOMPARE(description.isValid(), listed);
        QVERIFY(!listed || (description.type() == type && description.bssid().toString() == "02:1A:2B:3C:4D:5E"));
    }

    void wpsFailureGivesTheErrorText()
    {
        QCOMPARE(WpaSupplicant::wpsErrorText("11"), QString::fromUtf8("Couldn\xE2\x80\x99t connect to Registrar"));
        // Codes without a text are passed on as they came.
        QCOMPARE(WpaSupplicant::wpsErrorText("19"), QStringLiteral("19"));
    }

    void wpsCredentialsGiveTheNetwork_data()
    {
        QTest::addColumn<QVariantMap>("credentials");
        QTest::addColumn<WirelessNetwork>("network");
        const Ssid home = Ssid::fromString("Home");
        // As wpa_supplicant sends them: byte arrays and one-element string lists.
        const auto sent = [](const QByteArray &ssid, const QStringList &auth, const QString &encryption, const QByteArray &key) {
            return QVariantMap{{"SSID", ssid}, {"AuthType", auth}, {"EncrType", QStringList{encryption}}, {"Key", key}};
        };
        QTest::newRow("unsecured ignores a key") << sent("Home", {"open"}, "none", "leftover")
                                                 << WirelessNetwork(home, SecurityType::Unsecured);
        QTest::newRow("open WEP") << sent("Home", {"open"}, "wep", "abcde") << WirelessNetwork(home, SecurityType::Wep, "abcde");
        QTest::newRow("shared WEP") << sent("Home", {"shared"}, "wep", "0102030405")
                                    << WirelessNetwork(home, SecurityType::Wep, "0102030405");
        QTest::newRow("several auth types are WPA") << sent("Home", {"wpa-psk", "wpa2-psk"}, "aes", "secret123") << Home;
    }

    void wpsCredentialsGiveTheNetwork()
    {
        QFETCH(QVariantMap, credentials);
        QFETCH(WirelessNetwork, network);
        QCOMPARE(WpaSupplicant::networkFromWpsCredentials(credentials), network);
    }
};

QTEST_GUILESS_MAIN(TestSupplicant)
#include "tst_supplicant.moc"
