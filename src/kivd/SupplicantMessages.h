#pragma once

#include "WirelessNetwork.h"

#include <QDBusObjectPath>
#include <QMetaType>
#include <QSet>
#include <QString>
#include <QVariant>

// The messages the main thread hands to the supplicant worker, each carried in a QVariant.
// Commands come from the controller's requests; state messages report what wpa_supplicant said.
namespace SupplicantMessage {

// Commands.
struct Enable
{
    QSet<WirelessNetwork> networks;
};
struct Disable
{
};
struct StartWpsPbc
{
};
struct StartWpsPin
{
    QString pin;
};
struct Quit
{
};
struct InterfaceAdded
{
};
struct InterfaceRemoved
{
};
// The owner of the supplicant's bus name changed: the one in use left and/or a new one is there.
struct SupplicantOwnerChanged
{
    bool lost = false;
    bool available = false;
};

// State messages.
struct Connected
{
};
struct Disconnected
{
};
struct Inactive
{
};
struct NetworkTempDisabled
{
    QDBusObjectPath network;
    QString reason;
};
struct WpsCredentials
{
    WirelessNetwork network;
};
struct WpsFinished
{
};
struct WpsErrored
{
    QString error;
};
struct SupplicantStarted
{
};

template<typename T>
QVariant make(const T &payload = T())
{
    return QVariant::fromValue(payload);
}

template<typename T>
bool is(const QVariant &message)
{
    return message.canConvert<T>();
}

// True for the eight state messages, false for commands and the invalid message.
bool isStateMessage(const QVariant &message);
// True for Enable and Disable, the commands that set the networks to use.
bool isNetworkCommand(const QVariant &message);

// Registers all sixteen types under their "WpaSupplicant::<Name>" names; repeating it is harmless.
void registerTypes();

} // namespace SupplicantMessage

// Like Q_DECLARE_METATYPE, but registers the type under the given name on its first use.
#define KIV_DECLARE_SUPPLICANT_MESSAGE(TYPE, NAME) \
    template<> \
    struct QMetaTypeId<TYPE> \
    { \
        enum { Defined = 1 }; \
        static int qt_metatype_id() \
        { \
            static QBasicAtomicInt metatypeId = Q_BASIC_ATOMIC_INITIALIZER(0); \
            if (const int id = metatypeId.loadAcquire()) \
                return id; \
            const int newId = qRegisterMetaType<TYPE>(NAME, reinterpret_cast<TYPE *>(quintptr(-1))); \
            metatypeId.storeRelease(newId); \
            return newId; \
        } \
    };

KIV_DECLARE_SUPPLICANT_MESSAGE(SupplicantMessage::Enable, "WpaSupplicant::Enable")
KIV_DECLARE_SUPPLICANT_MESSAGE(SupplicantMessage::Disable, "WpaSupplicant::Disable")
KIV_DECLARE_SUPPLICANT_MESSAGE(SupplicantMessage::StartWpsPbc, "WpaSupplicant::StartWpsPbc")
KIV_DECLARE_SUPPLICANT_MESSAGE(SupplicantMessage::StartWpsPin, "WpaSupplicant::StartWpsPin")
KIV_DECLARE_SUPPLICANT_MESSAGE(SupplicantMessage::Quit, "WpaSupplicant::Quit")
KIV_DECLARE_SUPPLICANT_MESSAGE(SupplicantMessage::InterfaceAdded, "WpaSupplicant::InterfaceAdded")
KIV_DECLARE_SUPPLICANT_MESSAGE(SupplicantMessage::InterfaceRemoved, "WpaSupplicant::InterfaceRemoved")
KIV_DECLARE_SUPPLICANT_MESSAGE(SupplicantMessage::SupplicantOwnerChanged, "WpaSupplicant::SupplicantOwnerChanged")
KIV_DECLARE_SUPPLICANT_MESSAGE(SupplicantMessage::Connected, "WpaSupplicant::Connected")
KIV_DECLARE_SUPPLICANT_MESSAGE(SupplicantMessage::Disconnected, "WpaSupplicant::Disconnected")
KIV_DECLARE_SUPPLICANT_MESSAGE(SupplicantMessage::Inactive, "WpaSupplicant::Inactive")
KIV_DECLARE_SUPPLICANT_MESSAGE(SupplicantMessage::NetworkTempDisabled, "WpaSupplicant::NetworkTempDisabled")
KIV_DECLARE_SUPPLICANT_MESSAGE(SupplicantMessage::WpsCredentials, "WpaSupplicant::WpsCredentials")
KIV_DECLARE_SUPPLICANT_MESSAGE(SupplicantMessage::WpsFinished, "WpaSupplicant::WpsFinished")
KIV_DECLARE_SUPPLICANT_MESSAGE(SupplicantMessage::WpsErrored, "WpaSupplicant::WpsErrored")
KIV_DECLARE_SUPPLICANT_MESSAGE(SupplicantMessage::SupplicantStarted, "WpaSupplicant::SupplicantStarted")
