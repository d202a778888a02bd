#include "AddressTestSupport.h"
#include "InterfaceState.h"
#include "KivEvents.h"
#include "LogExpect.h"

#include <QStateMachine>
#include <QtTest>

class TestInterfaceState : public QObject
{
    Q_OBJECT

private slots:
    void entryAndExitAreLoggedOnceUnderTheCurrentName()
    {
        InterfaceName name(QStringLiteral("kivtest0"));
        QStateMachine machine;
        auto *first = new InterfaceState(&machine, &name, QStringLiteral("FirstState"));
        auto *second = new InterfaceState(&machine, &name, QStringLiteral("SecondState"));
        first->addTransition(new KivTransition(WiredEvent::Enable(), first));
        first->addTransition(new KivTransition(WiredEvent::Disable(), second));
        machine.setInitialState(first);
        QCOMPARE(first->objectName(), QStringLiteral("FirstState"));
        QCOMPARE(second->stateName(), QStringLiteral("SecondState"));

        LogCapture log;
        machine.start();
        QTRY_VERIFY(machine.isRunning());
        machine.postEvent(new WiredEvent::Enable());
        QTRY_COMPARE(log.messages().size(), 3);
        name = InterfaceName(QStringLiteral("kivrenamed0"));
        machine.postEvent(new WiredEvent::Disable());
        QTRY_COMPARE(log.messages().size(), 5);

        QStringList lines;
        for (const auto &message : log.messages()) {
            QCOMPARE(message.first, QtInfoMsg);
            lines << withoutLocation(message.second);
        }
        QCOMPARE(lines, QStringList({"Interface kivtest0 entering state: FirstState",
                                     "Interface kivtest0 exiting state: FirstState",
                                     "Interface kivtest0 entering state: FirstState",
                                     "Interface kivrenamed0 exiting state: FirstState",
                                     "Interface kivrenamed0 entering state: SecondState"}));
    }
};

QTEST_GUILESS_MAIN(TestInterfaceState)
#include "tst_interfacestate.moc"
