#include "support/testmain.h"
#include "core/session/eventloop.h"

#include <QApplication>
#include <QTemporaryDir>
#include <vector>

namespace zeltest {
namespace {
std::vector<std::pair<const char*, Factory>>& registry() {
    static std::vector<std::pair<const char*, Factory>> tests;
    return tests;
}
} // namespace

int registerTest(const char* name, Factory factory) {
    registry().emplace_back(name, std::move(factory));
    return int(registry().size());
}
} // namespace zeltest

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never read or write the operator's real settings.
    QTemporaryDir config, data;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    qputenv("XDG_DATA_HOME", data.path().toLocal8Bit());
    zel::preferLeanEventLoop();
    QApplication app(argc, argv);
    int failed = 0;
    for (auto& [name, make] : zeltest::registry()) {
        auto test = make();
        failed += QTest::qExec(test.get(), argc, argv) != 0;
    }
    return failed == 0 ? 0 : 1;
}
