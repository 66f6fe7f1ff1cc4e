// Poll throughput, CPU, memory and latency against the stand-in monitor on a
// pseudo-terminal paced at 9600 baud. One side per process, so the figures of
// the program's poll and of the baseline never mix:
//
//   --mode program   the real main window and serial port, polling the way
//                    the program does (Connect clicked, packetShown counted);
//   --mode baseline  the same window and port class driven the old way: a
//                    loop that pumps events, writes "x" on every pass and
//                    reads everything once ten characters wait, keeping the
//                    last nine when the read begins with "x".
//
// Options: --seconds S (measured time, default 20), --warmup S (1),
// --min-packets N (run on until N packets are measured), --delay MS (the
// stand-in's reply delay), --suffix TEXT (appended to every figure name),
// --latency (program mode: stamp each shown packet and match it with the
// stand-in's --log stamp of the reply's last character), --hidden (the
// window is never shown, so nothing is painted).
#include "core/link/linkcontroller.h"
#include "core/monitor/monitormodel.h"
#include "core/protocol/packetdecoder.h"
#include "core/session/eventloop.h"
#include "core/session/monitorsession.h"
#include "core/transport/transport.h"
#include "core/transport/transportfactory.h"
#include "gui/frmzelmain.h"

#include "benchsupport.h"

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QLabel>
#include <QRadioButton>
#include <QTimer>
#include <cstdio>
#include <optional>

namespace {

constexpr double LineLimit = 9600.0 / 10.0 / 10.0; // 10-character replies, 8N1: 96 a second

struct Options {
    QString mode = QStringLiteral("program");
    double seconds = 20;
    double warmup = 1;
    long minPackets = 0;
    int delayMs = 0;
    QString suffix;
    bool latency = false;
    bool hidden = false;
};

Options parse(const QStringList& args) {
    Options o;
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        const QString next = i + 1 < args.size() ? args[i + 1] : QString();
        if (a == QLatin1String("--mode"))
            o.mode = next, ++i;
        else if (a == QLatin1String("--seconds"))
            o.seconds = next.toDouble(), ++i;
        else if (a == QLatin1String("--warmup"))
            o.warmup = next.toDouble(), ++i;
        else if (a == QLatin1String("--min-packets"))
            o.minPackets = next.toLong(), ++i;
        else if (a == QLatin1String("--delay"))
            o.delayMs = next.toInt(), ++i;
        else if (a == QLatin1String("--suffix"))
            o.suffix = next, ++i;
        else if (a == QLatin1String("--latency"))
            o.latency = true;
        else if (a == QLatin1String("--hidden"))
            o.hidden = true;
        else {
            std::fprintf(stderr, "unknown option %s\n", qPrintable(a));
            std::exit(2);
        }
    }
    return o;
}

struct Window {
    std::int64_t startNs = 0;
    double startCpu = 0;
    long startSleeps = 0;
    long startPreempted = 0;
    long startPackets = 0;
    long startReadyReads = 0;
};

struct Shown {
    std::int64_t ns;
    std::array<char, 9> data;
};

// Fails the run if a modal box (a PORT ERROR) is up: nothing would answer it.
void watchForMessageBoxes() {
    auto* t = new QTimer(qApp);
    QObject::connect(t, &QTimer::timeout, [] {
        if (QWidget* box = QApplication::activeModalWidget()) {
            std::fprintf(stderr, "unexpected message box: %s\n", qPrintable(box->windowTitle()));
            std::exit(3);
        }
    });
    t->start(1000);
}

} // namespace

