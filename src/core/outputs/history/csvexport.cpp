#include "core/outputs/history/csvexport.h"
#include "core/outputs/history/historystore.h"
#include "core/types/text.h"
#include "core/types/types.h"

#include <QDateTime>
#include <QFile>
#include <QSaveFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace zel {

namespace {

// Columns added later go at the end, so readers of the older layout keep
// working: the carrier in percent beside its bar position, the link's up time.
const char* const EventsHeader = "time,end,monitor,kind,state,detail,packets,extreme_pct,threshold_pct,"
                                 "pos_peak_pct,neg_peak_pct,carrier,carrier_pct,id";
// The notes on the events of the range; event_id is the events' id column.
const char* const NotesHeader = "id,event_id,time,by,text,hash";
const char* const MinutesHeader = "minute,monitor,packets,rejected,pos_peak_max_pct,neg_peak_max_pct,"
                                  "carrier_min,carrier_max,carrier_mean,pos125_packets,pos125_episodes,"
                                  "neg100_packets,neg100_episodes,carrier_alarm_s,audio_loss_s,link_down_s,"
                                  "carrier_min_pct,carrier_max_pct,carrier_mean_pct,link_up_s";

// A bar position as percent (none stays none).
QVariant percentOfBar(const QVariant& v) {
    return v.isNull() ? v : QVariant(barToPercent(v.toDouble()));
}

QVariant roundedMean(const QVariant& v) {
    return v.isNull() ? v : QVariant(std::round(v.toDouble() * 100.0) / 100.0);
}

// Whole numbers (most readings are) without the cost of a float format.
void appendNumber(QByteArray& out, const QVariant& v) {
    if (v.isNull()) return;
    if (v.typeId() == QMetaType::Double) {
        const double d = v.toDouble();
        if (d == std::floor(d) && std::abs(d) < 1e15)
            out += QByteArray::number(qint64(d));
        else
            out += QByteArray::number(d, 'g', 10);
        return;
    }
    out += QByteArray::number(v.toLongLong());
}

void setError(QString* error, const QString& text) {
    if (error) *error = text;
}

} // namespace

QString csvTime(qint64 utcMs, bool withMs) {
    QString t = formatLocalTime(utcMs); // "yyyy-MM-ddTHH:mm:ss.zzz+hh:mm"
    if (!withMs) t.remove(19, 4);
    return t;
}

QString csvField(const QString& text) {
    // Far-end text may carry control characters (a terminal's escapes, line
    // breaks): shown escaped. A spreadsheet takes a leading = + - @, TAB or
    // CR for the start of a formula: defused with an apostrophe.
    QString t = escapeControl(text);
    if (!text.isEmpty() && QStringLiteral("=+-@\t\r").contains(text.front())) t.prepend(QLatin1Char('\''));
    const bool quote = t.contains(QLatin1Char(',')) || t.contains(QLatin1Char('"')) ||
                       t.startsWith(QLatin1Char(' ')) || t.endsWith(QLatin1Char(' '));
    if (!quote) return t;
    t.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + t + QLatin1Char('"');
}

bool parseCsvTable(const QString& text, CsvTable* table) {
    if (text == QLatin1String("events")) {
        *table = CsvTable::Events;
        return true;
    }
    if (text == QLatin1String("minutes")) {
        *table = CsvTable::Minutes;
        return true;
    }
    if (text == QLatin1String("notes")) {
        *table = CsvTable::Notes;
        return true;
    }
    return false;
}

bool parseTimeArgument(const QString& text, qint64* utcMs) {
    const QString t = text.trimmed().replace(QLatin1Char(' '), QLatin1Char('T'));
    if (t.size() == 10) {
        const QDate day = QDate::fromString(t, Qt::ISODate);
        if (!day.isValid()) return false;
        *utcMs = day.startOfDay().toMSecsSinceEpoch();
        return true;
    }
    if (!t.contains(QLatin1Char('T'))) return false;
    const QDateTime dt = QDateTime::fromString(t, Qt::ISODateWithMs);
    if (!dt.isValid()) return false;
    *utcMs = dt.toMSecsSinceEpoch();
    return true;
}

