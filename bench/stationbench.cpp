// One zel-logger watching many monitors over tcp://, recording its history,
// against one zel-monitor-sim --tcp serving them all.
//
// monitors_N_line_limit_ratio_min: the slowest monitor's packets a second
// over the line's 96, counted by the stand-in (replies sent whole to each
// port) over the measured window. monitors_N_cpu_per_wall_s: the logger
// process's CPU seconds (user + system, from /proc/PID/stat) per wall second
// over the same window. monitors_N_rss_mb: the logger's peak resident memory
// (VmHWM) at the end. N is 1, 8 and 64 unless --monitors says otherwise.
// Also the mean packets a second and the stand-in's own CPU, for context.
//
// Usage: zel-stationbench [--seconds N] [--warmup N] [--monitors 1,8,64]
#include "benchsupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

void sleepFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// The stand-in's stdout, line by line.
struct Sim {
    QProcess proc;
    QByteArray buffer;
    QStringList lines;

    void read() {
        buffer += proc.readAllStandardOutput();
        for (qsizetype nl; (nl = buffer.indexOf('\n')) >= 0; buffer.remove(0, nl + 1))
            lines << QString::fromLocal8Bit(buffer.left(nl)).trimmed();
    }
    // Waits for `count` more lines; false on timeout.
    bool waitLines(qsizetype count, int timeoutMs) {
        QElapsedTimer t;
        t.start();
        while (lines.size() < count && t.elapsed() < timeoutMs && proc.state() == QProcess::Running) {
            proc.waitForReadyRead(100);
            read();
        }
        return lines.size() >= count;
    }
    // The replies per port so far, in port order (SIGUSR1).
    std::vector<double> replies(int monitors) {
        const qsizetype before = lines.size();
        ::kill(pid_t(proc.processId()), SIGUSR1);
        std::vector<double> counts;
        if (!waitLines(before + monitors, 5000)) return counts;
        for (qsizetype i = before; i < before + monitors; ++i)
            counts.push_back(lines[i].section(u' ', 2, 2).toDouble());
        return counts;
    }
};

// User + system CPU seconds of process `pid` so far.
double processCpuSeconds(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    const QByteArray stat = f.readAll();
    // Fields after the command name, which may hold blanks: state is field 3,
    // utime 14 and stime 15.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(::sysconf(_SC_CLK_TCK));
}

double peakRssMbOf(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:")) return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return -1;
}

QString loggerProgram() {
    const QString env = qEnvironmentVariable("ZEL_LOGGER");
    return env.isEmpty() ? QStringLiteral(ZEL_LOGGER) : env;
}

// snmpd as AgentX master for the run with every output: its own config in a
// temporary folder, a free loopback port, nothing of the host's.
struct Snmpd {
    QTemporaryDir dir;
    QProcess proc;
    QString socket;
    quint16 port = 0;
    bool start() {
        QTcpServer probe; // a free port number (UDP and TCP share the space here)
        probe.listen(QHostAddress::LocalHost, 0);
        port = probe.serverPort();
        probe.close();
        socket = dir.filePath(QStringLiteral("agentx"));
        QFile conf(dir.filePath(QStringLiteral("snmpd.conf")));
        if (!conf.open(QIODevice::WriteOnly)) return false;
        conf.write(QStringLiteral("master agentx\nagentXSocket %1\nagentaddress udp:127.0.0.1:%2\n"
                                  "rocommunity public 127.0.0.1\n")
                       .arg(socket)
                       .arg(port)
                       .toUtf8());
        conf.close();
        QString program = QStandardPaths::findExecutable(QStringLiteral("snmpd"));
        if (program.isEmpty()) program = QStringLiteral("/usr/sbin/snmpd");
        proc.start(program,
                   {"-f", "-Lo", "-C", "-c", conf.fileName(), "-p", dir.filePath(QStringLiteral("pid"))});
        if (!proc.waitForStarted(5000)) return false;
        for (int i = 0; i < 50 && !QFile::exists(socket); ++i)
            sleepFor(100);
        return QFile::exists(socket);
    }
    ~Snmpd() {
        proc.terminate();
        proc.waitForFinished(5000);
    }
};

// One /metrics scrape on loopback; its time in ms, or -1.
double scrapeMs(quint16 port) {
    QElapsedTimer t;
    t.start();
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(2000)) return -1;
    s.write("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    while (s.waitForReadyRead(2000))
        s.readAll();
    return double(t.nsecsElapsed()) / 1e6;
}