int main(int argc, char** argv) {
    bench::defaultToOffscreen();
    const auto settings = bench::useTemporarySettings();
    zel::preferLeanEventLoop();
    QApplication app(argc, argv);
    const Options o = parse(app.arguments());
    const bool baseline = o.mode == QLatin1String("baseline");
    const QString prefix = baseline ? QStringLiteral("baseline_") : QString();
    auto name = [&](const char* n) { return (prefix + QLatin1String(n) + o.suffix).toLatin1(); };

    const QString logPath = settings->filePath(QStringLiteral("sim.log"));
    bench::SimProcess sim(bench::simProgram());
    // The stand-in plays an instrument with a line of its own: real-time
    // priority keeps its pace off this machine's scheduler.
    QStringList simArgs{QStringLiteral("--realtime"), QStringLiteral("--log"), logPath};
    if (o.delayMs > 0) simArgs << QStringLiteral("--delay") << QString::number(o.delayMs);
    if (!sim.start(simArgs)) {
        std::fprintf(stderr, "%s\n", qPrintable(sim.error()));
        return 2;
    }

    FrmZelMain w;
    if (!o.hidden) w.show();
    watchForMessageBoxes();
    zel::LinkController* link = w.session()->link();

    long packets = 0;
    long readyReads = 0; // wake-ups of the panel by arriving data
    std::vector<Shown> shown;
    if (o.latency) shown.reserve(size_t(std::max<long>(o.minPackets, 0) + 100000));
    QObject::connect(&w, &FrmZelMain::packetShown, [&] {
        ++packets;
        if (o.latency) shown.push_back({bench::monotonicNs(), link->lastPacket()});
    });

    Window win;
    double wallS = 0, cpuS = 0;
    long measured = 0, wakeups = 0, sleeps = 0, preempted = 0;
    auto begin = [&] {
        win = {bench::monotonicNs(),
               bench::cpuSeconds(),
               bench::voluntarySwitches(),
               bench::involuntarySwitches(),
               packets,
               readyReads};
    };
    auto end = [&] {
        wallS = double(bench::monotonicNs() - win.startNs) / 1e9;
        cpuS = bench::cpuSeconds() - win.startCpu;
        sleeps = bench::voluntarySwitches() - win.startSleeps;
        preempted = bench::involuntarySwitches() - win.startPreempted;
        measured = packets - win.startPackets;
        wakeups = readyReads - win.startReadyReads;
    };

    if (baseline) {
        QString error;
        std::unique_ptr<zel::Transport> real = zel::makeTransport(sim.devicePath(), &error);
        if (!real || !real->openLink()) {
            std::fprintf(stderr, "cannot open %s: %s\n", qPrintable(sim.devicePath()),
                         qPrintable(real ? real->errorString() : error));
            return 2;
        }
        QElapsedTimer clock;
        clock.start();
        bool started = false;
        const qint64 warmupMs = qint64(o.warmup * 1000);
        const qint64 endMs = warmupMs + qint64(o.seconds * 1000);
        zel::MonitorModel* model = w.session()->model();
        model->setLinkOpen(true);
        while (real->isOpen()) {
            QCoreApplication::processEvents();
            real->write("x", 1);
            if (real->bytesAvailable() >= 10) {
                ++readyReads;
                const QByteArray read = real->readAll();
                w.lblRcvdat->setText(QString::fromLatin1(read));
                if (read.startsWith('x')) {
                    const QByteArray data = read.right(9);
                    model->showReadings(
                        zel::decodePacket(std::string_view(data.constData(), size_t(data.size()))));
                    ++packets;
                }
            }
            const qint64 now = clock.elapsed();
            if (!started && now >= warmupMs) {
                begin();
                started = true;
            }
            if (now >= endMs && packets - win.startPackets >= o.minPackets) break;
        }
        end();
        real->close();
    } else {
        zel::ConnectionSettings c;
        c.directPort = sim.devicePath();
        w.session()->setConnectionSettings(c);
        w.session()->connectLink();
        if (!link->isOpen()) {
            std::fprintf(stderr, "the window did not open %s\n", qPrintable(sim.devicePath()));
            return 2;
        }
        QObject::connect(link->transport(), &QIODevice::readyRead, [&] { ++readyReads; });
        QTimer::singleShot(int(o.warmup * 1000), [&] {
            begin();
            auto* finish = new QTimer(&app);
            finish->setSingleShot(true);
            finish->setTimerType(Qt::PreciseTimer);
            QObject::connect(finish, &QTimer::timeout, [&, finish] {
                if (packets - win.startPackets < o.minPackets) {
                    finish->start(200);
                    return;
                }
                end();
                QCoreApplication::exit(0);
            });
            finish->start(int(o.seconds * 1000));
        });
        app.exec();
        w.session()->disconnectLink();
    }
    sim.stop();

    const double rate = wallS > 0 ? double(measured) / wallS : 0;
    bench::figure(name("packets"), double(measured), 0);
    bench::figure(name("packets_per_s"), rate);
    bench::figure(name("line_limit_ratio"), rate / LineLimit, 3);
    bench::figure(name("cpu_per_wall_s"), wallS > 0 ? cpuS / wallS : 0, 4);
    bench::figure(name("peak_rss_mb"), bench::peakRssMb(), 1);
    if (!baseline) bench::figure(name("ready_reads_per_s"), wallS > 0 ? double(wakeups) / wallS : 0, 1);
    // Sleeps per packet: what a packet costs in wake-ups, steadier than CPU
    // time on a shared machine; preemptions show contention during the run.
    bench::figure(name("sleeps_per_packet"), measured > 0 ? double(sleeps) / double(measured) : 0, 2);
    bench::figure(name("preempted_per_s"), wallS > 0 ? double(preempted) / wallS : 0, 1);

    if (o.latency) {
        const std::vector<bench::LoggedReply> log = bench::readSimLog(logPath);
        std::vector<double> ms;
        ms.reserve(shown.size());
        // Each shown packet is the newest reply with its data written before
        // it was shown. The stand-in stamps after its write returns, so a
        // stamp may trail the panel by a hair when the stand-in is descheduled
        // in between: those count as no delay.
        constexpr std::int64_t SlackNs = 2'000'000;
        size_t j = 0;
        long unmatched = 0, early = 0;
        for (const Shown& s : shown) {
            const QByteArray data(s.data.data(), 9);
            std::optional<size_t> best;
            for (size_t k = j; k < log.size() && log[k].ns <= s.ns + SlackNs; ++k)
                if (log[k].data == data) best = k;
            if (!best) {
                ++unmatched;
                continue;
            }
            const double d = double(s.ns - log[*best].ns) / 1e6;
            early += d < 0;
            ms.push_back(std::max(d, 0.0));
            j = *best + 1;
        }
        const size_t samples = ms.size();
        bench::figure(name("latency_samples"), double(samples), 0);
        bench::figure(name("latency_unmatched"), double(unmatched), 0);
        bench::figure(name("latency_stamp_after_shown"), double(early), 0);
        bench::figure(name("latency_p50_ms"), bench::percentile(ms, 50), 3);
        bench::figure(name("latency_p99_ms"), bench::percentile(ms, 99), 3);
        bench::figure(name("latency_max_ms"), ms.empty() ? 0 : ms.back(), 3);
    }
    return 0;
}
