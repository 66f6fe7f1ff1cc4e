// The history's figures, side by side in one run:
//   history_cpu_overhead   CPU per wall second of a loop feeding 96 readings a
//                          second into a Recorder, minus the same loop
//                          without one (median of rounds)
//   history_query_ms_30d   loading the chart's series for 30 days
//   history_chart_ms_30d   loading and drawing both charts offscreen
//   history_export_ms_30d  30 days of minutes to CSV
//   history_mb_30d         the file holding 30 days of minutes (43,200 rows)
//                          and 10,000 events
//   verify_ms_30d          checking that month's hash chain (10,000 events,
//                          500 notes, 30 sign-offs) on a connection of its own
// The recording loop reports a +125 % episode for each burst, open then
// ended, so its events are chained as they are in use.
// Options: --seconds S (each side of a round, default 10), --rounds N (3).
#include "core/outputs/history/chain.h"
#include "core/outputs/history/csvexport.h"
#include "core/outputs/history/historystore.h"
#include "core/outputs/history/recorder.h"
#include "gui/history/trendchart.h"

#include "benchsupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

namespace {

constexpr double PacketsPerSecond = 96.0;
constexpr qint64 MinuteMs = 60'000;

// CPU per wall second of a loop that hands 96 readings a second to
// `recorder` (or to nothing), woken every 10 ms like a poll.
double loopCpuPerWall(zel::Recorder* recorder, double seconds) {
    QEventLoop loop;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(10);
    QElapsedTimer wall;
    long long fed = 0;
    qint64 burstStart = 0;
    volatile float sink = 0;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const auto due = static_cast<long long>(double(wall.nsecsElapsed()) * 1e-9 * PacketsPerSecond);
        for (; fed < due; ++fed) {
            // Speech-like peaks with a burst past +125 % every few seconds.
            const float pos = (fed % 400) < 20 ? 53.0f : 30.0f + float(fed % 17);
            const zel::Readings r{pos, pos * 0.9f, 40.0f};
            if (recorder) {
                recorder->onReadings(r);
                if (fed % 400 == 0 || fed % 400 == 19) {
                    const qint64 now = QDateTime::currentMSecsSinceEpoch();
                    zel::Episode e;
                    e.kind = zel::AlarmKind::Pos125;
                    e.open = fed % 400 == 0;
                    e.lastMs = now;
                    e.packets = e.open ? 1 : 20;
                    e.extreme = 53;
                    if (e.open) burstStart = now;
                    e.startMs = burstStart;
                    recorder->onEpisode(e);
                }
            } else {
                sink = sink + r.posPeak;
            }
        }
    });
    QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
    const double cpu0 = bench::cpuSeconds();
    wall.start();
    tick.start();
    loop.exec();
    const double w = double(wall.nsecsElapsed()) * 1e-9;
    return (bench::cpuSeconds() - cpu0) / w;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Wall time of f() in ms; its CPU time goes to *cpuMs. On a shared host the
// two part ways: the CPU time is what the work costs, the wall time what a
// user waited.
template <typename F> double timedMs(F&& f, double* cpuMs = nullptr) {
    QElapsedTimer t;
    const double cpu0 = bench::cpuSeconds();
    t.start();
    f();
    if (cpuMs) *cpuMs = (bench::cpuSeconds() - cpu0) * 1000;
    return double(t.nsecsElapsed()) / 1e6;
}

