// The state tables of doc/state-machines.md and the member tables of doc/bus-api.md, compared with
// the machines the code builds and with the bus interface description.

#include "../unit/InterfaceTestSupport.h"
#include "BusDescription.h"

#include "InterfaceWired.h"
#include "InterfaceWireless.h"
#include "KivEvents.h"
#include "KivStateMachine.h"
#include "ModeMachine.h"

#include <QDir>
#include <QRegularExpression>
#include <QSignalTransition>

#include <memory>

namespace {

const QString SoftApName = QStringLiteral("docap0");

QString sourceFile(const QString &relativePath)
{
    QFile file(qEnvironmentVariable("KIV_SOURCE_DIR") + '/' + relativePath);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QStringList backticked(const QString &cell)
{
    static const QRegularExpression code(QStringLiteral("`([^`]+)`"));
    QStringList tokens;
    for (auto it = code.globalMatch(cell); it.hasNext();)
        tokens << it.next().captured(1);
    return tokens;
}

// The body rows, as trimmed cells, of the first table after the line `anchor`.
QList<QStringList> table(const QString &document, const QString &anchor)
{
    const QStringList lines = document.split(QLatin1Char('\n'));
    int i = lines.indexOf(anchor);
    while (i >= 0 && i < lines.size() && !lines.at(i).startsWith(QLatin1Char('|')))
        ++i;
    QList<QStringList> rows;
    for (i += 2; i >= 2 && i < lines.size() && lines.at(i).startsWith(QLatin1Char('|')); ++i) {
        QStringList cells = lines.at(i).split(QLatin1Char('|')).mid(1);
        cells.removeLast();
        for (QString &cell : cells)
            cell = cell.trimmed();
        rows << cells;
    }
    return rows;
}

// "ready()" for "2ready()" or "ready(WirelessNetwork)"; event names stay as they are.
QString callName(QString call)
{
    if (!call.isEmpty() && call.at(0).isDigit())
        call.remove(0, 1);
    const int parenthesis = call.indexOf(QLatin1Char('('));
    return parenthesis < 0 ? call : call.left(parenthesis) + QStringLiteral("()");
}

// Soft-AP state names carry their interface; the documentation writes it as "<if>".
QString genericName(QString name)
{
    if (name.endsWith(QLatin1Char('_') + SoftApName))
        name.replace(name.size() - SoftApName.size(), SoftApName.size(), QStringLiteral("<if>"));
    return name;
}

QString triple(const QString &from, const QString &event, const QString &to)
{
    return from + " --" + event + "--> " + to;
}

QSet<QString> codeTransitions(const QStateMachine *machine)
{
    QSet<QString> transitions;
    for (const QState *state : machine->findChildren<QState *>()) {
        for (const QAbstractTransition *transition : state->transitions()) {
            QString event = QStringLiteral("unknown transition");
            if (const auto *posted = qobject_cast<const KivTransition *>(transition))
                event = KivEvents::eventName(posted->eventType());
            else if (const auto *signal = qobject_cast<const QSignalTransition *>(transition))
                event = genericName(signal->senderObject()->objectName()) + '.' + callName(signal->signal());
            else if (const auto *relayed = qobject_cast<const RelayedSignalTransition *>(transition))
                event = relayed->senderObject()->objectName() + '.' + callName(relayed->signal());
            // A transition without a target acts and stays.
            const QAbstractState *target = transition->targetState() ? transition->targetState() : state;
            transitions << triple(genericName(state->objectName()), event, genericName(target->objectName()));
        }
    }
    return transitions;
}

// Rows "From | Event | To"; "every other mode" stands for each top-level state but the target.
QSet<QString> documentedTransitions(const QList<QStringList> &rows, const QStateMachine *machine)
{
    QSet<QString> transitions;
    for (const QStringList &row : rows) {
        const QString to = backticked(row.value(2)).value(0, "malformed row " + row.join('|'));
        QStringList from = backticked(row.value(0));
        if (row.value(0) == QLatin1String("every other mode")) {
            for (const QAbstractState *state : machine->findChildren<QAbstractState *>(QString(), Qt::FindDirectChildrenOnly))
                from << state->objectName();
            from.removeAll(to);
        }
        for (const QString &source : qAsConst(from)) {
            for (const QString &event : backticked(row.value(1)))
                transitions << triple(source, callName(event), to);
        }
    }
    return transitions;
}

QString difference(const QSet<QString> &code, const QSet<QString> &doc)
{
    return "in the code, not in the doc: [" + QStringList((code - doc).values()).join("; ") + "]; in the doc, not in the code: ["
        + QStringList((doc - code).values()).join("; ") + ']';
}

// The daemon's machines, built on interfaces that do not exist.
struct Machines
{
    QStringList journal;
    RecordingDriver driver;
    FakeSupplicantFactory factory {&journal};
    JournalAddressManager wiredAddresses {InterfaceName(QStringLiteral("docwired0")), &journal};
    JournalAddressManager wirelessAddresses {InterfaceName(QStringLiteral("docwlan0")), &journal};
    InterfaceWired wired {InterfaceName(QStringLiteral("docwired0")), &driver, &wiredAddresses};
    InterfaceWireless wireless {InterfaceName(QStringLiteral("docwlan0")), {SoftApName}, &driver, &wirelessAddresses,
                                nullptr, &factory};
    QStateMachine modes;

    Machines()
    {
        wired.setObjectName(QStringLiteral("wired"));
        wireless.setObjectName(QStringLiteral("wireless"));
        ModeMachine(&modes, KivStateContext(), &wired, &wireless).build();
    }
    const QStateMachine *machine(const QString &name) const
    {
        return name == QLatin1String("wired") ? wired.stateMachine()
            : name == QLatin1String("wireless") ? wireless.stateMachine()
            : name == QLatin1String("softap") ? wireless.softApStateMachine() : &modes;
    }
};

} // namespace

class TestDocs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_stateDoc = sourceFile("doc/state-machines.md");
        m_busDoc = sourceFile("doc/bus-api.md");
        m_busXml = sourceFile("src/kivd/dbus/com.tarvel.kiv.xml");
        QVERIFY2(!m_stateDoc.isEmpty() && !m_busDoc.isEmpty() && !m_busXml.isEmpty(), "KIV_SOURCE_DIR must name the source tree");
        m_machines = std::make_unique<Machines>();
    }

    void cleanupTestCase() { m_machines.reset(); }

    void tablesMatchTheMachine_data()
    {
        QTest::addColumn<QString>("machine");
        for (const char *name : {"wired", "wireless", "softap", "mode"})
            QTest::newRow(name) << QString(name);
    }

    void tablesMatchTheMachine()
    {
        QFETCH(QString, machine);
        const QStateMachine *built = m_machines->machine(machine);
        QSet<QString> documentedStates, builtStates;
        for (const QStringList &row : table(m_stateDoc, QStringLiteral("<!-- states: %1 -->").arg(machine)))
            documentedStates << backticked(row.value(0)).value(0);
        for (const QAbstractState *state : built->findChildren<QAbstractState *>())
            builtStates << genericName(state->objectName());
        QVERIFY2(!builtStates.isEmpty(), "the machine has no states");
        QVERIFY2(documentedStates == builtStates, qPrintable(difference(builtStates, documentedStates)));

        const QSet<QString> documented =
            documentedTransitions(table(m_stateDoc, QStringLiteral("<!-- transitions: %1 -->").arg(machine)), built);
        const QSet<QString> code = codeTransitions(built);
        QVERIFY2(!code.isEmpty(), "the machine has no transitions");
        QVERIFY2(documented == code, qPrintable(difference(code, documented)));
    }

    void documentedSupplicantLoopsExist()
    {
        QString sources;
        for (const QString &file : QDir(qEnvironmentVariable("KIV_SOURCE_DIR") + "/src/kivd").entryList({"*.cpp"}))
            sources += sourceFile("src/kivd/" + file);
        for (const char *loops : {"supplicant", "wps"}) {
            const QList<QStringList> rows = table(m_stateDoc, QStringLiteral("<!-- loops: %1 -->").arg(loops));
            QVERIFY2(!rows.isEmpty(), loops);
            for (const QStringList &row : rows)
                QVERIFY2(sources.contains("WpaSupplicant::" + backticked(row.value(0)).value(0) + '('), qPrintable(row.value(0)));
        }
    }

    // Each member of the interface description has one row with its types (and access), and an example.
    void busApiDocumentsEveryMember()
    {
        QString error;
        const BusInterfaceDescription bus = BusDescription::parse(m_busXml.toUtf8(), &error).value(0);
        QVERIFY2(bus.methods.size() > 5 && bus.signalMembers.size() > 5, qPrintable(error));
        QSet<QString> described, documented;
        for (const BusMember &method : bus.methods)
            described << "Methods " + method.name + ' ' + method.signature("in") + " -> " + method.signature("out");
        for (const BusMember &signal : bus.signalMembers)
            described << "Signals " + signal.name + ' ' + signal.signature("out");
        for (const BusProperty &property : bus.properties)
            described << "Properties " + property.name + ' ' + property.type + ' ' + property.access;

        const auto types = [](const QString &cell) {
            QString signature;
            for (const QString &argument : backticked(cell))
                signature += argument.section(QLatin1Char(' '), 0, 0);
            return signature;
        };
        for (const QString section : {"Methods", "Signals", "Properties"}) {
            for (const QStringList &row : table(m_busDoc, "## " + section)) {
                const QString name = backticked(row.value(0)).value(0);
                documented << section + ' ' + name + ' '
                        + (section == "Methods" ? types(row.value(1)) + " -> " + types(row.value(2))
                           : section == "Signals" ? types(row.value(1)) : QString(row.value(1) + ' ' + row.value(2)).remove('`'));
                const QString example = section == "Methods" ? "com.tarvel.kiv." + name
                    : section == "Signals" ? "kivctl monitor " + name : "com.tarvel.kiv " + name;
                QVERIFY2(m_busDoc.contains(example), qPrintable("no example: " + example));
            }
        }
        QVERIFY2(documented == described, qPrintable(difference(described, documented)));
    }

private:
    QString m_stateDoc;
    QString m_busDoc;
    QString m_busXml;
    std::unique_ptr<Machines> m_machines;
};

QTEST_GUILESS_MAIN(TestDocs)
#include "tst_docs.moc"
