// The soak: the real main window and serial port against the stand-in with
// every fault it can inject, for a long time, the way an operator leaves the
// panel running. The run is a chain of segments; each starts a stand-in with
// noise, split, dropped and garbled replies and a silence, whose device
// vanishes half-way and comes back on a new path. Each "PORT ERROR" box is
// answered from a timer and the panel reconnected to the newest path. A
// segment ends either by the operator's Disconnect or by the stand-in going
// away under the panel; now and then the operator also disconnects and
// reconnects in the middle.
//
// It checks and prints:
//   - every decoded reading is one the stand-in sent as a valid packet, in
//     the order sent (compared with its --log);
//   - no hang: a watchdog thread aborts if the event loop stops for 10 s, and
//     the panel shows packets again within seconds of every (re)connect;
//   - resident memory is flat after warm-up (growth under 1 MB);
//   - the window stays responsive: the worst lateness of a 100 ms timer.
//
// Usage: zel-soak [--seconds S] [--segment S] (defaults 600 and 60).
#include "core/link/linkcontroller.h"
#include "core/session/eventloop.h"
#include "core/session/monitorsession.h"
#include "gui/frmzelmain.h"
#include "gui/frmzelmodem.h"

#include "benchsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <thread>

namespace {

constexpr double OneMb = 1.0;

// A shown packet. The soak's own records live in storage allocated and
// touched before the run, so they do not show as the panel's memory growth.
struct Shown {
    int segment;
    std::array<char, 9> data;
};

template <typename T> class Record {
public:
    void prepare(std::size_t capacity) { m_items.assign(capacity, T{}); }
    void add(const T& item) {
        if (m_size < m_items.size()) m_items[m_size] = item;
        ++m_size; // past the capacity only counted
    }
    std::size_t size() const { return m_size; }
    std::size_t kept() const { return std::min(m_size, m_items.size()); }
    const T& operator[](std::size_t i) const { return m_items[i]; }

private:
    std::vector<T> m_items;
    std::size_t m_size = 0;
};

class Soak : public QObject {
public:
    Soak(double seconds, double segmentSeconds)
        : m_seconds(seconds)
        , m_segmentSeconds(segmentSeconds) {}

    int run();

private:
    // Segments
    void startSegment();
    void endSegment();
    void connectTo(const QString& path);
    void disconnectPanel();
    bool panelConnected() const;
    // Timers
    void answerBoxes();
    void tick100();
    void sampleMemory();
    void checkLiveness();
    void log(const char* fmt, const QString& a = {}) const;
    // Results
    int verdict();

    double m_seconds;
    double m_segmentSeconds;
    std::unique_ptr<QTemporaryDir> m_settings;
    std::unique_ptr<FrmZelMain> m_w;
    std::unique_ptr<bench::SimProcess> m_sim;
    // Stand-ins told to end; they finish on their own, without blocking the
    // panel's event loop.
    std::vector<std::unique_ptr<bench::SimProcess>> m_retired;
    int m_segment = -1;
    std::map<int, QString> m_logs; // segment -> --log file
    std::int64_t m_start = 0;
    std::int64_t m_segmentStart = 0;
    bool m_finishing = false;

    Record<Shown> m_shown;
    std::int64_t m_lastPacketNs = 0;
    std::int64_t m_connectedNs = 0;
    bool m_wantConnected = false;
    QString m_pendingPath; // a new path to reconnect to once the box is answered

    // Counters
    int m_portErrors = 0;
    int m_otherBoxes = 0;
    int m_reconnects = 0;
    int m_connectFailures = 0;
    int m_stalls = 0;
    double m_worstStallS = 0;

    // Responsiveness
    std::int64_t m_lastTick = 0;
    double m_worstLateMs = 0;
    Record<double> m_lateness;
    std::atomic<std::int64_t> m_heartbeat{0};