// 30 days of minutes for one monitor and 10,000 events spread over them.
bool generateMonth(zel::HistoryStore& store, qint64 from) {
    QList<zel::MinuteRecord> minutes;
    minutes.reserve(43'200);
    for (int i = 0; i < 43'200; ++i) {
        zel::MinuteRecord m;
        m.monitor = QStringLiteral("COM 2");
        m.minuteMs = from + i * MinuteMs;
        m.packets = 5760 - (i % 7);
        m.rejected = i % 7;
        const double pos = 90 + 12 * std::sin(i / 97.0) + ((i % 211) == 0 ? 30 : 0);
        m.posMax = std::round(pos);
        m.negMax = std::round(pos * 0.92);
        m.carrierMin = 38 + (i % 3);
        m.carrierMax = 41 + (i % 2);
        m.carrierMean = 40;
        m.pos125Packets = pos >= 124 ? 30 : 0;
        m.pos125Episodes = pos >= 124 ? 1 : 0;
        m.linkDownS = (i % 5000) < 3 ? 60 : 0;
        minutes << m;
    }
    static const char* const kinds[] = {zel::EventKind::Pos125,      zel::EventKind::Neg100,
                                        zel::EventKind::PosVariable, zel::EventKind::CarrierAlarm,
                                        zel::EventKind::AudioLoss,   zel::EventKind::Link};
    QList<zel::EventRecord> events;
    events.reserve(10'000);
    for (int i = 0; i < 10'000; ++i) {
        zel::EventRecord e;
        e.timeMs = from + qint64(i) * (43'200 * MinuteMs / 10'000);
        e.monitor = QStringLiteral("COM 2");
        e.kind = QLatin1String(kinds[i % 6]);
        if (i % 6 < 3) {
            e.endMs = e.timeMs + 400;
            e.packets = 38;
            e.extreme = 128;
        } else if (i % 6 < 5) {
            e.on = i % 2 == 0;
        } else {
            e.detail = QStringLiteral("reconnecting: Read error");
        }
        e.posPercent = 96;
        e.negPercent = 90;
        e.carrier = 40;
        events << e;
    }
    if (!store.write(events, minutes) || !store.sync(60'000)) return false;
    // Operators' notes on every 20th event and a sign-off a day.
    for (int i = 0; i < 500; ++i) {
        if (!store.addNote(1 + i * 20, QStringLiteral("A. Operator"),
                           QStringLiteral("Processor gain checked and lowered by 1 dB after this episode.")))
            return false;
    }
    for (int d = 0; d < 30; ++d) {
        if (!store.signOff(from + d * 1440 * MinuteMs, from + (d + 1) * 1440 * MinuteMs,
                           QStringLiteral("C. Engineer"), QStringLiteral("Reviewed")))
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    bench::defaultToOffscreen();
    QApplication app(argc, argv);
    double seconds = 10;
    int rounds = 3;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString next = i + 1 < args.size() ? args[i + 1] : QString();
        if (args[i] == QLatin1String("--seconds"))
            seconds = next.toDouble(), ++i;
        else if (args[i] == QLatin1String("--rounds"))
            rounds = std::max(1, next.toInt()), ++i;
        else {
            std::fprintf(stderr, "usage: zel-historybench [--seconds S] [--rounds N]\n");
            return 2;
        }
    }
    QTemporaryDir dir;

    // 1: what recording adds to the poll's loop.
    {
        zel::HistoryStore store;
        if (!store.open(dir.filePath(QStringLiteral("cpu.sqlite")))) return 1;
        zel::Recorder recorder(&store, QStringLiteral("COM 2"));
        recorder.onLinkEvent({zel::LinkState::Connected, QDateTime::currentMSecsSinceEpoch(), {}});
        std::vector<double> without, with, diff;
        for (int r = 0; r < rounds; ++r) {
            without.push_back(loopCpuPerWall(nullptr, seconds));
            with.push_back(loopCpuPerWall(&recorder, seconds));
            diff.push_back(with.back() - without.back());
        }
        bench::figure("history_cpu_per_wall_s_without", median(without), 5);
        bench::figure("history_cpu_per_wall_s_with", median(with), 5);
        bench::figure("history_cpu_overhead", median(diff), 5);
    }

    // 2: a month of record.
    const QString path = dir.filePath(QStringLiteral("month.sqlite"));
    const qint64 to = QDateTime::currentMSecsSinceEpoch() / MinuteMs * MinuteMs;
    const qint64 from = to - 43'200 * MinuteMs;
    {
        zel::HistoryStore store;
        if (!store.open(path) || !generateMonth(store, from)) {
            std::fprintf(stderr, "cannot generate the month\n");
            return 1;
        }
    }
    zel::HistoryStore store;
    if (!store.open(path)) return 1;
    std::vector<double> query, chart, queryCpu, chartCpu;
    double cpu = 0;
    std::unique_ptr<QChartView> peaks(zel::makeTrendView(QStringLiteral("historyChart")));
    std::unique_ptr<QChartView> carrier(zel::makeTrendView(QStringLiteral("carrierChart")));
    peaks->resize(860, 420);
    carrier->resize(860, 280);
    QImage image(860, 700, QImage::Format_ARGB32_Premultiplied);
    for (int i = 0; i < 5; ++i) {
        zel::ChartSeries s;
        query.push_back(timedMs([&] { s = store.chartSeries(from, to); }, &cpu));
        queryCpu.push_back(cpu);
        chart.push_back(timedMs(
            [&] {
                const zel::ChartSeries series = store.chartSeries(from, to);
                zel::fillPeakChart(peaks->chart(), series, from, to);
                zel::fillCarrierChart(carrier->chart(), series, from, to);
                image.fill(Qt::white);
                QPainter p(&image);
                static_cast<QWidget*>(peaks.get())->render(&p, QPoint(0, 0));
                static_cast<QWidget*>(carrier.get())->render(&p, QPoint(0, 420));
            },
            &cpu));
        chartCpu.push_back(cpu);
    }
    bench::figure("history_query_ms_30d", median(query), 1);
    bench::figure("history_chart_ms_30d", median(chart), 1);
    bench::figure("history_query_cpu_ms_30d", median(queryCpu), 1);
    bench::figure("history_chart_cpu_ms_30d", median(chartCpu), 1);
    QString error;
    const QString csv = dir.filePath(QStringLiteral("minutes.csv"));
    bool exported = false;
    const double exportMs = timedMs(
        [&] { exported = zel::exportCsv(store, zel::CsvTable::Minutes, csv, from, to, {}, &error); }, &cpu);
    if (!exported) std::fprintf(stderr, "export failed: %s\n", qPrintable(error));
    bench::figure("history_export_ms_30d", exportMs, 1);
    bench::figure("history_export_cpu_ms_30d", cpu, 1);
    store.close(); // folds the log into the file
    double bytes = double(QFileInfo(path).size());
    for (const char* side : {"-wal", "-shm"})
        bytes += double(QFileInfo(path + QLatin1String(side)).size());
    bench::figure("history_mb_30d", bytes / 1e6, 2);

    // 3: the hash chain of that month, as zel-logger --verify reads it.
    zel::ChainVerdict verdict;
    const double verifyMs = timedMs(
        [&] {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("verify"));
            db.setDatabaseName(path);
            db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
            if (db.open() && db.transaction()) verdict = zel::verifyChain(db);
            db.rollback();
            db.close();
        },
        &cpu);
    QSqlDatabase::removeDatabase(QStringLiteral("verify"));
    if (!verdict.intact || verdict.rows != 10'530)
        std::fprintf(stderr, "verify: %s %lld rows: %s\n", verdict.intact ? "intact" : "broken",
                     static_cast<long long>(verdict.rows), qPrintable(verdict.problem));
    bench::figure("verify_ms_30d", verifyMs, 1);
    bench::figure("verify_cpu_ms_30d", cpu, 1);
    return 0;
}
