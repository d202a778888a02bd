// libFuzzer target: udev's hot-plug reports (the ACTION and INTERFACE properties libudev hands
// over) mixed with netlink link reports, as the manager's interface tracker follows them.
#include "InterfaceBase.h"
#include "InterfaceTracker.h"
#include "UDevWatcher.h"

#include "FuzzInput.h"

#include <QHash>

using FuzzInput::check;

namespace {

const QStringList Words = QStringLiteral("eth0 wlan0 uap0 add remove move change").split(QLatin1Char(' '));

// Every report must change what the controller was last told about that name.
class CheckingController : public InterfaceBase
{
public:
    void interfaceAdded(const InterfaceName &name) override { flip(m_present, name, true); }
    void interfaceRemoved(const InterfaceName &name) override { flip(m_present, name, false); }
    void setUpState(const InterfaceName &name, bool up) override { flip(m_up, name, up); }
    void setRunningState(bool running) override
    {
        check(running != m_running);
        m_running = running;
    }

private:
    static void flip(QHash<QString, bool> &state, const InterfaceName &name, bool value)
    {
        check(state.value(name.toString()) != value);
        state.insert(name.toString(), value);
    }

    QHash<QString, bool> m_present;
    QHash<QString, bool> m_up;
    bool m_running = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput::silenceLogs();
    FuzzInput::Reader input(data, size, Words);
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