    // Memory: (seconds since start, MB)
    std::vector<std::pair<double, double>> m_rss;
    double m_peakRssMb = 0;
    double m_worstConnectMs = 0; // the Connect click itself
};

void Soak::log(const char* fmt, const QString& a) const {
    const double t = double(bench::monotonicNs() - m_start) / 1e9;
    std::fprintf(stderr, "[%7.1f s] ", t);
    std::fprintf(stderr, fmt, qPrintable(a));
    std::fprintf(stderr, "\n");
}

bool Soak::panelConnected() const {
    return m_w->session()->link()->isOpen() && m_w->findChild<QTimer*>(QStringLiteral("tmrXmit"))->isActive();
}

void Soak::connectTo(const QString& path) {
    FrmZelModem* d = m_w->frmZelModem;
    d->optDirect->setChecked(true);
    if (d->cmbPort->isEditable())
        d->cmbPort->setEditText(path);
    else
        d->cmbPort->setCurrentText(path);
    if (m_w->cmdConnect->text() != QLatin1String("&Connect")) return;
    const std::int64_t t0 = bench::monotonicNs();
    m_w->cmdConnect->click();
    const double ms = double(bench::monotonicNs() - t0) / 1e6;
    m_worstConnectMs = std::max(m_worstConnectMs, ms);
    if (ms > 20) log("Connect took %s ms", QString::number(ms, 'f', 1));
    if (panelConnected()) {
        ++m_reconnects;
        m_connectedNs = bench::monotonicNs();
        m_wantConnected = true;
    } else {
        ++m_connectFailures;
        log("connect to %s failed", path);
    }
}

void Soak::disconnectPanel() {
    m_wantConnected = false;
    if (m_w->cmdConnect->text() == QLatin1String("&Disconnect")) m_w->cmdConnect->click();
}

void Soak::startSegment() {
    if (m_finishing) return;
    std::erase_if(m_retired, [](const auto& sim) { return sim->process().state() == QProcess::NotRunning; });
    ++m_segment;
    const double segS = std::min(m_segmentSeconds, m_seconds);
    // About 90 replies a second; the silence a quarter of the way in, the
    // port vanishes half-way.
    const int replies = std::max(200, int(segS * 90));
    const QString logPath = m_settings->filePath(QStringLiteral("sim-%1.log").arg(m_segment));
    m_logs[m_segment] = logPath;
    const QStringList args{QStringLiteral("--seed"),         QString::number(m_segment + 7),
                           QStringLiteral("--noise"),        QStringLiteral("0.05"),
                           QStringLiteral("--split"),        QStringLiteral("0.05"),
                           QStringLiteral("--drop"),         QStringLiteral("0.03"),
                           QStringLiteral("--garble"),       QStringLiteral("0.05"),
                           QStringLiteral("--silent-after"), QString::number(replies / 4),
                           QStringLiteral("--silent-for"),   QStringLiteral("3"),
                           QStringLiteral("--vanish-after"), QString::number(replies / 2),
                           QStringLiteral("--vanish-gap"),   QStringLiteral("700"),
                           QStringLiteral("--log"),          logPath};
    m_sim = std::make_unique<bench::SimProcess>(bench::simProgram());
    m_sim->onNewPath = [this](const QString& path) {
        log("the device came back as %s", path);
        // Reconnect once the PORT ERROR box of the vanished one is answered.
        m_pendingPath = path;
    };
    if (!m_sim->start(args)) {
        log("cannot start the stand-in: %s", m_sim->error());
        std::exit(2);
    }
    // Starting it waited for its first line: not the panel's lateness.
    m_lastTick = 0;
    m_segmentStart = bench::monotonicNs();
    log("segment %s", QString::number(m_segment) + QStringLiteral(" on ") + m_sim->devicePath());
    connectTo(m_sim->devicePath());

    // An operator's Disconnect and Connect in the middle of some segments.
    if (m_segment % 2 == 1) {
        QTimer::singleShot(int(segS * 1000 * 0.15), this, [this, seg = m_segment] {
            if (seg != m_segment || !panelConnected()) return;
            log("operator disconnects and connects again");
            disconnectPanel();
            QTimer::singleShot(500, this, [this, seg] {
                if (seg == m_segment && m_sim) connectTo(m_sim->devicePath());
            });
        });
    }
    QTimer::singleShot(int(segS * 1000), this, [this] { endSegment(); });
}

void Soak::endSegment() {
    if (m_segment % 2 == 0) {
        log("segment ends: operator disconnects");
        disconnectPanel();
    } else {
        // The stand-in goes away under an open port: PORT ERROR.
        log("segment ends: the stand-in goes away");
        m_wantConnected = false;
    }
    m_sim->onNewPath = nullptr;
    m_sim->process().terminate();
    m_retired.push_back(std::move(m_sim));
    m_pendingPath.clear();
    const bool more = double(bench::monotonicNs() - m_start) / 1e9 + 1 < m_seconds;
    if (!more) {
        m_finishing = true;
        // Let a last PORT ERROR box come and be answered.
        QTimer::singleShot(1500, this, [] { QCoreApplication::exit(0); });
        return;
    }
    QTimer::singleShot(800, this, [this] { startSegment(); });
}

void Soak::answerBoxes() {
    QWidget* modal = QApplication::activeModalWidget();
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        const QString title = box->windowTitle();
        if (title == QLatin1String("PORT ERROR")) {
            ++m_portErrors;
            log("PORT ERROR answered: %s", box->text().section(u'\n', 0, 0));
        } else {
            ++m_otherBoxes;
            log("unexpected message box answered: %s", title + QStringLiteral(": ") + box->text());
        }
        if (QAbstractButton* ok = box->button(QMessageBox::Ok))
            ok->click();
        else
            box->reject();
        m_wantConnected = false;
        return;
    }
    // The box is gone and the device is back: reconnect.
    if (!modal && !m_pendingPath.isEmpty() && !panelConnected() && m_sim &&
        m_w->cmdConnect->text() == QLatin1String("&Connect")) {
        const QString path = std::exchange(m_pendingPath, QString());
        log("reconnecting to %s", path);
        connectTo(path);
    }
}

