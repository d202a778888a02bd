// The state tables of doc/state-machines.md and the member tables of doc/bus-api.md, compared with
// the machines the code builds and with the bus interface description.

#include "AddressManager.h"
#include "InterfaceWired.h"
#include "InterfaceWireless.h"
#include "KivEvents.h"
#include "KivStateMachine.h"
#include "ModeMachine.h"
#include "NetworkDriver.h"
#include "Supplicant.h"

#include <QAbstractTransition>
#include <QDir>
#include <QRegularExpression>
#include <QSignalTransition>
#include <QStateMachine>
#include <QXmlStreamReader>
#include <QtTest>

#include <memory>

namespace {

const QString SoftApName = QStringLiteral("docap0");

QString sourceFile(const QString &relativePath)
{
    QFile file(qEnvironmentVariable("KIV_SOURCE_DIR") + QLatin1Char('/') + relativePath);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

QStringList backticked(const QString &cell)
{
    static const QRegularExpression code(QStringLiteral("`([^`]+)`"));
    QStringList tokens;
    for (auto it = code.globalMatch(cell); it.hasNext();)
        tokens << it.next().captured(1);
    return tokens;
}

QStringList cells(const QString &row)
{
    QStringList parts = row.trimmed().split(QLatin1Char('|'));
    if (parts.size() < 2)
        return {};
    parts.removeFirst();
    parts.removeLast();
    for (QString &part : parts)
        part = part.trimmed();
    return parts;
}

// The body rows of the table that follows the marker line "<!-- kind: name -->".
QList<QStringList> markedTable(const QString &document, const QString &kind, const QString &name)
{
    const QString marker = QStringLiteral("<!-- %1: %2 -->").arg(kind, name);
    const QStringList lines = document.split(QLatin1Char('\n'));
    const int at = lines.indexOf(marker);
    if (at < 0)
        return {};
    QList<QStringList> rows;
    for (int i = at + 3; i < lines.size() && lines.at(i).startsWith(QLatin1Char('|')); ++i)
        rows << cells(lines.at(i));
    return rows;
}

// The first table after a "## heading" line.
QList<QStringList> sectionTable(const QString &document, const QString &heading)
{
    const QStringList lines = document.split(QLatin1Char('\n'));
    int i = lines.indexOf(QStringLiteral("## ") + heading);
    if (i < 0)
        return {};
    while (i < lines.size() && !lines.at(i).startsWith(QLatin1Char('|')))
        ++i;
    QList<QStringList> rows;
    for (i += 2; i < lines.size() && lines.at(i).startsWith(QLatin1Char('|')); ++i)
        rows << cells(lines.at(i));
    return rows;
}

// "wired.ready()" for a signal given as "2ready()" or "ready(WirelessNetwork)".
QString signalLabel(const QString &sender, QByteArray signal)
{
    if (!signal.isEmpty() && signal.at(0) >= '0' && signal.at(0) <= '9')
        signal.remove(0, 1);
    const int parenthesis = signal.indexOf('(');
    return sender + QLatin1Char('.') + QString::fromLatin1(signal.left(parenthesis)) + QStringLiteral("()");
}

QString documentedEvent(const QString &token)
{
    const int parenthesis = token.indexOf(QLatin1Char('('));
    return parenthesis < 0 ? token : token.left(parenthesis) + QStringLiteral("()");
}

// Soft-AP state names carry their interface; the documentation writes it as "<if>".
QString genericName(QString name)
{
    if (name.endsWith(QLatin1Char('_') + SoftApName))
        name.replace(name.size() - SoftApName.size(), SoftApName.size(), QStringLiteral("<if>"));
    return name;
}

QString transitionLabel(const QAbstractTransition *transition)
{
    if (const auto *event = qobject_cast<const KivTransition *>(transition))
        return KivEvents::eventName(event->eventType());
    if (const auto *signal = qobject_cast<const QSignalTransition *>(transition))
        return signalLabel(genericName(signal->senderObject()->objectName()), signal->signal());
    return QStringLiteral("unknown transition ") + QLatin1String(transition->metaObject()->className());
}

QString triple(const QString &from, const QString &event, const QString &to)
{
    return from + QStringLiteral(" --") + event + QStringLiteral("--> ") + to;
}

QSet<QString> stateNames(const QStateMachine *machine)
{
    QSet<QString> names;
    for (const QAbstractState *state : machine->findChildren<QAbstractState *>())
        names << genericName(state->objectName());
    return names;
}

QSet<QString> codeTransitions(const QStateMachine *machine)
{
    QSet<QString> transitions;
    for (const QState *state : machine->findChildren<QState *>()) {
        for (const QAbstractTransition *transition : state->transitions())
            transitions << triple(genericName(state->objectName()), transitionLabel(transition),
                                  genericName(transition->targetState()->objectName()));
    }
    return transitions;
}

QSet<QString> documentedTransitions(const QList<QStringList> &rows, const QStateMachine *machine)
{
    QStringList topLevel;
    for (const QAbstractState *state : machine->findChildren<QAbstractState *>(QString(), Qt::FindDirectChildrenOnly))
        topLevel << state->objectName();
    QSet<QString> transitions;
    for (const QStringList &row : rows) {
        const QStringList to = row.size() > 2 ? backticked(row.at(2)) : QStringList();
        if (to.isEmpty()) {
            transitions << QStringLiteral("malformed row: ") + row.join(QLatin1Char('|'));
            continue;
        }
        QStringList from = backticked(row.at(0));
        if (from.isEmpty() && row.at(0) == QLatin1String("every other mode")) {
            from = topLevel;
            from.removeAll(to.first());
        }
        for (const QString &source : qAsConst(from)) {
            for (const QString &event : backticked(row.at(1)))
                transitions << triple(source, documentedEvent(event), to.first());
        }
    }
    return transitions;
}

QString difference(const QSet<QString> &code, const QSet<QString> &doc)
{
    QStringList missingInDoc = (code - doc).values();
    QStringList missingInCode = (doc - code).values();
    missingInDoc.sort();
    missingInCode.sort();
    return QStringLiteral("in the code, not in the doc: [%1]; in the doc, not in the code: [%2]")
        .arg(missingInDoc.join(QStringLiteral("; ")), missingInCode.join(QStringLiteral("; ")));
}

class IdleDriver : public NetworkDriver
{
public:
    void linkUp(const InterfaceName &) override {}
    void linkDown(const InterfaceName &) override {}
    void flushAddresses(AddressFamily, const InterfaceName &, bool) override {}
    void setMacAddress(const MacAddress &, const InterfaceName &) override {}
    void replaceAddress(const QString &, int, const InterfaceName &) override {}
    void addAddress(const QString &, int, const InterfaceName &) override {}
    void flushDefaultRoutes(AddressFamily) override {}
    void addDefaultRoute(const QString &, const InterfaceName &) override {}
};

class IdleAddressManager : public AddressManager
{
public:
    explicit IdleAddressManager(const InterfaceName &name) : AddressManager(name, nullptr, QList<IpAddressManager *>(), nullptr) {}
    void start(const InterfaceConfiguration &) override {}
    void stop() override {}
};

class IdleSupplicant : public Supplicant
{
public:
    using Supplicant::Supplicant;
    bool enable(const QSet<WirelessNetwork> &) override { return true; }
    bool disable() override { return true; }
    bool wpsPbc() override { return true; }
    bool wpsPin(const QString &) override { return true; }
    void scan() override {}
    QVariantMap getNetworkDetails() override { return {}; }
    int getCurrentChannel() override { return 0; }
    void interfaceAdded() override {}
    void interfaceRemoved() override {}
};

class IdleSupplicantFactory : public SupplicantFactory
{
public:
    std::unique_ptr<Supplicant> create(QObject *parent, const QString &interfaceName) override
    {
        return std::make_unique<IdleSupplicant>(parent, interfaceName);
    }
};

// The daemon's machines, built on interfaces that do not exist and never run.
struct Machines
{
    IdleDriver driver;
    IdleSupplicantFactory factory;
    IdleAddressManager wiredAddresses {InterfaceName(QStringLiteral("docwired0"))};
    IdleAddressManager wirelessAddresses {InterfaceName(QStringLiteral("docwlan0"))};
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
        if (name == QLatin1String("wired"))
            return wired.stateMachine();
        if (name == QLatin1String("wireless"))
            return wireless.stateMachine();
        if (name == QLatin1String("softap"))
            return wireless.softApStateMachine();
        return &modes;
    }
};

struct BusMember
{
    QString kind;
    QString name;
    QStringList inArguments;
    QStringList outArguments;
    QString type;
    QString access;
};

QList<BusMember> busMembers(const QString &xml)
{
    QList<BusMember> members;
    QXmlStreamReader reader(xml);
    while (!reader.atEnd()) {
        reader.readNext();
        if (!reader.isStartElement())
            continue;
        const QString element = reader.name().toString();
        const QXmlStreamAttributes attributes = reader.attributes();
        if (element == QLatin1String("method") || element == QLatin1String("signal")
            || element == QLatin1String("property")) {
            members.append({element, attributes.value(QStringLiteral("name")).toString(), {}, {},
                            attributes.value(QStringLiteral("type")).toString(),
                            attributes.value(QStringLiteral("access")).toString()});
        } else if (element == QLatin1String("arg") && !members.isEmpty()) {
            const QString argument = attributes.value(QStringLiteral("type")).toString() + QLatin1Char(' ')
                + attributes.value(QStringLiteral("name")).toString();
            const bool out = members.last().kind == QLatin1String("method")
                && attributes.value(QStringLiteral("direction")) == QLatin1String("out");
            (out ? members.last().outArguments : members.last().inArguments) << argument;
        }
    }
    return members;
}

QString sectionOf(const QString &kind)
{
    if (kind == QLatin1String("method"))
        return QStringLiteral("Methods");
    if (kind == QLatin1String("property"))
        return QStringLiteral("Properties");
    return QStringLiteral("Signals");
}

const QStringList MachineNames {QStringLiteral("wired"), QStringLiteral("wireless"), QStringLiteral("softap"),
                                QStringLiteral("mode")};

} // namespace

