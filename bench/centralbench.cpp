// Forwarding to the central record, against a throwaway PostgreSQL 15
// cluster on loopback:
//   central_backfill_rows_per_s    50 sites' files, each a day of minutes and
//                                  events for two monitors, forwarded at once
//                                  (rows on the server per wall second)
//   central_forward_cpu_overhead   CPU per wall second of one logger (one
//                                  monitor, history on) forwarding live, minus
//                                  the same logger without, run side by side
//                                  (median of rounds)
//   central_backfill_line_ratio    a logger's packets per second over the
//                                  line's 96 while it forwards a backlog of
//                                  its own file
// Options: --seconds S (each measured window, default 20), --rounds N (3),
// --only backfill|overhead|line (one part).
#include "core/outputs/central/centralforwarder.h"
#include "core/outputs/history/historystore.h"
#include "support/pgcluster.h"

#include "benchsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

constexpr qint64 MinuteMs = 60'000;
constexpr qint64 DayStart = 1'796'601'600'000; // 2026-12-07 00:00 UTC

void sleepFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// CPU seconds of every thread of process `pid` so far, to the nanosecond
// (the scheduler's own account; /proc/PID/stat counts in 10 ms ticks, too
// coarse for a difference of a thousandth). `threadName`, when given, counts
// that thread alone.
double processCpuSeconds(qint64 pid, const QString& threadName = {}) {
    double ns = 0;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString& tid : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (!threadName.isEmpty()) {
            QFile comm(tasks + u'/' + tid + QStringLiteral("/comm"));
            if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != threadName.toUtf8()) continue;
        }
        QFile f(tasks + u'/' + tid + QStringLiteral("/schedstat"));
        if (f.open(QIODevice::ReadOnly)) ns += f.readAll().split(' ').value(0).toDouble();
    }
    return ns / 1e9;
}