void Soak::tick100() {
    const std::int64_t now = bench::monotonicNs();
    m_heartbeat = now;
    if (m_lastTick != 0) {
        const double late = std::max(0.0, double(now - m_lastTick) / 1e6 - 100.0);
        m_worstLateMs = std::max(m_worstLateMs, late);
        if (late > 25) log("the 100 ms timer ran %s ms late", QString::number(late, 'f', 1));
        m_lateness.add(late);
    }
    m_lastTick = now;
}

void Soak::sampleMemory() {
    m_rss.emplace_back(double(bench::monotonicNs() - m_start) / 1e9, bench::currentRssMb());
    if (m_rss.size() % 12 == 0) log("resident memory %s MB", QString::number(m_rss.back().second, 'f', 2));
}

void Soak::checkLiveness() {
    if (!m_wantConnected || !panelConnected()) return;
    const std::int64_t now = bench::monotonicNs();
    // The stand-in's silence lasts 3 s; six without a packet is a stall.
    const std::int64_t since = now - std::max(m_lastPacketNs, m_connectedNs);
    if (since > 6'000'000'000LL) {
        ++m_stalls;
        m_worstStallS = std::max(m_worstStallS, double(since) / 1e9);
        log("no packet for %s s while connected", QString::number(double(since) / 1e9, 'f', 1));
        m_connectedNs = now; // count the next stall afresh
    }
}

int Soak::run() {
    m_start = bench::monotonicNs();
    m_settings = bench::useTemporarySettings();
    m_shown.prepare(std::size_t(m_seconds * 120) + 1000);
    m_lateness.prepare(std::size_t(m_seconds * 12) + 100);
    m_rss.reserve(std::size_t(m_seconds / 5) + 100);
    m_w = std::make_unique<FrmZelMain>();
    m_w->show();
    connect(m_w.get(), &FrmZelMain::packetShown, this, [this] {
        m_lastPacketNs = bench::monotonicNs();
        Shown s{m_segment, {}};
        const auto& data = m_w->session()->link()->lastPacket();
        std::copy(data.begin(), data.end(), s.data.begin());
        m_shown.add(s);
    });

    auto every = [this](int ms, void (Soak::*slot)(), Qt::TimerType type = Qt::CoarseTimer) {
        auto* t = new QTimer(this);
        t->setTimerType(type);
        connect(t, &QTimer::timeout, this, slot);
        t->start(ms);
    };
    every(100, &Soak::tick100, Qt::PreciseTimer);
    every(50, &Soak::answerBoxes);
    every(5000, &Soak::sampleMemory);
    every(1000, &Soak::checkLiveness);

    // The watchdog: the event loop must come round at least every 10 s.
    m_heartbeat = bench::monotonicNs();
    std::atomic<bool> done{false};
    std::thread watchdog([&] {
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            if (bench::monotonicNs() - m_heartbeat > 10'000'000'000LL) {
                std::fprintf(stderr, "HANG: the event loop has not run for 10 s\n");
                std::abort();
            }
        }
    });

    QTimer::singleShot(0, this, [this] { startSegment(); });
    QCoreApplication::exec();
    m_peakRssMb = bench::peakRssMb(); // before the logs are read
    done = true;
    watchdog.join();
    if (m_sim) m_sim->stop();
    for (auto& sim : m_retired)
        sim->stop();
    sampleMemory();
    return verdict();
}

