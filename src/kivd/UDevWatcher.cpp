#include "UDevWatcher.h"

#include "KivCommon.h"
#include "LogHandler.h"

#include <QSocketNotifier>

#include <libudev.h>

namespace {

[[noreturn]] void setupFailed(const char *what)
{
    kivCritical() << what;
    kivAbort();
}

struct DeviceUnref
{
    void operator()(udev_device *device) const { udev_device_unref(device); }
};

QByteArray deviceProperty(udev_device *device, const char *key)
{
    return QByteArray(udev_device_get_property_value(device, key));
}

} // namespace

void UDevWatcher::UdevUnref::operator()(udev *context) const
{
    udev_unref(context);
}

void UDevWatcher::MonitorUnref::operator()(udev_monitor *monitor) const
{
    udev_monitor_unref(monitor);
}

UDevWatcher::UDevWatcher(QObject *parent)
    : QObject(parent)
{
    m_udev.reset(udev_new());
    if (!m_udev)
        setupFailed("udev: udev_new() failed!");
    m_monitor.reset(udev_monitor_new_from_netlink(m_udev.get(), "udev"));
    if (!m_monitor)
        setupFailed("udev_monitor_new_from_netlink() failed!");
    if (udev_monitor_filter_add_match_subsystem_devtype(m_monitor.get(), "net", nullptr) < 0)
        setupFailed("udev_monitor_filter_add_match_subsystem_devtype() failed!");
    if (udev_monitor_enable_receiving(m_monitor.get()) < 0)
        setupFailed("udev_monitor_enable_receiving() failed!");

    m_notifier = new QSocketNotifier(udev_monitor_get_fd(m_monitor.get()), QSocketNotifier::Read, this);
    KivCommon::connect(m_notifier, SIGNAL(activated(int)), this, SLOT(on_fdReady()));
}

UDevWatcher::~UDevWatcher()
{
    delete m_notifier;
}

UDevWatcher::Action UDevWatcher::actionFor(const QByteArray &action)
{
    if (action == "add" || action == "move")
        return Action::Added;
    if (action == "remove")
        return Action::Removed;
    return Action::Ignored;
}

void UDevWatcher::on_fdReady()
{
    const std::unique_ptr<udev_device, DeviceUnref> device(udev_monitor_receive_device(m_monitor.get()));
    if (!device) {
        kivWarning() << "UDev delivered a message but there was nothing there!";
        return;
    }
    report(deviceProperty(device.get(), "ACTION"), deviceProperty(device.get(), "INTERFACE"));
}

void UDevWatcher::report(const QByteArray &action, const QByteArray &interface)
{
    switch (actionFor(action)) {
    case Action::Added:
        emit interfaceAdded(interface);
        break;
    case Action::Removed:
        emit interfaceRemoved(interface);
        break;
    case Action::Ignored:
        kivDebug() << "Ignoring udev action " << action << " for interface " << interface;
        break;
    }
}
