#pragma once

#include "AddressTestSupport.h"

#include <QtTest>

#include <unistd.h>

#include <vector>

// A test main that first moves the test into network and mount namespaces of its own (when it
// may), so that links, addresses and mounts it changes exist only for the test.
#define KIV_PRIVATE_NAMESPACE_TEST_MAIN(TestClass)                                                        \
    int main(int argc, char **argv)                                                                       \
    {                                                                                                     \
        if (qEnvironmentVariableIsEmpty("KIV_OUTER_NAMESPACES") && !inPrivateNamespaces()) {              \
            qputenv("KIV_OUTER_NAMESPACES", ownNamespaces().toUtf8());                                   \
            const QByteArray self = QFile::symLinkTarget(QStringLiteral("/proc/self/exe")).toLocal8Bit(); \
            std::vector<const char *> arguments{"unshare", "--net", "--mount", "--propagation", "private", self.data()}; \
            arguments.insert(arguments.end(), argv + 1, argv + argc);                                     \
            arguments.push_back(nullptr);                                                                 \
            execvp("unshare", const_cast<char *const *>(arguments.data()));                               \
        }                                                                                                 \
        QCoreApplication application(argc, argv);                                                         \
        TestClass test;                                                                                   \
        QTEST_SET_MAIN_SOURCE_PATH                                                                        \
        return QTest::qExec(&test, argc, argv);                                                           \
    }
