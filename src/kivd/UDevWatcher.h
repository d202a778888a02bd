#pragma once

#include <QByteArray>
#include <QObject>

#include <memory>

class QSocketNotifier;
struct udev;
struct udev_monitor;

// Reports network interfaces appearing and disappearing, from udev's processed "net" events.
class UDevWatcher : public QObject
{
    Q_OBJECT
public:
    enum class Action { Added, Removed, Ignored };

    // Setting up the monitor is fatal for the process when it fails.
    explicit UDevWatcher(QObject *parent = nullptr);
    ~UDevWatcher() override;

    // "add" and "move" report the interface as added, "remove" as removed; all else is ignored.
    static Action actionFor(const QByteArray &action);

signals:
    void interfaceAdded(QByteArray name);
    void interfaceRemoved(QByteArray name);

private slots:
    void on_fdReady();

private:
    struct UdevUnref
    {
        void operator()(udev *context) const;
    };
    struct MonitorUnref
    {
        void operator()(udev_monitor *monitor) const;
    };

    void report(const QByteArray &action, const QByteArray &interface);

    std::unique_ptr<udev, UdevUnref> m_udev;
    std::unique_ptr<udev_monitor, MonitorUnref> m_monitor;
    QSocketNotifier *m_notifier = nullptr;
};
