// libFuzzer target: udev's hot-plug reports (the ACTION and INTERFACE properties libudev hands
// over) mixed with netlink link reports, as the manager's interface tracker follows them.
#include "InterfaceBase.h"
#include "InterfaceTracker.h"
#include "UDevWatcher.h"

#include "FuzzInput.h"

#include <QHash>

namespace {

// Every report must change what the controller was last told about that name.
class CheckingController : public InterfaceBase
{
public:
    void interfaceAdded(const InterfaceName &name) override { flip("present " + name.toString(), true); }
    void interfaceRemoved(const InterfaceName &name) override { flip("present " + name.toString(), false); }
    void setUpState(const InterfaceName &name, bool up) override { flip("up " + name.toString(), up); }
    void setRunningState(bool running) override { flip(QStringLiteral("running"), running); }

private:
    void flip(const QString &state, bool value)
    {
        check(m_states.value(state) != value);
        m_states.insert(state, value);
    }

    QHash<QString, bool> m_states;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput::Reader input {data, size, QStringLiteral("eth0 wlan0 uap0 add remove move change").split(QLatin1Char(' '))};
    // Only one name routes to the controller: its running reports are about that name alone.
    const QString routed = input.text();
    CheckingController controller;
    InterfaceTracker tracker;
    tracker.route(routed, &controller, true);
    QStringList names;
    for (int events = 0; !input.atEnd() && events < 256; ++events) {
        const quint8 kind = input.byte();
        const QString name = input.text();
        names << name;
        if (kind & 1) {
            tracker.linkChanged(name, (kind & 2) != 0, (kind & 4) != 0);
            continue;
        }
        const QByteArray action = input.text().toUtf8();
        switch (UDevWatcher::actionFor(action)) {
        case UDevWatcher::Action::Added:
            check(action == "add" || action == "move");
            tracker.added(name);
            check(tracker.exists(name));
            break;
        case UDevWatcher::Action::Removed:
            tracker.removed(name);
            check(!tracker.exists(name) && !tracker.isUp(name) && !tracker.isRunning(name));
            break;
        case UDevWatcher::Action::Ignored:
            break;
        }
    }
    for (const QString &name : names)
        check(tracker.exists(name) || (!tracker.isUp(name) && !tracker.isRunning(name)));
    return 0;
}
