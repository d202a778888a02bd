#pragma once

#include <QObject>
#include <QString>

// What the bus says about one interface, from its controller's signals: Connected when it is
// ready; Disconnecting when a command it holds back will take it down; Disconnected once when it
// stops being ready, because its address was lost or its IP set-up was left. Connected and
// Disconnected therefore alternate, and a set-up that never connected says nothing.
class InterfaceReports : public QObject
{
    Q_OBJECT
public:
    // Follows ready(), disconnecting(), waitingIpSetup() and unready() of the controller.
    InterfaceReports(const QString &interface, QObject *controller, QObject *parent);

    bool isConnected() const { return m_connected; }

signals:
    void connected(const QString &interface);
    void disconnecting(const QString &interface);
    void disconnected(const QString &interface);

private slots:
    void on_controller_ready();
    void on_controller_disconnecting();
    void on_controller_notReady();

private:
    QString m_interface;
    bool m_connected = false;
};
