// zel-monitor-sim: the stand-in monitor (and modem) on a pseudo-terminal, or
// many of them on TCP ports (tcpserver.cpp).
// One poll() loop; bytes leave at the pace of a 9600-baud line, slept to with
// absolute deadlines. See --help.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <poll.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include "devicelink.h"
#include "line.h"
#include "modem.h"
#include "monitor.h"
#include "options.h"
#include "pty.h"
#include "tcpserver.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_report = 0;

void onSignal(int) {
    g_stop = 1;
}

void onReport(int) {
    g_report = 1;
}

bool stdinIsPipe() {
    struct stat st {};
    return ::fstat(STDIN_FILENO, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}

// The link goes up before the path is printed: a starter that reads the
// path may open the link at once.
bool announce(const Pty& pty, DeviceLink& link) {
    std::string error;
    if (!link.point(pty.path(), &error)) {
        std::fprintf(stderr, "zel-monitor-sim: cannot make the link %s\n", error.c_str());
        return false;
    }
    std::printf("%s\n", pty.path().c_str());
    std::fflush(stdout);
    return true;
}

timespec toTimespec(std::int64_t ns) {
    return {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

// Within this much of the next byte the loop sleeps to the exact deadline
// instead of polling (poll's wake-up is too coarse for 1.04 ms steps).
constexpr std::int64_t SleepWindowNs = 2'000'000;

} // namespace

int main(int argc, char** argv) {
    SimOptions options;
    if (const int code = parseOptions(argc, argv, &options); code != GoOn) return code;

    if (options.realtime) {
        sched_param param{};
        param.sched_priority = 1;
        if (::sched_setscheduler(0, SCHED_FIFO, &param) != 0)
            std::fprintf(stderr, "zel-monitor-sim: no real-time priority (%s); the pace follows the load\n",
                         std::strerror(errno));
    }
    const std::int64_t start = monotonicNs();
    Monitor monitor(options, start);
    std::string error;
    if (!monitor.init(&error)) {
        std::fprintf(stderr, "zel-monitor-sim: %s\n", error.c_str());
        return 2;
    }
    std::FILE* log = nullptr;
    if (!options.logPath.empty()) {
        log = std::fopen(options.logPath.c_str(), "w");
        if (!log) {
            std::fprintf(stderr, "zel-monitor-sim: %s: %s\n", options.logPath.c_str(), std::strerror(errno));
            return 2;
        }
        std::setvbuf(log, nullptr, _IOLBF, 0);
    }

    // SIGTERM and SIGINT are taken only inside ppoll(), so none is missed
    // between a check and a wait.
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    ::sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t blocked, waitMask;
    ::sigemptyset(&blocked);
    ::sigaddset(&blocked, SIGTERM);
    ::sigaddset(&blocked, SIGINT);
    // SIGUSR1: the replies so far (--tcp).
    if (!options.tcpHost.empty()) {
        sa.sa_handler = onReport;
        ::sigaction(SIGUSR1, &sa, nullptr);
        ::sigaddset(&blocked, SIGUSR1);
    }
    ::sigprocmask(SIG_BLOCK, &blocked, &waitMask);
    ::sigdelset(&waitMask, SIGTERM);
    ::sigdelset(&waitMask, SIGINT);
    ::sigdelset(&waitMask, SIGUSR1);

    if (!options.tcpHost.empty()) {
        const int status = serveTcp(options, log, waitMask, stdinIsPipe(), g_stop, g_report);
        if (log) std::fclose(log);
        return status;
    }

    auto pty = std::make_unique<Pty>();
    if (!pty->open(&error)) {
        std::fprintf(stderr, "zel-monitor-sim: cannot create a pseudo-terminal: %s\n", error.c_str());
        return 1;
    }
    DeviceLink link(options.linkPath);
    if (!announce(*pty, link)) return 2;

    Line line;
    Modem modem(options);
    const bool watchStdin = stdinIsPipe();
    std::int64_t announceAt = INT64_MAX; // a vanished device's successor
    std::unique_ptr<Pty> next;

    const auto hangUp = [&] {
        line.clear();
        monitor.hangUp();
        modem.hangUp();
        pty->resetLine();
    };
    const auto handleInput = [&](const pollfd* fds, std::int64_t now) {
        if (fds[1].revents & POLLIN) {
            if (pty->readHangUp()) hangUp();
        }
        if (fds[0].revents & POLLIN) {
            char buf[4096];
            const ssize_t n = ::read(pty->master(), buf, sizeof buf);
            if (n > 0) {
                const std::string_view data(buf, std::size_t(n));
                if (options.modem) {
                    modem.input(data, now, line, monitor, log);
                } else {
                    for (const char c : data) {
                        if (c == 'x') monitor.request(now, line, log);
                    }
                }
            }
        }
        if (watchStdin && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
            char buf[256];
            if (::read(STDIN_FILENO, buf, sizeof buf) <= 0) g_stop = 1;
        }
    };

    while (!g_stop) {
        std::int64_t now = monotonicNs();
        line.writeDue(pty->master(), now, log);
        modem.tick(now, line);
        if (monitor.vanishAt() <= now) {
            // Open the successor before letting go of the old device, so it
            // cannot be given the same path.
            next = std::make_unique<Pty>();
            if (!next->open(&error)) {
                std::fprintf(stderr, "zel-monitor-sim: cannot create a pseudo-terminal: %s\n", error.c_str());
                return 1;
            }
            pty = std::move(next);
            link.remove(); // the device is gone until it is announced again
            line.clear();
            monitor.hangUp();
            monitor.vanished();
            modem.hangUp();
            announceAt = now + std::int64_t(options.faults.vanishGapMs) * 1'000'000;
        }
        if (announceAt <= now) {
            announceAt = INT64_MAX;
            if (!announce(*pty, link)) return 2;
        }

        const std::int64_t deadline =
            std::min({line.nextDeadline(), modem.nextDeadline(), monitor.vanishAt(), announceAt});
        pollfd fds[3] = {{pty->master(), POLLIN, 0}, {pty->watch(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const nfds_t nfds = watchStdin ? 3 : 2;
        now = monotonicNs();
        if (deadline != INT64_MAX && deadline - now <= SleepWindowNs) {
            const timespec zero{0, 0};
            if (::ppoll(fds, nfds, &zero, &waitMask) > 0) handleInput(fds, now);
            if (deadline > now) {
                const timespec at = toTimespec(deadline);
                while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR && !g_stop) {
                }
            }
            continue;
        }
        timespec timeout{};
        if (deadline != INT64_MAX) timeout = toTimespec(deadline - now - SleepWindowNs / 2);
        const int ready = ::ppoll(fds, nfds, deadline == INT64_MAX ? nullptr : &timeout, &waitMask);
        if (ready > 0) handleInput(fds, monotonicNs());
    }
    if (log) std::fclose(log);
    return 0;
}
