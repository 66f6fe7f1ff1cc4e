#include "tcpserver.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "line.h"
#include "modem.h"
#include "monitor.h"

namespace {

SimOptions withSeed(SimOptions o, std::uint64_t seed) {
    o.seed = seed;
    return o;
}

// One monitor behind one port: a device server's serial port with its line.
struct Station {
    Station(const SimOptions& base, int index)
        : options(withSeed(base, base.seed + std::uint64_t(index)))
        , line(true)
        , monitor(options, monotonicNs())
        , modem(options) {}
    ~Station() {
        for (int fd : {client, listener})
            if (fd >= 0) ::close(fd);
    }
    void hangUp() {
        if (client >= 0) ::close(client);
        client = -1;
        line.clear();
        monitor.hangUp();
        modem.hangUp();
    }

    SimOptions options; // with this monitor's seed
    Line line;
    Monitor monitor;
    Modem modem;
    int listener = -1;
    int client = -1;
    std::string url;
};

std::string urlOf(const sockaddr_storage& a) {
    char host[NI_MAXHOST], port[NI_MAXSERV];
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&a), sizeof a, host, sizeof host, port, sizeof port,
                      NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "tcp://?";
    return a.ss_family == AF_INET6 ? std::string("tcp://[") + host + "]:" + port
                                   : std::string("tcp://") + host + ":" + port;
}

// A listening socket on `address` with `port` (0: any); -1 with `*error`.
int listenOn(const addrinfo& address, int port, sockaddr_storage* bound, std::string* error) {
    sockaddr_storage a{};
    std::memcpy(&a, address.ai_addr, address.ai_addrlen);
    if (a.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&a)->sin6_port = htons(std::uint16_t(port));
    else
        reinterpret_cast<sockaddr_in*>(&a)->sin_port = htons(std::uint16_t(port));
    const int fd = ::socket(a.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::strerror(errno);
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    socklen_t length = socklen_t(address.ai_addrlen);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), length) != 0 || ::listen(fd, 4) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(bound), &(length = sizeof *bound)) != 0) {
        *error = "port " + std::to_string(port) + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

int portOf(const sockaddr_storage& a) {
    return ntohs(a.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&a)->sin6_port
                                         : reinterpret_cast<const sockaddr_in*>(&a)->sin_port);
}

// Binds every station to consecutive ports from options.tcpPort; with port
// 0, from wherever the system puts the first, trying again a few times when
// a later one is taken.
bool listenAll(const SimOptions& options, std::vector<std::unique_ptr<Station>>& stations,
               std::string* error) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(options.tcpHost.c_str(), "0", &hints, &found); rc != 0) {
        *error = options.tcpHost + ": " + ::gai_strerror(rc);
        return false;
    }
    const std::unique_ptr<addrinfo, void (*)(addrinfo*)> guard(found, ::freeaddrinfo);
    for (int attempt = 0; attempt < (options.tcpPort == 0 ? 20 : 1); ++attempt) {
        int base = options.tcpPort;
        bool all = true;
        for (std::size_t i = 0; i < stations.size() && all; ++i) {
            Station& s = *stations[i];
            if (s.listener >= 0) ::close(s.listener);
            sockaddr_storage bound{};
            s.listener = listenOn(*found, base == 0 ? 0 : base + int(i), &bound, error);
            all = s.listener >= 0 && base + int(i) <= 65535;
            if (all && base == 0) base = portOf(bound);
            if (all) s.url = urlOf(bound);
        }
        if (all) return true;
        for (auto& s : stations) {
            if (s->listener >= 0) ::close(s->listener);
            s->listener = -1;
        }
    }
    return false;
}

constexpr std::int64_t SleepWindowNs = 2'000'000;

timespec toTimespec(std::int64_t ns) {
    return {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

} // namespace

int serveTcp(const SimOptions& options, std::FILE* log, const sigset_t& waitMask, bool watchStdin,
             volatile std::sig_atomic_t& stop, volatile std::sig_atomic_t& report) {
    std::vector<std::unique_ptr<Station>> stations;
    std::string error;
    for (int i = 0; i < options.count; ++i) {
        stations.push_back(std::make_unique<Station>(options, i));
        if (!stations.back()->monitor.init(&error)) {
            std::fprintf(stderr, "zel-monitor-sim: %s\n", error.c_str());
            return 2;
        }
    }
    if (!listenAll(options, stations, &error)) {
        std::fprintf(stderr, "zel-monitor-sim: cannot listen on %s: %s\n", options.tcpHost.c_str(),
                     error.c_str());
        return 1;
    }
    for (const auto& s : stations)
        std::printf("%s\n", s->url.c_str());
    std::fflush(stdout);

    // Per station: its listener and its connection; then standard input.
    std::vector<pollfd> fds(stations.size() * 2 + 1);
    char buf[4096];
    const auto printReplies = [&] {
        for (const auto& s : stations)
            std::printf("replies %s %llu\n", s->url.c_str(),
                        static_cast<unsigned long long>(s->line.repliesWritten()));
        std::fflush(stdout);
    };
    while (!stop) {
        if (report) {
            report = 0;
            printReplies();
        }
        std::int64_t now = monotonicNs();
        std::int64_t deadline = INT64_MAX;
        for (std::size_t i = 0; i < stations.size(); ++i) {
            Station& s = *stations[i];
            if (s.client >= 0) s.line.writeDue(s.client, now, log);
            s.modem.tick(now, s.line);
            deadline = std::min({deadline, s.line.nextDeadline(), s.modem.nextDeadline()});
            fds[2 * i] = {s.listener, POLLIN, 0};
            fds[2 * i + 1] = {s.client, POLLIN, 0}; // -1: ignored
        }
        fds.back() = {watchStdin ? STDIN_FILENO : -1, POLLIN, 0};
        now = monotonicNs();
        timespec timeout{};
        const bool soon = deadline != INT64_MAX && deadline - now <= SleepWindowNs;
        if (!soon && deadline != INT64_MAX) timeout = toTimespec(deadline - now - SleepWindowNs / 2);
        const int ready =
            ::ppoll(fds.data(), fds.size(), deadline == INT64_MAX ? nullptr : &timeout, &waitMask);
        if (ready > 0) {
            now = monotonicNs();
            for (std::size_t i = 0; i < stations.size(); ++i) {
                Station& s = *stations[i];
                if (fds[2 * i].revents & POLLIN) {
                    const int fd = ::accept4(s.listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (fd >= 0) {
                        // The newest connection takes the port, as a device
                        // server that lets a client back in after it lost its link.
                        s.hangUp();
                        s.client = fd;
                        const int on = 1;
                        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                        continue;
                    }
                }
                if (s.client < 0 || !(fds[2 * i + 1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                const ssize_t n = ::read(s.client, buf, sizeof buf);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                    s.hangUp();
                    continue;
                }
                if (n <= 0) continue;
                if (options.modem) {
                    s.modem.input(std::string_view(buf, std::size_t(n)), now, s.line, s.monitor, log);
                } else {
                    for (ssize_t k = 0; k < n; ++k)
                        if (buf[k] == 'x') s.monitor.request(now, s.line, log);
                }
            }
            if (watchStdin && (fds.back().revents & (POLLIN | POLLHUP | POLLERR)) &&
                ::read(STDIN_FILENO, buf, sizeof buf) <= 0)
                stop = 1;
        }
        if (soon && deadline > (now = monotonicNs())) {
            const timespec at = toTimespec(deadline);
            while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR && !stop) {
            }
        }
    }
    printReplies();
    return 0;
}