int Soak::verdict() {
    bool ok = true;
    const double wall = double(bench::monotonicNs() - m_start) / 1e9;

    // Every shown packet must be a valid reply of its segment's stand-in,
    // in the order sent.
    long foreign = 0;
    std::map<int, size_t> cursor;
    std::map<int, std::vector<bench::LoggedReply>> logs;
    long validSent = 0, faulty = 0;
    for (const auto& [seg, path] : m_logs) {
        logs[seg] = bench::readSimLog(path);
        for (const auto& r : logs[seg]) {
            if (r.data.isEmpty())
                ++faulty;
            else
                ++validSent;
        }
    }
    for (std::size_t i = 0; i < m_shown.kept(); ++i) {
        const Shown& s = m_shown[i];
        const QByteArray data(s.data.data(), 9);
        const auto& replies = logs[s.segment];
        size_t& k = cursor[s.segment];
        while (k < replies.size() && replies[k].data != data)
            ++k;
        if (k == replies.size()) {
            if (foreign < 10)
                std::fprintf(stderr, "reading %s in segment %d was never sent as a valid packet there\n",
                             data.constData(), s.segment);
            ++foreign;
            k = 0;
            continue;
        }
        ++k;
    }
    bench::figure("soak_seconds", wall, 0);
    bench::figure("soak_segments", double(m_segment + 1), 0);
    bench::figure("soak_replies_valid", double(validSent), 0);
    bench::figure("soak_replies_faulty", double(faulty), 0);
    bench::figure("soak_packets_shown", double(m_shown.size()), 0);
    bench::figure("soak_readings_not_sent", double(foreign), 0);
    ok = ok && foreign == 0 && m_shown.size() > 0;

    bench::figure("soak_port_errors_answered", double(m_portErrors), 0);
    bench::figure("soak_other_boxes", double(m_otherBoxes), 0);
    bench::figure("soak_connects", double(m_reconnects), 0);
    bench::figure("soak_connect_failures", double(m_connectFailures), 0);
    bench::figure("soak_stalls", double(m_stalls), 0);
    ok = ok && m_otherBoxes == 0 && m_connectFailures == 0 && m_stalls == 0;

    // Memory after warm-up: the first fifth of the run (at least 20 s).
    const double warm = std::max(20.0, wall / 5);
    std::vector<double> after;
    for (const auto& [t, mb] : m_rss)
        if (t >= warm) after.push_back(mb);
    double growth = 0, spread = 0;
    if (after.size() >= 2) {
        growth = after.back() - after.front();
        const auto [lo, hi] = std::minmax_element(after.begin(), after.end());
        spread = *hi - *lo;
    }
    bench::figure("soak_rss_after_warmup_mb", after.empty() ? -1 : after.front(), 1);
    bench::figure("soak_rss_end_mb", after.empty() ? -1 : after.back(), 1);
    bench::figure("soak_rss_growth_mb", growth, 2);
    bench::figure("soak_rss_spread_mb", spread, 2);
    bench::figure("soak_peak_rss_mb", m_peakRssMb, 1);
    ok = ok && growth < OneMb;

    std::vector<double> late;
    for (std::size_t i = 0; i < m_lateness.kept(); ++i)
        late.push_back(m_lateness[i]);
    bench::figure("soak_timer_ticks", double(late.size()), 0);
    bench::figure("soak_timer_late_p99_ms", bench::percentile(late, 99), 1);
    bench::figure("soak_timer_late_worst_ms", m_worstLateMs, 1);
    bench::figure("soak_connect_click_worst_ms", m_worstConnectMs, 1);

    bench::figure("soak_result", ok ? QStringLiteral("PASS") : QStringLiteral("FAIL"));
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    bench::defaultToOffscreen();
    zel::preferLeanEventLoop();
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    double seconds = 600, segment = 60;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--seconds"))
            seconds = args[i + 1].toDouble();
        else if (args[i] == QLatin1String("--segment"))
            segment = args[i + 1].toDouble();
    }
    if (seconds <= 0 || segment <= 0) {
        std::fprintf(stderr, "usage: zel-soak [--seconds S] [--segment S]\n");
        return 2;
    }
    Soak soak(seconds, segment);
    return soak.run();
}
