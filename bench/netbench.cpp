// Polling through a serial device server: the stand-in monitor on a
// pseudo-terminal, Debian's ser2net in front of it on loopback, and a
// monitor session polling it through each network transport as the program
// does.
//
// For each of tcp and rfc2217 (one stand-in each, with its own --log):
//   net_packets_per_s_<kind>     packets read whole per second
//   net_line_limit_ratio_<kind>  that over the line limit (96/s)
//   net_cpu_per_wall_s_<kind>    this process's CPU seconds per wall second
//   net_server_cpu_per_wall_s_<kind>  ser2net's, for comparison
//   net_wakeups_per_packet_<kind>  readyRead signals per packet
//   net_replies_overdue_<kind>   replies not read whole when due
//   net_latency_p50_ms_<kind>, _p95_ms_, _p99_ms_, _max_ms_ (ZEL_BENCH_LATE=1 lists the late ones):
//                                from the stand-in's stamp of a reply's last
//                                character to the packet read whole here
// and reconnect_s_<kind>: ser2net killed, the session reconnecting by itself,
// ser2net started again once the first attempt has failed; from its restart
// to the first reading, beside reconnect_step_s_<kind>, the backoff step
// then pending.
//
// Three more kinds poll over raw TCP across a distant or untuned link, with
// the same figures but no reconnect:
//   rtt50, rtt100     zel-netrelay in front of ser2net (its own process),
//                     holding each direction 25 or 50 ms, give or take 2.5 ms
//                     (a round trip of 50 or 100 ms, give or take 5 ms)
//   ser2net_default   ser2net with its default options (no nodelay, its own
//                     chardelay)
// and for them net_poll_depth_<kind> and net_rtt_ms_<kind>, the depth and
// round trip the poll settled on.
//
// Options: --seconds S (measured time per kind, default 20), --warmup S (1;
// at least 6 for the last three, while the depth settles), --kinds tcp,rfc2217,rtt50,rtt100,ser2net_default.
#include "core/link/linkcontroller.h"
#include "core/protocol/packetframer.h"
#include "core/session/monitorsession.h"
#include "core/transport/networkport.h"
#include "core/transport/networktransport.h"
#include "support/ser2net.h"

#include "benchsupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <optional>
#include <unistd.h>

namespace {

constexpr double LineLimit = 9600.0 / 10.0 / 10.0;

struct Options {
    double seconds = 20;
    double warmup = 1;
    QStringList kinds{QStringLiteral("tcp"), QStringLiteral("rfc2217"), QStringLiteral("rtt50"),
                      QStringLiteral("rtt100"), QStringLiteral("ser2net_default")};
};

Options parse(const QStringList& args) {
    Options o;
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        const QString next = i + 1 < args.size() ? args[i + 1] : QString();
        if (a == QLatin1String("--seconds"))
            o.seconds = next.toDouble(), ++i;
        else if (a == QLatin1String("--warmup"))
            o.warmup = next.toDouble(), ++i;
        else if (a == QLatin1String("--kinds"))
            o.kinds = next.split(QLatin1Char(',')), ++i;
        else {
            std::fprintf(stderr, "unknown option %s\n", qPrintable(a));
            std::exit(2);
        }
    }
    return o;
}

// CPU seconds (user and system) that process `pid` has used so far.
double processCpuSeconds(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !f.open(QIODevice::ReadOnly)) return 0;
    const QByteArray stat = f.readAll();
    // Fields after the command name in parentheses: utime and stime are the
    // 14th and 15th of the whole line.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13) return 0;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(::sysconf(_SC_CLK_TCK));
}

struct Read {
    std::int64_t ns;
    zel::PacketFramer::Data data;
};

