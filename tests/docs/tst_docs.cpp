// The member tables of doc/bus-api.md compared with the bus interface description the daemon serves.

#include "BusDescription.h"

#include <QRegularExpression>
#include <QtTest>

namespace {

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

} // namespace

class TestDocs : public QObject
{
    Q_OBJECT

private slots:
    // Each member of the interface description has one row with its types (and access).
    void busApiDocumentsEveryMember()
    {
        QFile docFile(qEnvironmentVariable("KIV_SOURCE_DIR") + "/doc/bus-api.md");
        QFile xml(qEnvironmentVariable("KIV_SOURCE_DIR") + "/src/kivd/dbus/com.tarvel.kiv.xml");
        QVERIFY2(docFile.open(QIODevice::ReadOnly) && xml.open(QIODevice::ReadOnly), "KIV_SOURCE_DIR names no source tree");
        const QString doc = QString::fromUtf8(docFile.readAll());
        QString error;
        const BusInterfaceDescription bus = BusDescription::parse(xml.readAll(), &error).value(0);
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
            for (const QStringList &row : table(doc, "## " + section)) {
                const QString name = backticked(row.value(0)).value(0);
                documented << section + ' ' + name + ' '
                        + (section == "Methods" ? types(row.value(1)) + " -> " + types(row.value(2))
                           : section == "Signals" ? types(row.value(1)) : QString(row.value(1) + ' ' + row.value(2)).remove('`'));
            }
        }
        const auto list = [](const QSet<QString> &members) { return QStringList(members.values()).join("; "); };
        QVERIFY2(documented == described, qPrintable("in the description, not in the doc: " + list(described - documented)
                                                     + "; in the doc, not in the description: " + list(documented - described)));
    }
};

QTEST_GUILESS_MAIN(TestDocs)
#include "tst_docs.moc"
