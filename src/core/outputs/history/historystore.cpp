#include "core/outputs/history/historystore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QVariant>
#include <atomic>
#include <cmath>

namespace zel {

namespace {

constexpr const char Application[] = "zel-history";
constexpr int SchemaVersion = 1;
constexpr qint64 DayMs = 24LL * 3600 * 1000;

// SQLite's primary result codes (the driver may report extended ones).
enum SqliteCode { Busy = 5, Locked = 6, ReadOnly = 8, IoErr = 10, Corrupt = 11, Full = 13, NotADb = 26 };

int sqliteCode(const QSqlError& e) {
    bool ok = false;
    const int code = e.nativeErrorCode().toInt(&ok);
    return ok ? (code & 0xff) : -1;
}

bool isDamage(int code) {
    return code == Corrupt || code == NotADb;
}

QString reasonOf(const QSqlError& e) {
    QString text = e.databaseText();
    if (text.isEmpty()) text = e.driverText();
    return text.trimmed();
}

const char* const Schema[] = {
    "CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT)",
    "CREATE TABLE IF NOT EXISTS events ("
    " id INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL, end_ms INTEGER, monitor TEXT NOT NULL,"
    " kind TEXT NOT NULL, on_off INTEGER, detail TEXT, packets INTEGER, extreme REAL,"
    " threshold INTEGER, pos_pct REAL, neg_pct REAL, carrier REAL)",
    "CREATE INDEX IF NOT EXISTS events_time ON events (time_ms)",
    "CREATE TABLE IF NOT EXISTS minutes ("
    " monitor TEXT NOT NULL, minute_ms INTEGER NOT NULL, packets INTEGER NOT NULL,"
    " rejected INTEGER NOT NULL, pos_max REAL, neg_max REAL, carrier_min REAL, carrier_max REAL,"
    " carrier_mean REAL, pos125_packets INTEGER NOT NULL, pos125_episodes INTEGER NOT NULL,"
    " neg100_packets INTEGER NOT NULL, neg100_episodes INTEGER NOT NULL,"
    " carrier_alarm_s INTEGER NOT NULL, audio_loss_s INTEGER NOT NULL, link_down_s INTEGER NOT NULL,"
    // Kept in time order: every query reads a time range.
    " PRIMARY KEY (minute_ms, monitor)) WITHOUT ROWID",
};

QVariant optionalValue(const std::optional<double>& v) {
    return v ? QVariant(*v) : QVariant(QMetaType::fromType<double>());
}

std::optional<double> optionalDouble(const QVariant& v) {
    if (v.isNull()) return std::nullopt;
    return v.toDouble();
}

} // namespace

HistoryStore::HistoryStore(QObject* parent)
    : QObject(parent) {
    static std::atomic<int> counter{0};
    m_connection = QStringLiteral("zel-history-%1").arg(++counter);
    m_retentionTimer.setObjectName(QStringLiteral("tmrRetention"));
    m_retentionTimer.setInterval(3600 * 1000);
    connect(&m_retentionTimer, &QTimer::timeout, this,
            [this] { applyRetentionIfDue(QDateTime::currentMSecsSinceEpoch()); });
}

HistoryStore::~HistoryStore() {
    close();
}

QString HistoryStore::defaultPath() {
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return QDir(base).filePath(QStringLiteral("zel/history.sqlite"));
}

void HistoryStore::report(const QString& message) {
    emit problem(message);
}

bool HistoryStore::open(const QString& path) {
    close();
    m_path = path;
    m_movedAside.clear();
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath())) {
        report(tr("History file %1 cannot be opened: its folder cannot be created. "
                  "Monitoring goes on without recording.")
                   .arg(path));
        return false;
    }
    if (info.exists() && !info.isFile()) {
        report(tr("History file %1 cannot be opened: it is not a regular file. "
                  "Monitoring goes on without recording.")
                   .arg(path));
        return false;
    }
    QString reason;
    bool damaged = false;
    if (!openFile(&reason, &damaged)) {
        if (!damaged) {
            report(tr("History file %1 cannot be opened: %2. Monitoring goes on without recording.")
                       .arg(path, reason));
            return false;
        }
        close();
        QString movedTo;
        if (!moveAside(&movedTo)) {
            report(tr("History file %1 is damaged (%2) and cannot be moved aside. "
                      "Monitoring goes on without recording.")
                       .arg(path, reason));
            return false;
        }
        QString again;
        bool damagedAgain = false;
        if (!openFile(&again, &damagedAgain)) {
            close();
            report(tr("History file %1 was damaged (%2) and moved to %3; a new one cannot be started: %4.")
                       .arg(path, reason, movedTo, again));
            return false;
        }
        report(tr("History file %1 was damaged (%2). It was moved to %3 and a new history started.")
                   .arg(path, reason, movedTo));
    }
    m_open = true;
    m_writeFailing = false;
    applyRetentionIfDue(QDateTime::currentMSecsSinceEpoch());
    m_retentionTimer.start();
    return true;
}