// The program's own poll: a monitor session on the network port text,
// every packet it decodes stamped.
class Poller : public QObject {
public:
    explicit Poller(const QString& text) {
        m_reads.reserve(200000);
        zel::ConnectionSettings c;
        c.directPort = text;
        session.setConnectionSettings(c);
        connect(&session, &zel::MonitorSession::readingsReceived, this, [this] {
            ++packets;
            if (record) m_reads.push_back({bench::monotonicNs(), session.link()->lastPacket()});
        });
        connect(&session, &zel::MonitorSession::linkEvent, this, [this](const zel::LinkEvent& e) {
            if (e.state != zel::LinkState::Connected || !session.link()->transport()) return;
            connect(session.link()->transport(), &QIODevice::readyRead, this, [this] { ++wakeups; });
            connect(session.link()->transport(), &zel::Transport::replyOverdue, this, [this] { ++overdue; });
        });
    }
    bool start(int timeoutMs) {
        session.connectLink();
        QDeadlineTimer deadline(timeoutMs);
        while (session.linkState() != zel::LinkState::Connected && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        return session.linkState() == zel::LinkState::Connected;
    }
    void stop() { session.disconnectLink(); }
    zel::MonitorSession session;
    long packets = 0;
    long wakeups = 0;
    long overdue = 0;
    bool record = false;
    std::vector<Read> m_reads;
};

// zel-netrelay in its own process, so its CPU is not counted as the poll's.
class RelayProcess {
public:
    ~RelayProcess() {
        m_proc.closeWriteChannel(); // it ends with its standard input
        if (!m_proc.waitForFinished(3000)) m_proc.kill(), m_proc.waitForFinished(3000);
    }
    // The port it listens on, 0 on failure.
    quint16 start(quint16 to, int oneWayMs, double jitterMs) {
        m_proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_proc.start(QStringLiteral(ZEL_NETRELAY),
                     {QStringLiteral("--to"), QString::number(to), QStringLiteral("--delay"),
                      QString::number(oneWayMs), QStringLiteral("--jitter"), QString::number(jitterMs)});
        QDeadlineTimer deadline(10000);
        while (!m_proc.canReadLine() && !deadline.hasExpired() && m_proc.state() != QProcess::NotRunning)
            m_proc.waitForReadyRead(100);
        return quint16(m_proc.readLine().trimmed().toUInt());
    }

private:
    QProcess m_proc;
};

void runFor(double seconds) {
    QTimer::singleShot(int(seconds * 1000), qApp, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const Options o = parse(app.arguments());
    QTemporaryDir dir;
    if (zeltest::Ser2Net::program().isEmpty()) {
        std::fprintf(stderr, "ser2net is not installed (scripts/install-deps installs it)\n");
        return 2;
    }

    for (const QString& kind : o.kinds) {
        const QString suffix = QLatin1Char('_') + kind;
        auto name = [&](const char* n) { return (QLatin1String(n) + suffix).toLatin1(); };
        const QString log = dir.filePath(kind + QStringLiteral(".log"));
        const QString link = dir.filePath(kind + QStringLiteral("-monitor"));
        bench::SimProcess sim(bench::simProgram());
        if (!sim.start({QStringLiteral("--realtime"), QStringLiteral("--log"), log, QStringLiteral("--link"),
                        link})) {
            std::fprintf(stderr, "%s\n", qPrintable(sim.error()));
            return 2;
        }
        const int relayMs = kind == QLatin1String("rtt50") ? 25 : kind == QLatin1String("rtt100") ? 50 : -1;
        const bool untuned = kind == QLatin1String("ser2net_default");
        zeltest::Ser2Net server;
        server.setDefaultOptions(untuned);
        if (!server.start(link)) {
            std::fprintf(stderr, "%s\n", qPrintable(server.errorText()));
            return 2;
        }
        std::optional<RelayProcess> relay;
        QString text = kind == QLatin1String("rfc2217") ? server.rfc2217Text() : server.tcpText();
        if (relayMs >= 0) {
            const quint16 port = relay.emplace().start(server.tcpPort(), relayMs, 2.5);
            if (port == 0) {
                std::fprintf(stderr, "zel-netrelay did not start\n");
                return 2;
            }
            text = QStringLiteral("tcp://127.0.0.1:%1").arg(port);
        }
        Poller poll(text);
        if (!poll.start(10000)) {
            std::fprintf(stderr, "the session did not connect to %s\n", qPrintable(text));
            return 2;
        }
        // Across the relay or an untuned server the depth settles over a few
        // turns of 200 replies.
        runFor(relayMs >= 0 || untuned ? std::max(o.warmup, 6.0) : o.warmup);
        poll.record = true;
        const long packets0 = poll.packets, wakeups0 = poll.wakeups;
        const double cpu0 = bench::cpuSeconds(), serverCpu0 = processCpuSeconds(server.processId());
        const std::int64_t t0 = bench::monotonicNs();
        runFor(o.seconds);
        const double wall = double(bench::monotonicNs() - t0) / 1e9;
        const double cpu = bench::cpuSeconds() - cpu0;
        const double serverCpu = processCpuSeconds(server.processId()) - serverCpu0;
        const long packets = poll.packets - packets0;
        poll.record = false;

        bench::figure(name("net_packets"), double(packets), 0);
        bench::figure(name("net_packets_per_s"), double(packets) / wall);
        bench::figure(name("net_line_limit_ratio"), double(packets) / wall / LineLimit, 3);
        bench::figure(name("net_cpu_per_wall_s"), cpu / wall, 4);
        bench::figure(name("net_server_cpu_per_wall_s"), serverCpu / wall, 4);
        bench::figure(name("net_wakeups_per_packet"),
                      packets > 0 ? double(poll.wakeups - wakeups0) / double(packets) : 0);
        bench::figure(name("net_replies_overdue"), double(poll.overdue), 0);
        if (relayMs >= 0 || untuned) {
            bench::figure(name("net_poll_depth"), poll.session.link()->pollDepth(), 0);
            bench::figure(name("net_rtt_ms"), poll.session.link()->roundTripMs(), 1);
        }

        // Latency: each packet read is the newest logged reply with its data
        // written before it was read (see pollbench).
        const std::vector<bench::LoggedReply> replies = bench::readSimLog(log);
        std::vector<double> ms;
        constexpr std::int64_t SlackNs = 2'000'000;
        std::size_t j = 0;
        long unmatched = 0;
        for (const Read& r : poll.m_reads) {
            const QByteArray data(r.data.data(), 9);
            std::optional<std::size_t> best;
            for (std::size_t k = j; k < replies.size() && replies[k].ns <= r.ns + SlackNs; ++k)
                if (replies[k].data == data) best = k;
            if (!best) {
                ++unmatched;
                continue;
            }
            ms.push_back(std::max(0.0, double(r.ns - replies[*best].ns) / 1e6));
            if (qEnvironmentVariableIsSet("ZEL_BENCH_LATE") && ms.back() > 2)
                std::fprintf(stderr, "late %zu %.3f gap-before %.3f\n", *best, ms.back(),
                             *best > 0 ? double(replies[*best].ns - replies[*best - 1].ns) / 1e6 : 0.0);
            j = *best + 1;
        }
        bench::figure(name("net_latency_samples"), double(ms.size()), 0);
        bench::figure(name("net_latency_unmatched"), double(unmatched), 0);
        bench::figure(name("net_latency_p50_ms"), bench::percentile(ms, 50), 3);
        bench::figure(name("net_latency_p95_ms"), bench::percentile(ms, 95), 3);
        bench::figure(name("net_latency_p99_ms"), bench::percentile(ms, 99), 3);
        bench::figure(name("net_latency_max_ms"), ms.empty() ? 0 : ms.back(), 3);

        if (relayMs >= 0 || untuned) {
            poll.stop();
            relay.reset();
            server.stop();
            sim.stop();
            continue;
        }

        // Back by itself after the device server restarts: the session sees
        // the connection drop and tries again on its backoff; the server
        // comes back after the first attempt has failed, and the time runs
        // from its restart to the first reading.
        server.kill();
        QDeadlineTimer lost(15000);
        while (poll.session.linkState() != zel::LinkState::Reconnecting && !lost.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        runFor(1.5);
        auto* retry = poll.session.findChild<QTimer*>(QStringLiteral("tmrReconnect"));
        const double step = retry && retry->isActive() ? retry->interval() / 1000.0 : 0;
        const long before = poll.packets;
        const std::int64_t r0 = bench::monotonicNs();
        if (!server.restart()) {
            std::fprintf(stderr, "%s\n", qPrintable(server.errorText()));
            return 2;
        }
        QDeadlineTimer deadline(40000);
        while (poll.packets == before && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        bench::figure(name("reconnect_s"), double(bench::monotonicNs() - r0) / 1e9, 2);
        bench::figure(name("reconnect_step_s"), step, 0);
        poll.stop();
        server.stop();
        sim.stop();
    }
    return 0;
}
