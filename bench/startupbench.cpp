// Start-up time and idle memory of the panel. Run without arguments it is
// the launcher: it prepares a settings folder with a valid file (so no
// message box appears), then starts itself as the panel several times, each
// time stamping CLOCK_MONOTONIC just before the exec, and prints the median:
//
//   startup_ms       exec to the end of the main window's first paint
//   startup_main_ms  main() to the same point (without loading the program)
//   idle_rss_mb      resident memory after the window is shown and has idled
//                    for a second
//
// The panel side does what main() of the program does: QApplication, the
// main window, show.
#include "core/session/eventloop.h"
#include "gui/frmzelmain.h"

#include "benchsupport.h"

#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr const char* ChildFlag = "--panel";
constexpr const char* StartEnv = "ZEL_BENCH_T0";

class FirstPaint : public QObject {
public:
    explicit FirstPaint(std::function<void()> then)
        : m_then(std::move(then)) {}
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint && m_then) {
            // Runs once this paint and the rest of the frame are done.
            QTimer::singleShot(0, std::exchange(m_then, nullptr));
        }
        return false;
    }

private:
    std::function<void()> m_then;
};

int panel(int argc, char** argv, std::int64_t mainNs) {
    const std::int64_t execNs =
        qEnvironmentVariableIsEmpty(StartEnv) ? mainNs : qgetenv(StartEnv).toLongLong();
    zel::preferLeanEventLoop();
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    FrmZelMain window;
    if (window.isExiting()) return 1;
    std::int64_t shownNs = 0;
    FirstPaint first([&] {
        shownNs = bench::monotonicNs();
        QTimer::singleShot(1000, [&] {
            bench::figure("startup_ms", double(shownNs - execNs) / 1e6, 1);
            bench::figure("startup_main_ms", double(shownNs - mainNs) / 1e6, 1);
            bench::figure("idle_rss_mb", bench::currentRssMb(), 1);
            QCoreApplication::exit(0);
        });
    });
    window.installEventFilter(&first);
    window.show();
    QTimer::singleShot(10000, [] {
        std::fprintf(stderr, "the main window was never painted\n");
        std::exit(3);
    });
    return app.exec();
}

// Starts `self` as the panel and returns its output.
std::string runOnce(const char* self) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    char* args[] = {const_cast<char*>(self), const_cast<char*>(ChildFlag), nullptr};
    setenv(StartEnv, std::to_string(bench::monotonicNs()).c_str(), 1);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, self, &actions, nullptr, args, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string out;
    if (rc == 0) {
        char buf[512];
        for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
            out.append(buf, size_t(n));
        int status = 0;
        waitpid(pid, &status, 0);
    }
    close(fds[0]);
    return out;
}

double valueOf(const std::string& out, const char* name) {
    const std::string key = std::string(name) + ": ";
    const auto at = out.find(key);
    return at == std::string::npos ? -1 : std::atof(out.c_str() + at + key.size());
}

} // namespace

int main(int argc, char** argv) {
    const std::int64_t mainNs = bench::monotonicNs();
    bench::defaultToOffscreen();
    if (argc > 1 && std::strcmp(argv[1], ChildFlag) == 0) return panel(argc, argv, mainNs);

    const auto settings = bench::useTemporarySettings();
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::vector<double> startup, startupMain, rss;
    // One unmeasured run fills the file cache, as on a machine where the
    // program has been started before.
    runOnce("/proc/self/exe");
    for (int i = 0; i < runs; ++i) {
        const std::string out = runOnce("/proc/self/exe");
        if (valueOf(out, "startup_ms") < 0) {
            std::fprintf(stderr, "the panel run gave no figures:\n%s\n", out.c_str());
            return 1;
        }
        startup.push_back(valueOf(out, "startup_ms"));
        startupMain.push_back(valueOf(out, "startup_main_ms"));
        rss.push_back(valueOf(out, "idle_rss_mb"));
    }
    bench::figure("startup_ms", bench::percentile(startup, 50), 1);
    bench::figure("startup_max_ms", startup.back(), 1);
    bench::figure("startup_main_ms", bench::percentile(startupMain, 50), 1);
    bench::figure("idle_rss_mb", bench::percentile(rss, 50), 1);
    return 0;
}
