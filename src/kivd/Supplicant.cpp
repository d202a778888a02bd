#include "Supplicant.h"

#include "SupplicantWpaSupplicant.h"

Supplicant::Supplicant(QObject *parent, const QString &interfaceName)
    : QObject(parent)
    , m_interfaceName(interfaceName)
{
}

std::unique_ptr<Supplicant> SupplicantFactory::create(QObject *parent, const QString &interfaceName)
{
    return std::make_unique<WpaSupplicant>(parent, interfaceName);
}
