#pragma once

#include "KivSandbox.h"

#include <QtTest>

#include <functional>

// Runs a whole Qt Test program inside a sandbox device, for tests whose own code must live there
// (it changes links, writes /etc/resolv.conf or listens to the device's hot-plug events).
// Started on the machine, the program brings a sandbox up, lets prepare() adjust it from the
// machine's side, runs itself with the same arguments inside the device and ends as that run ends;
// the sandbox is removed afterwards, or by its guard when the program is killed. Inside, the tests
// start only once the process has checked that it runs in that sandbox's device.
namespace SandboxDeviceTest {

struct Setup
{
    QStringList upOptions;                     // options of "kiv-sandbox up"
    std::function<bool(KivSandbox &)> prepare; // runs on the machine before the tests start
};

int main(int argc, char **argv, const Setup &setup, const std::function<int(int, char **)> &runTests);

// Inside the device: the sandbox's directory, at the same path as on the machine.
QString sandboxDir();
// Inside the device: "kiv-sandbox <command> <this sandbox> <arguments...>". Only commands that act
// on the peer namespaces the device can see work from here: plug and unplug.
KivSandbox::Result tool(const QString &command, const QStringList &arguments);
bool plug(const QString &interface = QStringLiteral("eth0"));
bool unplug(const QString &interface = QStringLiteral("eth0"));

} // namespace SandboxDeviceTest

#define KIV_SANDBOX_DEVICE_TEST_MAIN(TestClass, setup)                                                                 \
    int main(int argc, char **argv)                                                                                    \
    {                                                                                                                  \
        return SandboxDeviceTest::main(argc, argv, setup, [](int count, char **arguments) {                            \
            TestClass test;                                                                                            \
            return QTest::qExec(&test, count, arguments);                                                              \
        });                                                                                                            \
    }