qint64 writeCsv(const HistoryStore& store, CsvTable table, QIODevice* out, qint64 fromMs, qint64 toMs,
                const QString& monitor, QString* error) {
    if (!store.isOpen()) {
        setError(error, QObject::tr("the history file %1 is not open").arg(store.path()));
        return -1;
    }
    QSqlQuery q(QSqlDatabase::database(store.connectionName(), false));
    q.setForwardOnly(true);
    const bool events = table == CsvTable::Events;
    const bool notes = table == CsvTable::Notes;
    QString sql =
        events  ? QStringLiteral("SELECT time_ms, end_ms, monitor, kind, on_off, detail, packets, extreme,"
                                  " threshold, pos_pct, neg_pct, carrier, id FROM events"
                                  " WHERE time_ms >= ? AND time_ms < ?")
        : notes ? QStringLiteral("SELECT n.id, n.event_id, n.time_ms, n.by_name, n.text, n.hash FROM notes n"
                                 " JOIN events e ON e.id = n.event_id WHERE e.time_ms >= ? AND e.time_ms < ?")
                : QStringLiteral("SELECT minute_ms, monitor, packets, rejected, pos_max, neg_max,"
                                 " carrier_min, carrier_max, carrier_mean, pos125_packets,"
                                 " pos125_episodes, neg100_packets, neg100_episodes, carrier_alarm_s,"
                                 " audio_loss_s, link_down_s, up_s FROM minutes"
                                 " WHERE minute_ms >= ? AND minute_ms < ?");
    if (!monitor.isEmpty())
        sql += notes ? QStringLiteral(" AND e.monitor = ?") : QStringLiteral(" AND monitor = ?");
    sql += events  ? QStringLiteral(" ORDER BY time_ms, id")
           : notes ? QStringLiteral(" ORDER BY n.id")
                   : QStringLiteral(" ORDER BY minute_ms, monitor");
    q.prepare(sql);
    q.addBindValue(fromMs);
    q.addBindValue(toMs);
    if (!monitor.isEmpty()) q.addBindValue(monitor);
    if (!q.exec()) {
        setError(error, QObject::tr("cannot read the history: %1").arg(q.lastError().text()));
        return -1;
    }
    QByteArray buffer;
    buffer.reserve(1 << 17);
    const auto drain = [&](bool all) {
        if (buffer.size() < (1 << 16) && !all) return true;
        if (out->write(buffer) != buffer.size()) {
            setError(error, QObject::tr("cannot write: %1").arg(out->errorString()));
            return false;
        }
        buffer.clear();
        return true;
    };
    buffer += events ? EventsHeader : notes ? NotesHeader : MinutesHeader;
    buffer += "\r\n";
    qint64 rows = 0;
    const auto text = [](const QVariant& v) { return csvField(v.toString()).toUtf8(); };
    while (q.next()) {
        if (events) {
            buffer += csvTime(q.value(0).toLongLong(), true).toLatin1();
            buffer += ',';
            if (!q.value(1).isNull()) buffer += csvTime(q.value(1).toLongLong(), true).toLatin1();
            buffer += ',' + text(q.value(2)) + ',' + text(q.value(3)) + ',';
            if (!q.value(4).isNull()) buffer += q.value(4).toInt() ? "on" : "off";
            buffer += ',' + text(q.value(5));
            for (int i = 6; i <= 11; ++i) {
                buffer += ',';
                appendNumber(buffer, q.value(i));
            }
            buffer += ',';
            appendNumber(buffer, percentOfBar(q.value(11)));
            buffer += ',';
            appendNumber(buffer, q.value(12));
        } else if (notes) {
            appendNumber(buffer, q.value(0));
            buffer += ',';
            appendNumber(buffer, q.value(1));
            buffer += ',' + csvTime(q.value(2).toLongLong(), true).toLatin1();
            buffer += ',' + text(q.value(3)) + ',' + text(q.value(4)) + ',' + text(q.value(5));
        } else {
            buffer += csvTime(q.value(0).toLongLong(), false).toLatin1();
            buffer += ',' + text(q.value(1));
            for (int i = 2; i <= 15; ++i) {
                buffer += ',';
                appendNumber(buffer, i == 8 ? roundedMean(q.value(i)) : q.value(i));
            }
            for (const QVariant& v : {percentOfBar(q.value(6)), percentOfBar(q.value(7)),
                                      roundedMean(percentOfBar(q.value(8))), q.value(16)}) {
                buffer += ',';
                appendNumber(buffer, v);
            }
        }
        buffer += "\r\n";
        ++rows;
        if (!drain(false)) return -1;
    }
    if (!drain(true)) return -1;
    return rows;
}

bool writeCsvFile(const QString& path, const std::function<qint64(QIODevice*, QString*)>& write,
                  QString* error) {
    if (path == QLatin1String("-")) {
        QFile out;
        if (!out.open(stdout, QIODevice::WriteOnly)) {
            setError(error, QObject::tr("cannot write to standard output"));
            return false;
        }
        return write(&out, error) >= 0;
    }
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly)) {
        setError(error, QObject::tr("cannot write %1: %2").arg(path, out.errorString()));
        return false;
    }
    QString why;
    if (write(&out, &why) < 0) {
        out.cancelWriting();
        setError(error, QStringLiteral("%1: %2").arg(path, why));
        return false;
    }
    if (!out.commit()) {
        setError(error, QObject::tr("cannot write %1: %2").arg(path, out.errorString()));
        return false;
    }
    return true;
}

bool exportCsv(const HistoryStore& store, CsvTable table, const QString& path, qint64 fromMs, qint64 toMs,
               const QString& monitor, QString* error) {
    return writeCsvFile(
        path,
        [&](QIODevice* out, QString* why) { return writeCsv(store, table, out, fromMs, toMs, monitor, why); },
        error);
}

} // namespace zel
