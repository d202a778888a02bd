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

    void linkUp(const InterfaceName &name) override { record("linkUp", name); }
    void linkDown(const InterfaceName &name) override { record("linkDown", name); }
    void flushAddresses(AddressFamily family, const InterfaceName &name, bool globalScopeOnly) override
    {
        commands << "flush " + familyText(family) + ' ' + name.toString() + (globalScopeOnly ? " global" : "");
    }
    void setMacAddress(const MacAddress &address, const InterfaceName &name) override { record("mac " + address.toString(), name); }
    void replaceAddress(const QString &address, int prefixLength, const InterfaceName &name) override
    {
        record("replace " + address + '/' + QString::number(prefixLength), name);
    }
    void addAddress(const QString &address, int prefixLength, const InterfaceName &name) override
    {
        record("add " + address + '/' + QString::number(prefixLength), name);
    }
    void flushDefaultRoutes(AddressFamily family) override { commands << "flushDefaultRoutes " + familyText(family); }
    void addDefaultRoute(const QString &gateway, const InterfaceName &name) override { record("addDefaultRoute " + gateway, name); }

private:
    void record(const QString &operation, const InterfaceName &name) { commands << operation + ' ' + name.toString(); }
    static QString familyText(AddressFamily family) { return QStringList{"ipv4", "ipv6", "both"}.value(int(family)); }
};

// Stand-ins for external programs in a directory put first on PATH; each records its
// arguments, one call per line, in "<name>.log".
class FakePrograms
{
public:
    QString path() const { return m_dir.path(); }

    bool install(const QString &name, const QString &extra = QString())
    {
        QFile script(m_dir.filePath(name));
        const QString text = QStringLiteral("#!/bin/sh\necho \"$*\" >> '%1.log'\n%2").arg(script.fileName(), extra);
        return script.open(QIODevice::WriteOnly) && script.write(text.toUtf8()) > 0
               && script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    void putFirstOnPath() const { qputenv("PATH", m_dir.path().toUtf8() + ':' + qgetenv("PATH")); }

    QStringList calls(const QString &name) const
    {
        QFile log(m_dir.filePath(name + QStringLiteral(".log")));
        return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()).split('\n', Qt::SkipEmptyParts) : QStringList();
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

// The network and mount namespaces of a process ("self" or a number), as "net:[n] mnt:[m]".
inline QString namespacesOf(const QString &process)
{
    const auto link = [&](const QString &kind) { return QFile::symLinkTarget("/proc/" + process + "/ns/" + kind); };
    return link("net").section('/', -1) + ' ' + link("mnt").section('/', -1);
}

inline QString ownNamespaces() { return namespacesOf("self"); }

// Whether this process runs in network and mount namespaces of its own, where changing links,
// addresses and mounts cannot reach the machine. The namespaces left behind are named by
// KIV_OUTER_NAMESPACES when a test moved itself; otherwise they are those of process 1.
inline bool inPrivateNamespaces()
{
    const QString moved = qEnvironmentVariable("KIV_OUTER_NAMESPACES");
    const QStringList outer = (moved.isEmpty() ? namespacesOf("1") : moved).split(' ');
    const QStringList own = ownNamespaces().split(' ');
    for (int i = 0; i < 2; ++i) {
        if (own.value(i).isEmpty() || outer.value(i).isEmpty() || own.value(i) == outer.value(i))
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