bool run(int monitors, int seconds, int warmup, bool outputs = false) {
    const auto settings = bench::useTemporarySettings(); // the history goes here too
    Sim sim;
    sim.proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.proc.start(bench::simProgram(),
                   {"--tcp", "127.0.0.1:0", "--count", QString::number(monitors), "--realtime"});
    if (!sim.proc.waitForStarted(10000) || !sim.waitLines(monitors, 10000)) {
        std::fprintf(stderr, "stationbench: the stand-in did not start\n");
        return false;
    }
    QStringList args;
    for (int i = 0; i < monitors; ++i)
        args << QStringLiteral("--port") << sim.lines[i];
    // With every output: the SNMP subagent walked and /metrics scraped once
    // a second while the monitors play.
    Snmpd snmpd;
    quint16 http = 0;
    if (outputs) {
        if (!snmpd.start()) {
            std::fprintf(stderr, "stationbench: snmpd did not start\n");
            return false;
        }
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        http = probe.serverPort();
        probe.close();
        args << QStringLiteral("--agentx") << snmpd.socket << QStringLiteral("--http")
             << QStringLiteral("127.0.0.1:%1").arg(http);
    }
    QProcess logger;
    logger.setStandardOutputFile(QProcess::nullDevice());
    logger.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    logger.start(loggerProgram(), args);
    if (!logger.waitForStarted(10000)) {
        std::fprintf(stderr, "stationbench: %s\n", qPrintable(logger.errorString()));
        return false;
    }
    sleepFor(warmup * 1000);
    const std::vector<double> before = sim.replies(monitors);
    const double cpuBefore = processCpuSeconds(logger.processId());
    const double simCpuBefore = processCpuSeconds(sim.proc.processId());
    QElapsedTimer wall;
    wall.start();
    double worstScrape = 0;
    if (outputs) {
        while (wall.elapsed() < seconds * 1000) {
            worstScrape = std::max(worstScrape, scrapeMs(http));
            QProcess walk;
            walk.start(QStringLiteral("snmpbulkwalk"),
                       {"-v2c", "-c", "public", "-On", QStringLiteral("udp:127.0.0.1:%1").arg(snmpd.port),
                        QLatin1String(".1.3.6.1.4.1.8072.9999.9999")});
            walk.waitForFinished(5000);
            sleepFor(1000);
        }
    } else {
        sleepFor(seconds * 1000);
    }
    const std::vector<double> after = sim.replies(monitors);
    const double cpu = processCpuSeconds(logger.processId()) - cpuBefore;
    const double simCpu = processCpuSeconds(sim.proc.processId()) - simCpuBefore;
    const double elapsed = double(wall.nsecsElapsed()) / 1e9;
    const double rss = peakRssMbOf(logger.processId());
    const bool alive = logger.state() == QProcess::Running;
    logger.terminate();
    logger.waitForFinished(10000);
    sim.proc.terminate();
    sim.proc.waitForFinished(5000);
    if (!alive || before.size() != std::size_t(monitors) || after.size() != std::size_t(monitors)) {
        std::fprintf(stderr, "stationbench: the run with %d monitors failed\n", monitors);
        return false;
    }
    double slowest = 1e9, total = 0;
    for (int i = 0; i < monitors; ++i) {
        const double rate = (after[std::size_t(i)] - before[std::size_t(i)]) / elapsed;
        slowest = std::min(slowest, rate);
        total += rate;
    }
    const QByteArray prefix = "monitors_" + QByteArray::number(monitors) + (outputs ? "_outputs_" : "_");
    if (outputs) bench::figure((prefix + "metrics_scrape_ms_max").constData(), worstScrape, 2);
    bench::figure((prefix + "line_limit_ratio_min").constData(), slowest / 96.0, 3);
    bench::figure((prefix + "packets_per_s_mean").constData(), total / monitors, 2);
    bench::figure((prefix + "cpu_per_wall_s").constData(), cpu / elapsed, 4);
    bench::figure((prefix + "rss_mb").constData(), rss, 1);
    bench::figure((prefix + "standin_cpu_per_wall_s").constData(), simCpu / elapsed, 4);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int seconds = 20, warmup = 3;
    QList<int> counts{1, 8, 64};
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == u"--seconds")
            seconds = qMax(1, args[i + 1].toInt());
        else if (args[i] == u"--warmup")
            warmup = qMax(1, args[i + 1].toInt());
        else if (args[i] == u"--monitors") {
            counts.clear();
            for (const QString& n : args[i + 1].split(u','))
                counts << qBound(1, n.toInt(), 256);
        }
    }
    bool ok = true;
    for (int n : counts)
        ok = run(n, seconds, warmup) && ok;
    // The largest again with the SNMP subagent and /metrics in use, where
    // snmpd is installed.
    if (!QStandardPaths::findExecutable(QStringLiteral("snmpd")).isEmpty() ||
        QFile::exists(QStringLiteral("/usr/sbin/snmpd")))
        ok = run(counts.last(), seconds, warmup, true) && ok;
    return ok ? 0 : 1;
}
