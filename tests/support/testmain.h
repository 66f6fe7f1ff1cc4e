#pragma once
// One program per folder: each Qt Test class registers with ZEL_TEST and main() runs them all.
#include <QObject>
#include <QtTest>
#include <functional>
#include <memory>

namespace zeltest {
using Factory = std::function<std::unique_ptr<QObject>()>;
int registerTest(const char* name, Factory factory);
} // namespace zeltest

#define ZEL_TEST(Class)                                                                                      \
    static const int zelTestRegistered_##Class =                                                             \
        zeltest::registerTest(#Class, [] { return std::unique_ptr<QObject>(new Class); });
