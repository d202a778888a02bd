#pragma once

#include <QMetaType>
#include <QString>

// The WPS session a client asked for; the PIN is empty for push button.
class WpsRequest
{
public:
    enum Method : qint32 {
        None = 0,
        Pin = 1,
        PushButton = 2,
    };

    WpsRequest() = default;
    WpsRequest(qint32 method, const QString &pin) : m_method(method), m_pin(pin) {}

    qint32 method() const { return m_method; }
    const QString &pin() const { return m_pin; }

private:
    qint32 m_method = None;
    QString m_pin;
};

Q_DECLARE_METATYPE(WpsRequest)
