#include "core/outputs/compliance/compliancesummary.h"
#include "core/outputs/history/historystore.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace zel {

namespace {

// Notes and sign-offs live in tables of their own beside the events; a
// record made before they existed has neither, and says so with none.
QString readNotes(const HistoryStore& store, ComplianceSummary* s) {
    // Every record the store opens has both tables (the central record as
    // views, which db.tables() does not list).
    QSqlDatabase db = QSqlDatabase::database(store.connectionName(), false);
    QStringList problems;
    {
        QSqlQuery q(db);
        q.setForwardOnly(true);
        q.prepare(QStringLiteral("SELECT n.event_id, e.time_ms, e.kind, n.time_ms, n.by_name, n.text"
                                 " FROM notes n JOIN events e ON e.id = n.event_id"
                                 " WHERE e.monitor = ? AND e.time_ms >= ? AND e.time_ms < ?"
                                 " ORDER BY e.time_ms, n.time_ms, n.id"));
        q.addBindValue(s->monitor);
        q.addBindValue(s->fromMs);
        q.addBindValue(s->toMs);
        if (!q.exec()) problems << QStringLiteral("notes: ") + q.lastError().text();
        while (q.next())
            s->notes.append({q.value(0).toLongLong(), q.value(1).toLongLong(), q.value(2).toString(),
                             q.value(3).toLongLong(), q.value(4).toString(), q.value(5).toString()});
    }
    {
        QSqlQuery q(db);
        q.setForwardOnly(true);
        q.prepare(QStringLiteral("SELECT from_ms, to_ms, time_ms, by_name, text FROM signoffs"
                                 " WHERE from_ms < ? AND to_ms > ? ORDER BY time_ms, id"));
        q.addBindValue(s->toMs);
        q.addBindValue(s->fromMs);
        if (!q.exec()) problems << QStringLiteral("sign-offs: ") + q.lastError().text();
        while (q.next())
            s->signOffs.append({q.value(0).toLongLong(), q.value(1).toLongLong(), q.value(2).toLongLong(),
                                q.value(3).toString(), q.value(4).toString()});
    }
    return problems.join(QStringLiteral("; "));
}

} // namespace

bool summarizeCompliance(const ComplianceTable& table, const HistoryStore& store, QDate from, QDate to,
                         ComplianceSummary* s, QString* error, qint64 nowMs) {
    *s = ComplianceSummary();
    s->monitor = table.monitor();
    s->settings = table.settings();
    s->from = from;
    s->to = to;
    s->fromMs = periodStartMs(from);
    s->toMs = periodEndMs(to);
    ComplianceDay day;
    day.day = from;
    qint64 dayEnd = periodEndMs(from);
    const bool read = table.forEachMinute(
        from, to,
        [&](const ComplianceMinute& m) {
            if (m.minuteMs >= dayEnd) {
                s->days.append(day);
                day = ComplianceDay();
                day.day = s->days.last().day.addDays(1);
                dayEnd = periodEndMs(day.day);
            }
            ++day.minutes;
            day.neg100Packets += m.neg100Packets;
            day.pos125Packets += m.pos125Packets;
            switch (m.cls) {
            case MinuteClass::Over:
                ++day.over;
                break;
            case MinuteClass::Low:
                ++day.low;
                break;
            case MinuteClass::Unmonitored:
                ++day.unmonitored;
                break;
            case MinuteClass::Ok:
                break;
            }
            if (m.monitored()) {
                ++day.monitored;
            } else if (!s->unmonitored.isEmpty() && s->unmonitored.last().second == m.minuteMs) {
                s->unmonitored.last().second += 60'000;
            } else {
                s->unmonitored.append({m.minuteMs, m.minuteMs + 60'000});
            }
        },
        error);
    if (!read) return false;
    s->days.append(day);
    for (const ComplianceDay& d : s->days) {
        s->minutes += d.minutes;
        s->monitored += d.monitored;
    }

    // Episodes that reach into the period; one is on file from its start.
    const QList<EventRecord> episodes =
        store.events(s->fromMs - 3600'000, s->toMs, {QLatin1String(EventKind::Pos125)}, s->monitor);
    for (auto it = episodes.crbegin(); it != episodes.crend(); ++it)
        if (it->isEpisode() && it->endMs >= s->fromMs)
            s->pos125.append(
                {it->timeMs, it->endMs, it->packets, it->extreme, it->detail == QLatin1String("open")});

    for (const char* kind : {EventKind::CarrierAlarm, EventKind::AudioLoss})
        s->alarms += alarmIntervals(store, s->monitor, QLatin1String(kind), s->fromMs, s->toMs, nowMs);
    std::stable_sort(s->alarms.begin(), s->alarms.end(),
                     [](const AlarmInterval& a, const AlarmInterval& b) { return a.onMs < b.onMs; });

    s->recordProblem = readNotes(store, s);
    return true;
}

} // namespace zel
