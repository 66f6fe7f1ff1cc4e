// The compliance record's figures, over 30 local days of one monitor's
// record (a minute row for every minute watched, a few outages, No Data
// spells, bursts past +125 % and -100 %, carrier alarms and audio losses):
//   compliance_ms_30d         the minute table as CSV (median of 5 runs)
//   compliance_cpu_ms_30d     its CPU time
//   compliance_rows_30d       the rows it wrote
//   compliance_report_ms_30d  the PDF report of the same period
#include "core/outputs/compliance/compliancetable.h"
#include "core/outputs/history/historystore.h"
#include "gui/history/compliancereport.h"

#include "benchsupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

constexpr qint64 MinuteMs = 60'000;
const QString Monitor = QStringLiteral("wzel");

zel::EventRecord event(qint64 t, const char* kind) {
    zel::EventRecord e;
    e.timeMs = t;
    e.monitor = Monitor;
    e.kind = QLatin1String(kind);
    return e;
}

// A month as a monitor that is watched around the clock leaves it.
bool generate(zel::HistoryStore& store, qint64 from, qint64 to) {
    QList<zel::MinuteRecord> minutes;
    QList<zel::EventRecord> events;
    for (qint64 t = from, i = 0; t < to; t += MinuteMs, ++i) {
        if (i % 4000 < 5) { // an outage of five minutes every few days
            if (i % 4000 == 0) events << event(t, zel::EventKind::Link);
            continue;
        }
        zel::MinuteRecord m;
        m.monitor = Monitor;
        m.minuteMs = t;
        m.packets = 5760 - int(i % 7);
        m.rejected = int(i % 7);
        const double pos = 92 + 14 * std::sin(double(i) / 97.0) + (i % 211 == 0 ? 34 : 0);
        m.posMax = std::round(pos / 2) * 2;
        m.negMax = std::round(pos * 0.46) * 2;
        m.carrierMin = 38 + double(i % 3);
        m.carrierMax = 41 + double(i % 2);
        m.carrierMean = 40;
        m.upS = 60;
        if (pos >= 124) {
            m.pos125Packets = 12;
            m.pos125Episodes = 1;
            zel::EventRecord e = event(t + 20'000, zel::EventKind::Pos125);
            std::tie(e.endMs, e.packets, e.extreme) = std::tuple(e.timeMs + 140, 12, 126.0);
            events << e;
        }
        m.neg100Packets = int(i % 53 == 0) * 14 + int(i % 17 == 0) * 3;
        minutes << m;
        if (i % 1500 == 700) { // No Data for 40 s
            zel::EventRecord on = event(t + 10'000, zel::EventKind::NoData);
            zel::EventRecord off = event(t + 50'000, zel::EventKind::NoData);
            on.on = true;
            off.on = false;
            events << on << off;
        }
        if (i % 2900 == 100 || i % 3100 == 300) { // a carrier dip, a silence
            const char* kind = i % 2900 == 100 ? zel::EventKind::CarrierAlarm : zel::EventKind::AudioLoss;
            zel::EventRecord on = event(t + 5'000, kind);
            zel::EventRecord off = event(t + 95'000, kind);
            on.on = true;
            off.on = false;
            events << on << off;
        }
    }
    return store.write(events, minutes) && store.sync(60'000);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

} // namespace

int main(int argc, char** argv) {
    bench::defaultToOffscreen();
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const QDate to = QDate::currentDate().addDays(-1);
    const QDate from = to.addDays(-29);
    zel::HistoryStore store;
    if (!store.open(dir.filePath(QStringLiteral("history.sqlite"))) ||
        !generate(store, zel::periodStartMs(from), zel::periodEndMs(to))) {
        std::fprintf(stderr, "cannot generate the record\n");
        return 1;
    }
    const zel::ComplianceTable table(store, Monitor, {});
    const QString csv = dir.filePath(QStringLiteral("compliance.csv"));
    std::vector<double> wall, cpu;
    for (int i = 0; i < 5; ++i) {
        QString error;
        const double cpu0 = bench::cpuSeconds();
        QElapsedTimer t;
        t.start();
        if (!table.exportCsv(from, to, csv, &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        wall.push_back(double(t.nsecsElapsed()) / 1e6);
        cpu.push_back((bench::cpuSeconds() - cpu0) * 1000);
    }
    QFile written(csv);
    qint64 rows = -1; // less the header
    if (written.open(QIODevice::ReadOnly))
        while (!written.readLine().isEmpty())
            ++rows;
    bench::figure("compliance_ms_30d", median(wall), 1);
    bench::figure("compliance_cpu_ms_30d", median(cpu), 1);
    bench::figure("compliance_rows_30d", double(rows), 0);

    QElapsedTimer t;
    t.start();
    QString error;
    if (!zel::writeComplianceReport(store,
                                    {from, to, Monitor, dir.filePath(QStringLiteral("compliance.pdf"))}, {},
                                    QStringLiteral("WZEL 1230 AM"), QString(), &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    bench::figure("compliance_report_ms_30d", double(t.nsecsElapsed()) / 1e6, 1);
    return 0;
}