class TestDocs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_stateDoc = sourceFile(QStringLiteral("doc/state-machines.md"));
        m_busDoc = sourceFile(QStringLiteral("doc/bus-api.md"));
        m_busXml = sourceFile(QStringLiteral("src/kivd/dbus/com.tarvel.kiv.xml"));
        QVERIFY2(!m_stateDoc.isEmpty() && !m_busDoc.isEmpty() && !m_busXml.isEmpty(),
                 "KIV_SOURCE_DIR must name the source tree");
        m_machines = std::make_unique<Machines>();
    }

    void cleanupTestCase() { m_machines.reset(); }

    void stateTablesNameEveryStateOfTheMachine_data()
    {
        QTest::addColumn<QString>("machine");
        for (const QString &name : MachineNames)
            QTest::newRow(qPrintable(name)) << name;
    }

    void stateTablesNameEveryStateOfTheMachine()
    {
        QFETCH(QString, machine);
        QSet<QString> documented;
        for (const QStringList &row : markedTable(m_stateDoc, QStringLiteral("states"), machine))
            documented << backticked(row.value(0)).value(0);
        const QSet<QString> built = stateNames(m_machines->machine(machine));
        QVERIFY2(!built.isEmpty(), "the machine has no states");
        QVERIFY2(documented == built, qPrintable(difference(built, documented)));
    }

    void transitionTablesMatchTheMachine_data() { stateTablesNameEveryStateOfTheMachine_data(); }

    void transitionTablesMatchTheMachine()
    {
        QFETCH(QString, machine);
        const QStateMachine *built = m_machines->machine(machine);
        const QSet<QString> documented =
            documentedTransitions(markedTable(m_stateDoc, QStringLiteral("transitions"), machine), built);
        const QSet<QString> code = codeTransitions(built);
        QVERIFY2(!code.isEmpty(), "the machine has no transitions");
        QVERIFY2(documented == code, qPrintable(difference(code, documented)));
    }

    void documentedSupplicantLoopsExist_data()
    {
        QTest::addColumn<QString>("loop");
        for (const QString &table : {QStringLiteral("supplicant"), QStringLiteral("wps")}) {
            const QList<QStringList> rows = markedTable(m_stateDoc, QStringLiteral("loops"), table);
            QVERIFY2(!rows.isEmpty(), qPrintable(QStringLiteral("no loops table ") + table));
            for (const QStringList &row : rows)
                QTest::newRow(qPrintable(backticked(row.value(0)).value(0))) << backticked(row.value(0)).value(0);
        }
    }

    void documentedSupplicantLoopsExist()
    {
        QFETCH(QString, loop);
        QString sources;
        for (const QString &file : QDir(qEnvironmentVariable("KIV_SOURCE_DIR") + QStringLiteral("/src/kivd"))
                                       .entryList({QStringLiteral("*.cpp")}))
            sources += sourceFile(QStringLiteral("src/kivd/") + file);
        QVERIFY2(sources.contains(QRegularExpression(QStringLiteral("\\bWpaSupplicant::%1\\(").arg(loop))),
                 qPrintable(QStringLiteral("no function WpaSupplicant::") + loop));
    }

    void busApiDocumentsEveryMember_data()
    {
        QTest::addColumn<int>("index");
        const QList<BusMember> members = busMembers(m_busXml);
        QVERIFY2(members.size() > 20, "com.tarvel.kiv.xml lists too few members");
        for (int i = 0; i < members.size(); ++i)
            QTest::newRow(qPrintable(members.at(i).kind + QLatin1Char(' ') + members.at(i).name)) << i;
    }

    void busApiDocumentsEveryMember()
    {
        QFETCH(int, index);
        const BusMember member = busMembers(m_busXml).at(index);
        QStringList row;
        for (const QStringList &candidate : sectionTable(m_busDoc, sectionOf(member.kind))) {
            if (backticked(candidate.value(0)) == QStringList {member.name})
                row = candidate;
        }
        QVERIFY2(!row.isEmpty(), qPrintable(QStringLiteral("no row in the %1 table").arg(sectionOf(member.kind))));

        if (member.kind == QLatin1String("property")) {
            QCOMPARE(row.value(1).remove(QLatin1Char('`')), member.type);
            QCOMPARE(row.value(2).remove(QLatin1Char('`')), member.access);
            QVERIFY2(m_busDoc.contains(QStringLiteral("com.tarvel.kiv ") + member.name),
                     "no Get or Set example of the property");
        } else {
            const QStringList arguments = backticked(row.value(1));
            for (const QString &argument : member.inArguments)
                QVERIFY2(arguments.contains(argument), qPrintable(QStringLiteral("argument not documented: ") + argument));
            QCOMPARE(arguments.size(), member.inArguments.size());
            QCOMPARE(backticked(row.value(2)).mid(0, member.outArguments.size()), member.outArguments);
            const QString example = member.kind == QLatin1String("method")
                ? QStringLiteral("com.tarvel.kiv.") + member.name
                : QStringLiteral("kivctl monitor ") + member.name;
            QVERIFY2(m_busDoc.contains(example), qPrintable(QStringLiteral("no example: ") + example));
        }
    }

    void busApiDocumentsNoMemberTheInterfaceLacks_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("kind");
        QTest::newRow("methods") << "Methods" << "method";
        QTest::newRow("properties") << "Properties" << "property";
        QTest::newRow("signals") << "Signals" << "signal";
    }

    void busApiDocumentsNoMemberTheInterfaceLacks()
    {
        QFETCH(QString, section);
        QFETCH(QString, kind);
        QSet<QString> described;
        for (const BusMember &member : busMembers(m_busXml)) {
            if (member.kind == kind)
                described << member.name;
        }
        QSet<QString> documented;
        for (const QStringList &row : sectionTable(m_busDoc, section))
            documented << backticked(row.value(0)).value(0);
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
