#pragma once

#include "NetworkDriver.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>

// Records every driver operation as one line of text.
class RecordingDriver : public NetworkDriver
{
public:
    QStringList commands;

    void linkUp(const InterfaceName &interface) override { commands << "linkUp " + interface.toString(); }
    void linkDown(const InterfaceName &interface) override { commands << "linkDown " + interface.toString(); }
    void flushAddresses(AddressFamily family, const InterfaceName &interface, bool globalScopeOnly) override
    {
        commands << "flush " + familyText(family) + ' ' + interface.toString() + (globalScopeOnly ? " global" : "");
    }
    void setMacAddress(const MacAddress &address, const InterfaceName &interface) override
    {
        commands << "mac " + address.toString() + ' ' + interface.toString();
    }
    void replaceAddress(const QString &address, int prefixLength, const InterfaceName &interface) override
    {
        commands << "replace " + address + '/' + QString::number(prefixLength) + ' ' + interface.toString();
    }
    void addAddress(const QString &address, int prefixLength, const InterfaceName &interface) override
    {
        commands << "add " + address + '/' + QString::number(prefixLength) + ' ' + interface.toString();
    }
    void flushDefaultRoutes(AddressFamily family) override { commands << "flushDefaultRoutes " + familyText(family); }
    void addDefaultRoute(const QString &gateway, const InterfaceName &interface) override
    {
        commands << "addDefaultRoute " + gateway + ' ' + interface.toString();
    }

private:
    static QString familyText(AddressFamily family)
    {
        return family == AddressFamily::Ipv4 ? QStringLiteral("ipv4") : family == AddressFamily::Ipv6 ? QStringLiteral("ipv6") : QStringLiteral("both");
    }
};

// Stand-ins for external programs in a directory put first on PATH; each records its
// arguments, one call per line, in "<name>.log".
class FakePrograms
{
public:
    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }

    bool install(const QString &name, const QString &extra = QString())
    {
        QFile script(m_dir.filePath(name));
        if (!script.open(QIODevice::WriteOnly))
            return false;
        script.write(QStringLiteral("#!/bin/sh\necho \"$*\" >> '%1'\n%2")
                         .arg(m_dir.filePath(name + QStringLiteral(".log")), extra)
                         .toUtf8());
        script.close();
        return script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    void putFirstOnPath() const { qputenv("PATH", m_dir.path().toUtf8() + ':' + qgetenv("PATH")); }

    QStringList calls(const QString &name) const
    {
        QFile log(m_dir.filePath(name + QStringLiteral(".log")));
        if (!log.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    void clear(const QString &name) const { QFile::remove(m_dir.filePath(name + QStringLiteral(".log"))); }

private:
    QTemporaryDir m_dir;
};

// A log text without the "File.cpp:NN " prefix of the log macros.
inline QString withoutLocation(const QString &text)
{
    static const QRegularExpression prefix(QStringLiteral("^[\\w.]+:\\d+ "));
    return QString(text).remove(prefix);
}

// The network and mount namespaces of this process, as "net:[n] mnt:[m]".
inline QString ownNamespaces()
{
    return QFile::symLinkTarget(QStringLiteral("/proc/self/ns/net")).section(QLatin1Char('/'), -1) + QLatin1Char(' ')
           + QFile::symLinkTarget(QStringLiteral("/proc/self/ns/mnt")).section(QLatin1Char('/'), -1);
}

// Whether this process runs in network and mount namespaces of its own, where changing links,
// addresses and mounts cannot reach the machine. The namespaces left behind are named by
// KIV_OUTER_NAMESPACES when a test moved itself; otherwise they are those of process 1.
inline bool inPrivateNamespaces()
{
    QStringList outer = qEnvironmentVariable("KIV_OUTER_NAMESPACES").split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (outer.isEmpty()) {
        for (const char *kind : {"net", "mnt"})
            outer << QFile::symLinkTarget(QStringLiteral("/proc/1/ns/") + QLatin1String(kind)).section('/', -1);
    }
    const QStringList own = ownNamespaces().split(QLatin1Char(' '));
    if (outer.size() != 2 || own.size() != 2)
        return false;
    for (int i = 0; i < 2; ++i) {
        if (own.at(i).isEmpty() || outer.at(i).isEmpty() || own.at(i) == outer.at(i))
            return false;
    }
    return true;
}

// Runs a command to completion; returns its exit code, or -1 when it did not run or finish.
inline int run(const QString &program, const QStringList &arguments, QByteArray *output = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(5000) || !process.waitForFinished(20000))
        return -1;
    if (output)
        *output = process.readAll();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}
