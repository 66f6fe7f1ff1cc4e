#include "core/outputs/compliance/compliancetable.h"
#include "core/outputs/central/centralreader.h"
#include "core/outputs/history/csvexport.h"
#include "core/outputs/history/historystore.h"

#include <QDateTime>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>
#include <cmath>
#include <cstdio>
#include <limits>

namespace zel {

namespace {

constexpr qint64 MinuteMs = 60'000;
// Valid readings a second at the line's rate (9600 baud, ten characters each).
constexpr int LineRate = 96;

const char* const Header = "minute,monitor,pos_peak_max_pct,neg_peak_max_pct,packets,neg100_packets,"
                           "pos125_packets,carrier_min_pct,carrier_max_pct,valid_s,class\r\n";

void setError(QString* error, const QString& text) {
    if (error) *error = text;
}

// Whole numbers (most readings are) without a decimal point.
void appendNumber(QByteArray& out, const std::optional<double>& v) {
    if (!v) return;
    if (*v == std::floor(*v) && std::abs(*v) < 1e15)
        out += QByteArray::number(qint64(*v));
    else
        out += QByteArray::number(*v, 'g', 10);
}

std::optional<double> percentOfBar(const std::optional<double>& position) {
    return position ? std::optional<double>(barToPercent(*position)) : std::nullopt;
}

QStringList distinctMonitors(const HistoryStore& store, qint64 fromMs, qint64 toMs) {
    QSqlQuery q(QSqlDatabase::database(store.connectionName(), false));
    q.prepare(QStringLiteral("SELECT DISTINCT monitor FROM minutes WHERE minute_ms >= ? AND minute_ms < ?"
                             " UNION SELECT DISTINCT monitor FROM events WHERE time_ms >= ? AND time_ms < ?"
                             " ORDER BY 1"));
    for (qint64 v : {fromMs, toMs, fromMs, toMs})
        q.addBindValue(v);
    QStringList out;
    if (q.exec())
        while (q.next())
            out << q.value(0).toString();
    return out;
}

QString listOf(const QStringList& monitors) {
    QStringList quoted;
    for (const QString& m : monitors)
        quoted << QLatin1Char('"') + m + QLatin1Char('"');
    return quoted.join(QStringLiteral(", "));
}

} // namespace

const char* minuteClassName(MinuteClass c) {
    switch (c) {
    case MinuteClass::Ok:
        return "ok";
    case MinuteClass::Over:
        return "over";
    case MinuteClass::Low:
        return "low";
    case MinuteClass::Unmonitored:
        break;
    }
    return "unmonitored";
}

ComplianceMinute classifyMinute(qint64 minuteMs, const MinuteRecord* row, int noDataS,
                                const ComplianceSettings& settings) {
    ComplianceMinute m;
    m.minuteMs = minuteMs;
    if (row) {
        m.packets = row->packets;
        m.posMax = row->posMax;
        m.negMax = row->negMax;
        m.carrierMin = percentOfBar(row->carrierMin);
        m.carrierMax = percentOfBar(row->carrierMax);
        m.pos125Packets = row->pos125Packets;
        m.neg100Packets = row->neg100Packets;
        const int up =
            row->upS ? *row->upS : std::min(60 - row->linkDownS, (row->packets + LineRate / 2) / LineRate);
        m.validS = row->packets > 0 ? std::clamp(up - noDataS, 0, 60) : 0;
    }
    if (m.pos125Packets > 0 || m.neg100Packets >= settings.negRecurrence)
        m.cls = MinuteClass::Over;
    else if (!m.monitored())
        m.cls = MinuteClass::Unmonitored;
    else if (m.posMax.value_or(0) < settings.lowPercent)
        m.cls = MinuteClass::Low;
    else
        m.cls = MinuteClass::Ok;
    return m;
}

QList<AlarmInterval> alarmIntervals(const HistoryStore& store, const QString& monitor, const QString& kind,
                                    qint64 fromMs, qint64 toMs, qint64 nowMs) {
    const QString link = QLatin1String(EventKind::Link);
    QList<AlarmInterval> out;
    std::optional<qint64> onSince;
    // On at the start: its last event before is an on, with no link event
    // since.
    const QList<EventRecord> before = store.events(0, fromMs, {kind, link}, monitor, 1);
    bool onBefore = !before.isEmpty() && before.first().kind == kind && before.first().on.value_or(false);
    if (onBefore) onSince = fromMs;
    const qint64 end = std::max(fromMs, std::min(toMs, nowMs));
    const auto close = [&](qint64 at, bool stillOn) {
        out.append({kind, *onSince, std::max(*onSince, std::min(at, end)), onBefore, stillOn});
        onSince.reset();
        onBefore = false;
    };
    const QList<EventRecord> events = store.events(fromMs, toMs, {kind, link}, monitor);
    for (auto it = events.crbegin(); it != events.crend(); ++it) {
        const EventRecord& e = *it;
        if (e.kind == link || !e.on.value_or(false)) {
            if (onSince) close(e.timeMs, false);
        } else if (!onSince) {
            onSince = e.timeMs;
        }
    }
    if (onSince) close(end, true);
    return out;
}

qint64 periodStartMs(QDate from) {
    const qint64 t = from.startOfDay().toMSecsSinceEpoch();
    return t - ((t % MinuteMs) + MinuteMs) % MinuteMs;
}

qint64 periodEndMs(QDate to) {
    return periodStartMs(to.addDays(1));
}

bool parseCompliancePeriod(const QString& from, const QString& to, QDate* fromDay, QDate* toDay,
                           QString* error) {
    for (const auto& [text, day] : {std::pair{from, fromDay}, {to, toDay}}) {
        *day = QDate::fromString(text.trimmed(), Qt::ISODate);
        if (text.trimmed().size() != 10 || !day->isValid()) {
            setError(error,
                     QStringLiteral("the period is FROM TO, each a day as YYYY-MM-DD, not \"%1\"").arg(text));
            return false;
        }
    }
    if (*toDay < *fromDay) {
        setError(error, QStringLiteral("the period ends (%1) before it begins (%2)").arg(to, from));
        return false;
    }
    return true;
}

bool openComplianceHistory(HistoryStore* store, const QString& path, const QString& site, QString* error) {
    setError(error, QString());
    if (isCentralUrl(path)) return openCentralHistory(*store, path, site, nullptr, error);
    if (!site.isEmpty()) {
        setError(error, QStringLiteral("--site goes with a postgresql:// --history"));
        return false;
    }
    if (!path.contains(QLatin1String("://")) && !QFileInfo(path).isFile()) {
        setError(error, QStringLiteral("there is no history file %1").arg(path));
        return false;
    }
    return store->open(path);
}

bool chooseComplianceMonitor(const HistoryStore& store, const QString& wanted, qint64 fromMs, qint64 toMs,
                             QString* monitor, QString* error) {
    const QStringList all = store.monitors();
    if (!wanted.isEmpty()) {
        if (all.contains(wanted)) {
            *monitor = wanted;
            return true;
        }
        setError(error, all.isEmpty()
                            ? QStringLiteral("%1 holds no record of monitor \"%2\", nor of any other")
                                  .arg(store.path(), wanted)
                            : QStringLiteral("%1 holds no record of monitor \"%2\"; it holds %3")
                                  .arg(store.path(), wanted, listOf(all)));
        return false;
    }
    QStringList candidates = distinctMonitors(store, fromMs, toMs);
    if (candidates.isEmpty()) candidates = all;
    if (candidates.size() == 1) {
        *monitor = candidates.first();
        return true;
    }
    setError(error,
             candidates.isEmpty()
                 ? QStringLiteral("%1 holds no record of any monitor").arg(store.path())
                 : QStringLiteral("%1 holds the record of several monitors (%2): name one with --monitor")
                       .arg(store.path(), listOf(candidates)));
    return false;
}

ComplianceTable::ComplianceTable(const HistoryStore& store, const QString& monitor,
                                 const ComplianceSettings& settings)
    : m_store(store)
    , m_monitor(monitor)
    , m_settings(settings) {}

bool ComplianceTable::forEachMinute(QDate from, QDate to,
                                    const std::function<void(const ComplianceMinute&)>& row,
                                    QString* error) const {
    if (!m_store.isOpen()) {
        setError(error, QObject::tr("the history file %1 is not open").arg(m_store.path()));
        return false;
    }
    const qint64 start = periodStartMs(from);
    const qint64 end = periodEndMs(to);
    const QList<AlarmInterval> noData = alarmIntervals(m_store, m_monitor, QLatin1String(EventKind::NoData),
                                                       start, end, std::numeric_limits<qint64>::max());
    qsizetype n = 0;
    // A day at a time, so that a long period never holds all its rows.
    for (QDate day = from; day <= to; day = day.addDays(1)) {
        const qint64 dayEnd = periodEndMs(day);
        const QList<MinuteRecord> rows = m_store.minutes(periodStartMs(day), dayEnd, m_monitor);
        qsizetype r = 0;
        for (qint64 t = periodStartMs(day); t < dayEnd; t += MinuteMs) {
            // A minute's row; parts of it, should the record hold several.
            std::optional<MinuteRecord> record;
            for (; r < rows.size() && rows[r].minuteMs < t + MinuteMs; ++r) {
                if (rows[r].minuteMs < t) continue;
                if (record)
                    mergeMinute(*record, rows[r]);
                else
                    record = rows[r];
            }
            while (n < noData.size() && noData[n].offMs <= t)
                ++n;
            qint64 noDataMs = 0;
            for (qsizetype k = n; k < noData.size() && noData[k].onMs < t + MinuteMs; ++k)
                noDataMs += std::min(noData[k].offMs, t + MinuteMs) - std::max(noData[k].onMs, t);
            row(classifyMinute(t, record ? &*record : nullptr, int((noDataMs + 500) / 1000), m_settings));
        }
    }
    return true;
}

qint64 ComplianceTable::writeCsv(QDate from, QDate to, QIODevice* out, QString* error) const {
    QByteArray buffer(Header);
    buffer.reserve(1 << 17);
    const QByteArray monitor = csvField(m_monitor).toUtf8();
    qint64 rows = 0;
    bool failed = false;
    const auto drain = [&](bool all) {
        if (failed || (buffer.size() < (1 << 16) && !all)) return;
        if (out->write(buffer) != buffer.size()) {
            setError(error, QObject::tr("cannot write: %1").arg(out->errorString()));
            failed = true;
        }
        buffer.clear();
    };
    const bool read = forEachMinute(
        from, to,
        [&](const ComplianceMinute& m) {
            buffer += csvTime(m.minuteMs).toLatin1();
            buffer += ',' + monitor + ',';
            appendNumber(buffer, m.posMax);
            buffer += ',';
            appendNumber(buffer, m.negMax);
            buffer += ',' + QByteArray::number(m.packets) + ',' + QByteArray::number(m.neg100Packets) + ',' +
                      QByteArray::number(m.pos125Packets) + ',';
            appendNumber(buffer, m.carrierMin);
            buffer += ',';
            appendNumber(buffer, m.carrierMax);
            buffer += ',' + QByteArray::number(m.validS) + ',' + minuteClassName(m.cls) + "\r\n";
            ++rows;
            drain(false);
        },
        error);
    if (!read) return -1;
    drain(true);
    return failed ? -1 : rows;
}

bool ComplianceTable::exportCsv(QDate from, QDate to, const QString& path, QString* error) const {
    return writeCsvFile(
        path, [&](QIODevice* out, QString* why) { return writeCsv(from, to, out, why); }, error);
}

} // namespace zel
