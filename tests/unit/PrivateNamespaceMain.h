#pragma once

#include "AddressTestSupport.h"

#include <QCoreApplication>
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
            std::vector<char *> arguments{const_cast<char *>("unshare"), const_cast<char *>("--net"),    \
                const_cast<char *>("--mount"), const_cast<char *>("--propagation"), const_cast<char *>("private"), const_cast<char *>(self.data())}; \
            for (int i = 1; i < argc; ++i)                                                                \
                arguments.push_back(argv[i]);                                                             \
            arguments.push_back(nullptr);                                                                 \
            execvp("unshare", arguments.data());                                                          \
        }                                                                                                 \
        QCoreApplication application(argc, argv);                                                         \
        TestClass test;                                                                                   \
        QTEST_SET_MAIN_SOURCE_PATH                                                                        \
        return QTest::qExec(&test, argc, argv);                                                           \
    }