// `days` of minutes for `monitors` monitors and `eventsPerMonitorDay` events each, into `path`.
bool writeRecord(const QString& path, int monitors, int days, int eventsPerMonitorDay) {
    zel::HistoryStore store;
    if (!store.open(path)) return false;
    static const char* const kinds[] = {zel::EventKind::Pos125, zel::EventKind::Neg100,
                                        zel::EventKind::CarrierAlarm, zel::EventKind::Link};
    for (int m = 0; m < monitors; ++m) {
        const QString monitor = QStringLiteral("wzel-%1").arg(m + 1);
        for (int d = 0; d < days; ++d) {
            QList<zel::MinuteRecord> minutes;
            QList<zel::EventRecord> events;
            for (int i = 0; i < 1440; ++i) {
                zel::MinuteRecord r;
                r.monitor = monitor;
                r.minuteMs = DayStart - qint64(days - d) * 1440 * MinuteMs + i * MinuteMs;
                r.packets = 5760 - (i % 7);
                r.rejected = i % 7;
                r.posMax = std::round(90 + 12 * std::sin(i / 97.0));
                r.negMax = 85;
                r.carrierMin = 39;
                r.carrierMax = 41;
                r.carrierMean = 40.125;
                r.upS = 60;
                minutes << r;
            }
            for (int i = 0; i < eventsPerMonitorDay; ++i) {
                zel::EventRecord e;
                e.monitor = monitor;
                e.timeMs = minutes.first().minuteMs + qint64(i) * (1440 * MinuteMs / eventsPerMonitorDay);
                e.kind = QLatin1String(kinds[i % 4]);
                if (i % 4 < 2) {
                    e.endMs = e.timeMs + 400;
                    e.packets = 38;
                    e.extreme = 128;
                } else if (i % 4 == 2) {
                    e.on = i % 8 == 2;
                } else {
                    e.detail = QStringLiteral("connected");
                }
                events << e;
            }
            // A day at a time: the writer's queue is bounded.
            if (!store.write(events, minutes) || !store.sync(120'000)) return false;
        }
    }
    return true;
}

bool backfill(zeltest::PgCluster& pg, QTemporaryDir& dir) {
    constexpr int Sites = 50;
    if (!pg.createDatabase(QStringLiteral("backfill"))) return false;
    qint64 rows = 0;
    std::vector<std::unique_ptr<zel::CentralForwarder>> forwarders;
    for (int s = 0; s < Sites; ++s) {
        const QString file = dir.filePath(QStringLiteral("site%1.sqlite").arg(s));
        if (!writeRecord(file, 2, 1, 150)) return false;
        rows += 2 * (1440 + 150);
        zel::CentralForwarder::Options o;
        o.url = pg.url(QStringLiteral("backfill"));
        o.siteId = QStringLiteral("site-%1").arg(s);
        o.historyPath = file;
        forwarders.push_back(std::make_unique<zel::CentralForwarder>(o));
    }
    int done = 0;
    qint64 sent = 0;
    QEventLoop loop;
    for (auto& f : forwarders)
        QObject::connect(f.get(), &zel::CentralForwarder::forwarded, &loop, [&](int n, bool more) {
            sent += n;
            if (!more && ++done == Sites) loop.quit();
        });
    QTimer::singleShot(600'000, &loop, &QEventLoop::quit);
    QElapsedTimer wall;
    wall.start();
    for (auto& f : forwarders)
        f->start();
    loop.exec();
    const double seconds = double(wall.nsecsElapsed()) / 1e9;
    forwarders.clear();
    if (done < Sites || sent < rows) {
        std::fprintf(stderr, "centralbench: backfill incomplete (%lld of %lld rows)\n", sent, rows);
        return false;
    }
    bench::figure("central_backfill_rows", double(rows), 0);
    bench::figure("central_backfill_s", seconds, 2);
    bench::figure("central_backfill_rows_per_s", double(rows) / seconds, 0);
    return true;
}

// The stand-in's replies per port, read with SIGUSR1.
struct Sim {
    QProcess proc;
    QByteArray buffer;
    QStringList lines;
    bool waitLines(qsizetype count, int timeoutMs) {
        QElapsedTimer t;
        t.start();
        while (lines.size() < count && t.elapsed() < timeoutMs && proc.state() == QProcess::Running) {
            proc.waitForReadyRead(100);
            buffer += proc.readAllStandardOutput();
            for (qsizetype nl; (nl = buffer.indexOf('\n')) >= 0; buffer.remove(0, nl + 1))
                lines << QString::fromLocal8Bit(buffer.left(nl)).trimmed();
        }
        return lines.size() >= count;
    }
    std::vector<double> replies(int ports) {
        const qsizetype before = lines.size();
        ::kill(pid_t(proc.processId()), SIGUSR1);
        std::vector<double> counts;
        if (!waitLines(before + ports, 5000)) return counts;
        for (qsizetype i = before; i < before + ports; ++i)
            counts.push_back(lines[i].section(u' ', 2, 2).toDouble());
        return counts;
    }
    bool start(int ports) {
        proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        proc.start(bench::simProgram(),
                   {"--tcp", "127.0.0.1:0", "--count", QString::number(ports), "--realtime"});
        return proc.waitForStarted(10000) && waitLines(ports, 10000);
    }
    ~Sim() {
        proc.terminate();
        proc.waitForFinished(5000);
    }
};

void startLogger(QProcess& p, const QStringList& args) {
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QStringLiteral(ZEL_LOGGER), args);
    p.waitForStarted(10000);
}

void stopLogger(QProcess& p) {
    p.terminate();
    if (!p.waitForFinished(20000)) p.kill();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? -1 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

bool overhead(zeltest::PgCluster& pg, QTemporaryDir& dir, int seconds, int rounds) {
    if (!pg.createDatabase(QStringLiteral("live"))) return false;
    Sim sim;
    if (!sim.start(2)) return false;
    std::vector<double> with, without, diff, thread;
    for (int r = 0; r < rounds; ++r) {
        QProcess forwarding, plain;
        startLogger(forwarding, {"--port", sim.lines[0], "--history",
                                 dir.filePath(QStringLiteral("with%1.sqlite").arg(r)), "--central",
                                 pg.url(QStringLiteral("live"))});
        startLogger(plain, {"--port", sim.lines[1], "--history",
                            dir.filePath(QStringLiteral("without%1.sqlite").arg(r))});
        sleepFor(4000);
        const double a0 = processCpuSeconds(forwarding.processId());
        const double b0 = processCpuSeconds(plain.processId());
        const double t0 = processCpuSeconds(forwarding.processId(), QStringLiteral("zel-central"));
        QElapsedTimer wall;
        wall.start();
        sleepFor(seconds * 1000);
        const double w = double(wall.nsecsElapsed()) / 1e9;
        const double a = (processCpuSeconds(forwarding.processId()) - a0) / w;
        const double b = (processCpuSeconds(plain.processId()) - b0) / w;
        thread.push_back((processCpuSeconds(forwarding.processId(), QStringLiteral("zel-central")) - t0) / w);
        const bool alive = forwarding.state() == QProcess::Running && plain.state() == QProcess::Running;
        stopLogger(forwarding);
        stopLogger(plain);
        if (!alive) return false;
        with.push_back(a);
        without.push_back(b);
        diff.push_back(a - b);
    }
    bench::figure("central_forward_cpu_per_wall_s", median(with), 4);
    bench::figure("central_noforward_cpu_per_wall_s", median(without), 4);
    bench::figure("central_forward_cpu_overhead", median(diff), 5);
    bench::figure("central_forward_thread_cpu_per_wall_s", median(thread), 5);
    QString all;
    for (double d : diff)
        all += QString::number(d, 'f', 5) + u' ';
    bench::figure("central_forward_cpu_overhead_rounds", all.trimmed());
    return true;
}

qint64 centralRows(zeltest::PgCluster& pg, const QString& db) {
    qint64 n = -1;
    {
        QSqlDatabase c = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("count"));
        c.setHostName(QStringLiteral("127.0.0.1"));
        c.setPort(pg.port());
        c.setDatabaseName(db);
        c.setUserName(zeltest::PgCluster::superuser());
        c.setPassword(zeltest::PgCluster::password());
        if (c.open()) {
            QSqlQuery q(c);
            if (q.exec(QStringLiteral(
                    "SELECT (SELECT count(*) FROM minutes) + (SELECT count(*) FROM events)")) &&
                q.next())
                n = q.value(0).toLongLong();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("count"));
    return n;
}

bool lineDuringBackfill(zeltest::PgCluster& pg, QTemporaryDir& dir, int seconds) {
    if (!pg.createDatabase(QStringLiteral("backlog"))) return false;
    // A backlog that outlasts the window: 12 monitors' month.
    const QString file = dir.filePath(QStringLiteral("backlog.sqlite"));
    if (!writeRecord(file, 12, 30, 100)) return false;
    const qint64 backlog = 12 * 30 * (1440 + 100);
    Sim sim;
    if (!sim.start(1)) return false;
    QProcess logger;
    startLogger(logger,
                {"--port", sim.lines[0], "--history", file, "--central", pg.url(QStringLiteral("backlog"))});
    sleepFor(2000);
    const std::vector<double> before = sim.replies(1);
    const qint64 rows0 = centralRows(pg, QStringLiteral("backlog"));
    QElapsedTimer wall;
    wall.start();
    sleepFor(seconds * 1000);
    const std::vector<double> after = sim.replies(1);
    const qint64 rows1 = centralRows(pg, QStringLiteral("backlog"));
    const double w = double(wall.nsecsElapsed()) / 1e9;
    const bool alive = logger.state() == QProcess::Running;
    stopLogger(logger);
    if (!alive || before.empty() || after.empty()) return false;
    bench::figure("central_backfill_line_ratio", (after[0] - before[0]) / w / 96.0, 3);
    bench::figure("central_backfill_logger_rows_per_s", double(rows1 - rows0) / w, 0);
    if (rows1 >= backlog)
        std::fprintf(stderr, "centralbench: the backlog was done before the window ended\n");
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int seconds = 20, rounds = 3;
    QString only;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == u"--seconds") seconds = std::max(2, args[i + 1].toInt());
        if (args[i] == u"--rounds") rounds = std::max(1, args[i + 1].toInt());
        if (args[i] == u"--only") only = args[i + 1];
    }
    if (zeltest::PgCluster::binDir().isEmpty()) {
        std::fprintf(stderr, "centralbench: PostgreSQL 15 is not installed\n");
        return 1;
    }
    const auto settings = bench::useTemporarySettings();
    QTemporaryDir dir;
    zeltest::PgCluster pg;
    if (!pg.start()) {
        std::fprintf(stderr, "centralbench: %s\n", qPrintable(pg.errorText()));
        return 1;
    }
    const auto wanted = [&only](const char* part) { return only.isEmpty() || only == QLatin1String(part); };
    bool ok = true;
    if (wanted("backfill")) ok = backfill(pg, dir) && ok;
    if (wanted("overhead")) ok = overhead(pg, dir, seconds, rounds) && ok;
    if (wanted("line")) ok = lineDuringBackfill(pg, dir, seconds) && ok;
    return ok ? 0 : 1;
}
