#include "core/history/csvexport.h"
#include "core/history/historystore.h"

#include <QDateTime>
#include <QFile>
#include <QSaveFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <cstdio>

namespace zel {

namespace {

const char* const EventsHeader = "time,end,monitor,kind,state,detail,packets,extreme_pct,threshold_pct,"
                                 "pos_peak_pct,neg_peak_pct,carrier";
const char* const MinutesHeader = "minute,monitor,packets,rejected,pos_peak_max_pct,neg_peak_max_pct,"
                                  "carrier_min,carrier_max,carrier_mean,pos125_packets,pos125_episodes,"
                                  "neg100_packets,neg100_episodes,carrier_alarm_s,audio_loss_s,link_down_s";

QString number(const QVariant& v) {
    if (v.isNull()) return {};
    if (v.typeId() == QMetaType::Double) return QString::number(v.toDouble(), 'g', 10);
    return v.toString();
}

void setError(QString* error, const QString& text) {
    if (error) *error = text;
}

} // namespace

QString isoLocalTime(qint64 utcMs, bool withMs) {
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(utcMs);
    const int offset = local.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    QString text = local.toString(withMs ? QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")
                                         : QStringLiteral("yyyy-MM-dd'T'HH:mm:ss"));
    text += offset < 0 ? QLatin1Char('-') : QLatin1Char('+');
    text += QStringLiteral("%1:%2")
                .arg(minutes / 60, 2, 10, QLatin1Char('0'))
                .arg(minutes % 60, 2, 10, QLatin1Char('0'));
    return text;
}

QString csvField(const QString& text) {
    QString t = text;
    if (!t.isEmpty() && QStringLiteral("=+-@").contains(t.front())) t.prepend(QLatin1Char('\''));
    const bool quote = t.contains(QLatin1Char(',')) || t.contains(QLatin1Char('"')) ||
                       t.contains(QLatin1Char('\n')) || t.contains(QLatin1Char('\r')) ||
                       t.contains(QLatin1Char('\t')) || t.startsWith(QLatin1Char(' ')) ||
                       t.endsWith(QLatin1Char(' '));
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
    QString sql =
        events ? QStringLiteral("SELECT time_ms, end_ms, monitor, kind, on_off, detail, packets, extreme,"
                                " threshold, pos_pct, neg_pct, carrier FROM events"
                                " WHERE time_ms >= ? AND time_ms < ?")
               : QStringLiteral("SELECT minute_ms, monitor, packets, rejected, pos_max, neg_max,"
                                " carrier_min, carrier_max, carrier_mean, pos125_packets,"
                                " pos125_episodes, neg100_packets, neg100_episodes, carrier_alarm_s,"
                                " audio_loss_s, link_down_s FROM minutes"
                                " WHERE minute_ms >= ? AND minute_ms < ?");
    if (!monitor.isEmpty()) sql += QStringLiteral(" AND monitor = ?");
    sql += events ? QStringLiteral(" ORDER BY time_ms, id") : QStringLiteral(" ORDER BY minute_ms, monitor");
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
    buffer += events ? EventsHeader : MinutesHeader;
    buffer += "\r\n";
    qint64 rows = 0;
    QString line;
    while (q.next()) {
        line.clear();
        if (events) {
            line += isoLocalTime(q.value(0).toLongLong(), true);
            line += QLatin1Char(',');
            if (!q.value(1).isNull()) line += isoLocalTime(q.value(1).toLongLong(), true);
            line += QLatin1Char(',') + csvField(q.value(2).toString());
            line += QLatin1Char(',') + csvField(q.value(3).toString());
            line += QLatin1Char(',');
            if (!q.value(4).isNull()) line += q.value(4).toInt() ? QLatin1String("on") : QLatin1String("off");
            line += QLatin1Char(',') + csvField(q.value(5).toString());
            for (int i = 6; i <= 11; ++i)
                line += QLatin1Char(',') + number(q.value(i));
        } else {
            line += isoLocalTime(q.value(0).toLongLong());
            line += QLatin1Char(',') + csvField(q.value(1).toString());
            for (int i = 2; i <= 15; ++i)
                line += QLatin1Char(',') + number(q.value(i));
        }
        line += QLatin1String("\r\n");
        buffer += line.toUtf8();
        ++rows;
        if (!drain(false)) return -1;
    }
    if (!drain(true)) return -1;
    return rows;
}

bool exportCsv(const HistoryStore& store, CsvTable table, const QString& path, qint64 fromMs, qint64 toMs,
               const QString& monitor, QString* error) {
    if (path == QLatin1String("-")) {
        QFile out;
        if (!out.open(stdout, QIODevice::WriteOnly)) {
            setError(error, QObject::tr("cannot write to standard output"));
            return false;
        }
        return writeCsv(store, table, &out, fromMs, toMs, monitor, error) >= 0;
    }
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly)) {
        setError(error, QObject::tr("cannot write %1: %2").arg(path, out.errorString()));
        return false;
    }
    QString why;
    if (writeCsv(store, table, &out, fromMs, toMs, monitor, &why) < 0) {
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

} // namespace zel