bool HistoryStore::openFile(QString* reason, bool* damaged) {
    *damaged = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
        db.setDatabaseName(m_path);
        // A writer that holds the lock (another process on the same file)
        // is waited for briefly; after that the batch is retried next time.
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=200"));
        if (!db.open()) {
            *reason = reasonOf(db.lastError());
            return false;
        }
    }
    return checkSchema(reason, damaged);
}

bool HistoryStore::checkSchema(QString* reason, bool* damaged) {
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery q(db);
    const auto fail = [&](const QSqlError& e) {
        *reason = reasonOf(e);
        *damaged = isDamage(sqliteCode(e));
        return false;
    };
    if (!q.exec(QStringLiteral("PRAGMA quick_check")) || !q.next()) return fail(q.lastError());
    if (q.value(0).toString() != QLatin1String("ok")) {
        *reason = tr("integrity check failed: %1").arg(q.value(0).toString());
        *damaged = true;
        return false;
    }
    if (!q.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table'")))
        return fail(q.lastError());
    QStringList tables;
    while (q.next())
        tables << q.value(0).toString();
    if (!tables.isEmpty()) {
        bool ours = false;
        int version = 0;
        if (tables.contains(QLatin1String("meta")) &&
            q.exec(QStringLiteral("SELECT key, value FROM meta WHERE key IN ('application', 'version')"))) {
            while (q.next()) {
                if (q.value(0).toString() == QLatin1String("application"))
                    ours = q.value(1).toString() == QLatin1String(Application);
                else
                    version = q.value(1).toInt();
            }
        }
        if (!ours) {
            *reason = tr("it is not a history file of this program");
            *damaged = true; // a foreign file: moved aside like a damaged one
            return false;
        }
        if (version > SchemaVersion) {
            *reason = tr("it was written by a newer version (schema %1)").arg(version);
            return false;
        }
    }
    // Only now is the file known to be ours (or new): switching the journal
    // mode rewrites its header.
    if (!q.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !q.next()) return fail(q.lastError());
    if (q.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
        *reason = tr("write-ahead logging is not available");
        return false;
    }
    q.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    // Reads of a month of minutes straight from the mapped file and a cache
    // that holds them, for the charts and the export.
    q.exec(QStringLiteral("PRAGMA mmap_size=268435456"));
    q.exec(QStringLiteral("PRAGMA cache_size=-16000"));
    if (!db.transaction()) return fail(db.lastError());
    for (const char* statement : Schema) {
        if (!q.exec(QLatin1String(statement))) {
            const QSqlError e = q.lastError();
            db.rollback();
            return fail(e);
        }
    }
    q.prepare(QStringLiteral("INSERT OR IGNORE INTO meta (key, value) VALUES (?, ?)"));
    q.addBindValue(QStringLiteral("application"));
    q.addBindValue(QLatin1String(Application));
    q.exec();
    q.addBindValue(QStringLiteral("version"));
    q.addBindValue(QString::number(SchemaVersion));
    q.exec();
    if (!db.commit()) {
        const QSqlError e = db.lastError();
        db.rollback();
        return fail(e);
    }
    return true;
}

bool HistoryStore::moveAside(QString* movedTo) {
    const QString stamp = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    QString target = m_path + QStringLiteral(".damaged-") + stamp;
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = m_path + QStringLiteral(".damaged-") + stamp + QStringLiteral("-%1").arg(n);
    if (!QFile::rename(m_path, target)) return false;
    // The log and index files belong to the damaged file; a new file must
    // not pick them up.
    for (const char* suffix : {"-wal", "-shm"}) {
        const QString side = m_path + QLatin1String(suffix);
        if (QFileInfo::exists(side)) QFile::rename(side, target + QLatin1String(suffix));
    }
    m_movedAside = target;
    *movedTo = target;
    return true;
}

void HistoryStore::close() {
    m_retentionTimer.stop();
    m_open = false;
    dropStatements();
    if (QSqlDatabase::contains(m_connection)) {
        {
            QSqlDatabase db = QSqlDatabase::database(m_connection, false);
            db.close();
        }
        QSqlDatabase::removeDatabase(m_connection);
    }
}

// Runs with no query of the connection alive, so the connection can go.
void HistoryStore::replaceDamagedFile() {
    const QString text = m_damage;
    m_damage.clear();
    close();
    QString movedTo;
    QString reason;
    bool damaged = false;
    if (moveAside(&movedTo) && openFile(&reason, &damaged)) {
        m_open = true;
        m_retentionTimer.start();
        report(tr("History file %1 was found damaged while recording (%2). It was moved to %3 and "
                  "a new history started.")
                   .arg(m_path, text, movedTo));
    } else {
        close();
        report(tr("History file %1 was found damaged while recording (%2) and no new one could be "
                  "started. Monitoring goes on without recording.")
                   .arg(m_path, text));
    }
}

void HistoryStore::handleWriteError(int code, const QString& text) {
    if (code == Busy || code == Locked) return; // another writer: next time
    if (isDamage(code)) {
        m_damage = text;
        return;
    }
    if (!m_writeFailing) {
        m_writeFailing = true;
        if (code == Full)
            report(tr("History file %1 cannot grow: the disk is full. Recording resumes when space "
                      "returns; monitoring goes on.")
                       .arg(m_path));
        else
            report(tr("History file %1 cannot be written: %2. Recording is retried every second; "
                      "monitoring goes on.")
                       .arg(m_path, text));
    }
}

void HistoryStore::dropStatements() {
    m_insertEvent.reset();
    m_updateEvent.reset();
    m_upsertMinute.reset();
}

QSqlQuery& HistoryStore::statement(std::unique_ptr<QSqlQuery>& slot, const QString& sql) {
    if (!slot) {
        slot = std::make_unique<QSqlQuery>(QSqlDatabase::database(m_connection, false));
        slot->prepare(sql);
    }
    return *slot;
}

bool HistoryStore::write(QList<EventRecord>& events, const QList<MinuteRecord>& minutes) {
    if (m_open && !m_damage.isEmpty()) replaceDamagedFile();
    if (!m_open) return false;
    if (events.isEmpty() && minutes.isEmpty()) return true;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QList<qint64> ids;
    ids.reserve(events.size());
    const auto failed = [&](const QSqlError& e) {
        db.rollback();
        // Prepared afresh next time: the failure may have been the file's.
        dropStatements();
        handleWriteError(sqliteCode(e), reasonOf(e));
        return false;
    };
    if (!db.transaction()) return failed(db.lastError());
    for (const EventRecord& e : events) {
        if (e.id != 0) {
            QSqlQuery& update = statement(
                m_updateEvent,
                QStringLiteral("UPDATE events SET end_ms = ?, packets = ?, extreme = ? WHERE id = ?"));
            update.addBindValue(e.endMs);
            update.addBindValue(e.packets);
            update.addBindValue(e.extreme);
            update.addBindValue(e.id);
            if (!update.exec()) return failed(update.lastError());
            if (update.numRowsAffected() > 0) {
                ids << e.id;
                continue;
            }
            // Gone (a new file after damage): written afresh below.
        }
        QSqlQuery& insert = statement(
            m_insertEvent,
            QStringLiteral(
                "INSERT INTO events (time_ms, end_ms, monitor, kind, on_off, detail, packets, extreme,"
                " threshold, pos_pct, neg_pct, carrier) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
        const bool episode = e.isEpisode();
        const QVariant nullInt(QMetaType::fromType<qint64>());
        insert.addBindValue(e.timeMs);
        insert.addBindValue(episode ? QVariant(e.endMs) : nullInt);
        insert.addBindValue(e.monitor);
        insert.addBindValue(e.kind);
        insert.addBindValue(e.on ? QVariant(int(*e.on)) : nullInt);
        insert.addBindValue(e.detail.isEmpty() ? QVariant(QMetaType::fromType<QString>())
                                               : QVariant(e.detail));
        insert.addBindValue(episode ? QVariant(e.packets) : nullInt);
        insert.addBindValue(episode ? QVariant(e.extreme) : QVariant(QMetaType::fromType<double>()));
        insert.addBindValue(e.threshold > 0 ? QVariant(e.threshold) : nullInt);
        insert.addBindValue(e.posPercent);
        insert.addBindValue(e.negPercent);
        insert.addBindValue(e.carrier);
        if (!insert.exec()) return failed(insert.lastError());
        ids << insert.lastInsertId().toLongLong();
    }
    for (const MinuteRecord& m : minutes) {
        QSqlQuery& q = statement(
            m_upsertMinute,
            QStringLiteral(
                "INSERT OR REPLACE INTO minutes (monitor, minute_ms, packets, rejected, pos_max, neg_max,"
                " carrier_min, carrier_max, carrier_mean, pos125_packets, pos125_episodes,"
                " neg100_packets, neg100_episodes, carrier_alarm_s, audio_loss_s, link_down_s)"
                " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
        q.addBindValue(m.monitor);
        q.addBindValue(m.minuteMs);
        q.addBindValue(m.packets);
        q.addBindValue(m.rejected);
        q.addBindValue(optionalValue(m.posMax));
        q.addBindValue(optionalValue(m.negMax));
        q.addBindValue(optionalValue(m.carrierMin));
        q.addBindValue(optionalValue(m.carrierMax));
        q.addBindValue(optionalValue(m.carrierMean));
        q.addBindValue(m.pos125Packets);
        q.addBindValue(m.pos125Episodes);
        q.addBindValue(m.neg100Packets);
        q.addBindValue(m.neg100Episodes);
        q.addBindValue(m.carrierAlarmS);
        q.addBindValue(m.audioLossS);
        q.addBindValue(m.linkDownS);
        if (!q.exec()) return failed(q.lastError());
    }
    if (!db.commit()) return failed(db.lastError());
    for (int i = 0; i < events.size(); ++i)
        events[i].id = ids[i];
    if (m_writeFailing) {
        m_writeFailing = false;
        emit recovered();
    }
    return true;
}

void HistoryStore::setRetentionDays(int days) {
    m_retentionDays = std::max(1, days);
}

int HistoryStore::removeOlderThan(qint64 cutoffMs) {
    if (!m_open) return 0;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery q(db);
    int removed = 0;
    db.transaction();
    for (const char* statement : {"DELETE FROM events WHERE COALESCE(end_ms, time_ms) < ?",
                                  "DELETE FROM minutes WHERE minute_ms < ?"}) {
        q.prepare(QLatin1String(statement));
        q.addBindValue(cutoffMs);
        if (!q.exec()) {
            db.rollback();
            return 0;
        }
        removed += q.numRowsAffected();
    }
    db.commit();
    return removed;
}

void HistoryStore::applyRetentionIfDue(qint64 nowMs) {
    if (!m_open) return;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery q(db);
    qint64 last = 0;
    if (q.exec(QStringLiteral("SELECT value FROM meta WHERE key = 'last_retention_ms'")) && q.next())
        last = q.value(0).toLongLong();
    if (last != 0 && nowMs - last < DayMs && nowMs >= last) return;
    removeOlderThan(nowMs - qint64(m_retentionDays) * DayMs);
    q.prepare(QStringLiteral("INSERT OR REPLACE INTO meta (key, value) VALUES ('last_retention_ms', ?)"));
    q.addBindValue(QString::number(nowMs));
    q.exec();
}

QStringList HistoryStore::monitors() const {
    QStringList out;
    if (!m_open) return out;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    if (q.exec(
            QStringLiteral("SELECT DISTINCT monitor FROM minutes UNION SELECT DISTINCT monitor FROM events "
                           "ORDER BY 1"))) {
        while (q.next())
            out << q.value(0).toString();
    }
    return out;
}

QList<EventRecord> HistoryStore::events(qint64 fromMs, qint64 toMs, const QStringList& kinds,
                                        const QString& monitor, int limit) const {
    QList<EventRecord> out;
    if (!m_open) return out;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.setForwardOnly(true);
    QString sql =
        QStringLiteral("SELECT id, time_ms, end_ms, monitor, kind, on_off, detail, packets, extreme,"
                       " threshold, pos_pct, neg_pct, carrier FROM events"
                       " WHERE time_ms >= ? AND time_ms < ?");
    if (!kinds.isEmpty()) {
        QStringList marks(kinds.size(), QStringLiteral("?"));
        sql += QStringLiteral(" AND kind IN (%1)").arg(marks.join(QLatin1Char(',')));
    }
    if (!monitor.isEmpty()) sql += QStringLiteral(" AND monitor = ?");
    sql += QStringLiteral(" ORDER BY time_ms DESC, id DESC");
    if (limit >= 0) sql += QStringLiteral(" LIMIT %1").arg(limit);
    q.prepare(sql);
    q.addBindValue(fromMs);
    q.addBindValue(toMs);
    for (const QString& k : kinds)
        q.addBindValue(k);
    if (!monitor.isEmpty()) q.addBindValue(monitor);
    if (!q.exec()) return out;
    while (q.next()) {
        EventRecord e;
        e.id = q.value(0).toLongLong();
        e.timeMs = q.value(1).toLongLong();
        e.endMs = q.value(2).toLongLong();
        e.monitor = q.value(3).toString();
        e.kind = q.value(4).toString();
        if (!q.value(5).isNull()) e.on = q.value(5).toInt() != 0;
        e.detail = q.value(6).toString();
        e.packets = q.value(7).toInt();
        e.extreme = q.value(8).toDouble();
        e.threshold = q.value(9).toInt();
        e.posPercent = q.value(10).toDouble();
        e.negPercent = q.value(11).toDouble();
        e.carrier = q.value(12).toDouble();
        out << e;
    }
    return out;
}

QList<MinuteRecord> HistoryStore::minutes(qint64 fromMs, qint64 toMs, const QString& monitor) const {
    QList<MinuteRecord> out;
    if (!m_open) return out;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.setForwardOnly(true);
    QString sql = QStringLiteral(
        "SELECT monitor, minute_ms, packets, rejected, pos_max, neg_max, carrier_min, carrier_max,"
        " carrier_mean, pos125_packets, pos125_episodes, neg100_packets, neg100_episodes, carrier_alarm_s,"
        " audio_loss_s, link_down_s FROM minutes WHERE minute_ms >= ? AND minute_ms < ?");
    if (!monitor.isEmpty()) sql += QStringLiteral(" AND monitor = ?");
    sql += QStringLiteral(" ORDER BY minute_ms, monitor");
    q.prepare(sql);
    q.addBindValue(fromMs);
    q.addBindValue(toMs);
    if (!monitor.isEmpty()) q.addBindValue(monitor);
    if (!q.exec()) return out;
    while (q.next()) {
        MinuteRecord m;
        m.monitor = q.value(0).toString();
        m.minuteMs = q.value(1).toLongLong();
        m.packets = q.value(2).toInt();
        m.rejected = q.value(3).toInt();
        m.posMax = optionalDouble(q.value(4));
        m.negMax = optionalDouble(q.value(5));
        m.carrierMin = optionalDouble(q.value(6));
        m.carrierMax = optionalDouble(q.value(7));
        m.carrierMean = optionalDouble(q.value(8));
        m.pos125Packets = q.value(9).toInt();
        m.pos125Episodes = q.value(10).toInt();
        m.neg100Packets = q.value(11).toInt();
        m.neg100Episodes = q.value(12).toInt();
        m.carrierAlarmS = q.value(13).toInt();
        m.audioLossS = q.value(14).toInt();
        m.linkDownS = q.value(15).toInt();
        out << m;
    }
    return out;
}

ChartSeries HistoryStore::chartSeries(qint64 fromMs, qint64 toMs, const QString& monitor,
                                      int maxPoints) const {
    ChartSeries s;
    if (!m_open || toMs <= fromMs) return s;
    const qint64 minutesInRange = (toMs - fromMs + 59'999) / 60'000;
    const qint64 perBucket = std::max<qint64>(1, (minutesInRange + maxPoints - 1) / std::max(1, maxPoints));
    s.bucketMs = perBucket * 60'000;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.setForwardOnly(true);
    QString sql =
        QStringLiteral("SELECT (minute_ms / ?) * ? AS t, MAX(pos_max), MAX(neg_max), MIN(carrier_min),"
                       " MAX(carrier_max), MAX(link_down_s) FROM minutes"
                       " WHERE minute_ms >= ? AND minute_ms < ?");
    if (!monitor.isEmpty()) sql += QStringLiteral(" AND monitor = ?");
    sql += QStringLiteral(" GROUP BY t ORDER BY t");
    q.prepare(sql);
    q.addBindValue(s.bucketMs);
    q.addBindValue(s.bucketMs);
    q.addBindValue(fromMs);
    q.addBindValue(toMs);
    if (!monitor.isEmpty()) q.addBindValue(monitor);
    if (!q.exec()) return s;
    while (q.next()) {
        const qint64 t = q.value(0).toLongLong();
        const double x = double(t);
        if (!q.value(1).isNull()) s.posMax << QPointF(x, q.value(1).toDouble());
        if (!q.value(2).isNull()) s.negMax << QPointF(x, q.value(2).toDouble());
        if (!q.value(3).isNull()) s.carrierMin << QPointF(x, q.value(3).toDouble());
        if (!q.value(4).isNull()) s.carrierMax << QPointF(x, q.value(4).toDouble());
        if (q.value(5).toInt() > 0) {
            if (!s.linkDown.isEmpty() && s.linkDown.last().second == t)
                s.linkDown.last().second = t + s.bucketMs;
            else
                s.linkDown.append({t, t + s.bucketMs});
        }
    }
    return s;
}

} // namespace zel
