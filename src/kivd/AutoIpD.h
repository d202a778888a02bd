#pragma once

#include "InterfaceName.h"

#include <QObject>
#include <QString>

// Controls avahi-autoipd, which claims and defends an IPv4 link-local address on an interface.
// Construction and destruction stop any daemon running for the interface.
class AutoIpD : public QObject
{
    Q_OBJECT
public:
    AutoIpD(QObject *parent, const InterfaceName &interface);
    ~AutoIpD() override;

    void start();
    void stop();

    static const QString Program;

private:
    InterfaceName m_interface;
};
