#pragma once
// Several Qt Test classes share one program per folder: each registers
// itself with ZEL_TEST and the common main() runs them all in turn.
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
