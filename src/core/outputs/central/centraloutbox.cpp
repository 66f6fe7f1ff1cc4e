#include "core/outputs/central/centraloutbox.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <sys/stat.h>

namespace zel {

namespace {

enum Table { Events, Minutes, Notes, Signoffs };
const char* const MarkKeys[] = {"central_sent_events", "central_sent_minutes", "central_sent_notes",
                                "central_sent_signoffs"};

// The counter and the stamps. An UPDATE that leaves fwd_seq as it was is the
// store's (an episode completed, a minute's part added): it takes a new
// number. The trigger's own UPDATE changes fwd_seq, so it fires nothing.
const char* const Triggers[] = {
    "CREATE TRIGGER IF NOT EXISTS central_events_insert AFTER INSERT ON events BEGIN"
    " UPDATE central_seq SET seq = seq + 1 WHERE id = 1;"
    " UPDATE events SET fwd_seq = (SELECT seq FROM central_seq WHERE id = 1) WHERE id = NEW.id; END",
    "CREATE TRIGGER IF NOT EXISTS central_events_update AFTER UPDATE ON events"
    " WHEN NEW.fwd_seq IS OLD.fwd_seq BEGIN"
    " UPDATE central_seq SET seq = seq + 1 WHERE id = 1;"
    " UPDATE events SET fwd_seq = (SELECT seq FROM central_seq WHERE id = 1) WHERE id = NEW.id; END",
    "CREATE TRIGGER IF NOT EXISTS central_minutes_insert AFTER INSERT ON minutes BEGIN"
    " UPDATE central_seq SET seq = seq + 1 WHERE id = 1;"
    " UPDATE minutes SET fwd_seq = (SELECT seq FROM central_seq WHERE id = 1)"
    " WHERE minute_ms = NEW.minute_ms AND monitor = NEW.monitor; END",
    "CREATE TRIGGER IF NOT EXISTS central_minutes_update AFTER UPDATE ON minutes"
    " WHEN NEW.fwd_seq IS OLD.fwd_seq BEGIN"
    " UPDATE central_seq SET seq = seq + 1 WHERE id = 1;"
    " UPDATE minutes SET fwd_seq = (SELECT seq FROM central_seq WHERE id = 1)"
    " WHERE minute_ms = NEW.minute_ms AND monitor = NEW.monitor; END",
};

QString reasonOf(const QSqlError& e) {
    QString text = e.databaseText().trimmed();
    if (text.isEmpty()) text = e.driverText().trimmed();
    return text;
}

ino_t inodeOf(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

} // namespace

CentralOutbox::CentralOutbox(const QString& connection)
    : m_connection(connection) {}

CentralOutbox::~CentralOutbox() {
    close();
}

void CentralOutbox::close() {
    m_open = false;
    if (!QSqlDatabase::contains(m_connection)) return;
    QSqlDatabase::database(m_connection, false).close();
    QSqlDatabase::removeDatabase(m_connection);
}

bool CentralOutbox::fileReplaced() const {
    return m_open && inodeOf(m_path) != m_inode;
}

bool CentralOutbox::open(const QString& path, const QString& target, QString* error) {
    close();
    m_path = path;
    m_inode = inodeOf(path);
    if (m_inode == 0) {
        *error = QStringLiteral("the history file %1 is not there").arg(path);
        return false;
    }
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
        db.setDatabaseName(path);
        // The store's writer may hold the write lock for a moment.
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=2000"));
        if (!db.open()) {
            *error = reasonOf(db.lastError());
            close();
            return false;
        }
        // The file is in WAL mode: a mark written without a sync of its own
        // can only be lost to a power cut, and then rows go again.
        QSqlQuery(db).exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    }
    if (!setUp(target, error)) {
        close();
        return false;
    }
    m_open = true;
    return true;
}

bool CentralOutbox::hasTable(const QString& table) const {
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?"));
    q.addBindValue(table);
    return q.exec() && q.next();
}

bool CentralOutbox::hasColumn(const QString& table, const QString& column) const {
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    if (!q.exec(QStringLiteral("PRAGMA table_info(%1)").arg(table))) return false;
    while (q.next())
        if (q.value(1).toString() == column) return true;
    return false;
}

bool CentralOutbox::setUp(const QString& target, QString* error) {
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery q(db);
    const auto failed = [&](const QSqlError& e) {
        *error = reasonOf(e);
        q.exec(QStringLiteral("ROLLBACK"));
        return false;
    };
    if (!hasTable(QStringLiteral("events")) || !hasTable(QStringLiteral("minutes"))) {
        *error = QStringLiteral("%1 is not a history file").arg(m_path);
        return false;
    }
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE"))) return failed(q.lastError());
    if (!q.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS central_seq"
                               " (id INTEGER PRIMARY KEY CHECK (id = 1), seq INTEGER NOT NULL)")) ||
        !q.exec(QStringLiteral("INSERT OR IGNORE INTO central_seq (id, seq) VALUES (1, 0)")))
        return failed(q.lastError());
    // Rows from before forwarding: numbered once, in the order they came.
    for (const char* table : {"events", "minutes"}) {
        const QString t = QLatin1String(table);
        if (hasColumn(t, QStringLiteral("fwd_seq"))) continue;
        const QString order =
            t == QLatin1String("events") ? QStringLiteral("id") : QStringLiteral("minute_ms, monitor");
        const QString key = t == QLatin1String("events") ? QStringLiteral("t.id = n.id")
                                                         : QStringLiteral("t.minute_ms = n.minute_ms AND "
                                                                          "t.monitor = n.monitor");
        const QString keyColumns =
            t == QLatin1String("events") ? QStringLiteral("id") : QStringLiteral("minute_ms, monitor");
        if (!q.exec(QStringLiteral("ALTER TABLE %1 ADD COLUMN fwd_seq INTEGER").arg(t)) ||
            !q.exec(QStringLiteral("UPDATE %1 AS t SET fwd_seq = n.seq FROM (SELECT %2,"
                                   " (SELECT seq FROM central_seq) + row_number() OVER (ORDER BY %3) AS seq"
                                   " FROM %1) AS n WHERE %4")
                        .arg(t, keyColumns, order, key)) ||
            !q.exec(QStringLiteral("UPDATE central_seq SET seq = seq + (SELECT count(*) FROM %1)").arg(t)))
            return failed(q.lastError());
    }
    for (const char* sql : {"CREATE INDEX IF NOT EXISTS events_fwd_seq ON events (fwd_seq)",
                            "CREATE INDEX IF NOT EXISTS minutes_fwd_seq ON minutes (fwd_seq)"})
        if (!q.exec(QLatin1String(sql))) return failed(q.lastError());
    for (const char* sql : Triggers)
        if (!q.exec(QLatin1String(sql))) return failed(q.lastError());

    // Marks of another central database or site start afresh.
    q.prepare(QStringLiteral("SELECT value FROM meta WHERE key = 'central_target'"));
    if (!q.exec()) return failed(q.lastError());
    const bool sameTarget = q.next() && q.value(0).toString() == target;
    for (int t = 0; t < 4; ++t) {
        m_marks[t] = 0;
        if (!sameTarget) continue;
        q.prepare(QStringLiteral("SELECT value FROM meta WHERE key = ?"));
        q.addBindValue(QLatin1String(MarkKeys[t]));
        if (!q.exec()) return failed(q.lastError());
        if (q.next()) m_marks[t] = q.value(0).toLongLong();
    }
    if (!sameTarget) {
        q.prepare(QStringLiteral("INSERT OR REPLACE INTO meta (key, value) VALUES ('central_target', ?)"));
        q.addBindValue(target);
        if (!q.exec() || !q.exec(QStringLiteral("DELETE FROM meta WHERE key LIKE 'central_sent_%'")))
            return failed(q.lastError());
    }
    if (!q.exec(QStringLiteral("COMMIT"))) return failed(q.lastError());

    m_hasNotes = hasTable(QStringLiteral("notes"));
    m_hasSignoffs = hasTable(QStringLiteral("signoffs"));
    m_eventHash = hasColumn(QStringLiteral("events"), QStringLiteral("hash"));
    m_noteHash = m_hasNotes && hasColumn(QStringLiteral("notes"), QStringLiteral("hash"));
    m_signoffHash = m_hasSignoffs && hasColumn(QStringLiteral("signoffs"), QStringLiteral("hash"));
    return true;
}

bool CentralOutbox::read(int limit, OutboxBatch* batch, QString* error) {
    *batch = OutboxBatch();
    for (int t = 0; t < 4; ++t)
        batch->marks[t] = m_marks[t];
    if (!m_open) return false;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    // One snapshot for every table.
    if (!db.transaction()) {
        *error = reasonOf(db.lastError());
        return false;
    }
    QSqlQuery q(db);
    q.setForwardOnly(true);
    const auto run = [&](const QString& sql, int table, int columns, int markColumn,
                         QList<QVariantList>* rows, QStringList* monitors, int monitorColumn) {
        const qint64 mark = m_marks[table];
        q.prepare(sql + QStringLiteral(" LIMIT %1").arg(limit + 1));
        q.addBindValue(mark);
        if (!q.exec()) {
            *error = reasonOf(q.lastError());
            return false;
        }
        int n = 0;
        qint64 last = mark;
        while (q.next()) {
            if (++n > limit) {
                batch->full = true;
                break;
            }
            QVariantList row;
            row.reserve(columns);
            // A note's id is both its mark and its first column.
            const int skip = monitors ? markColumn : -1;
            for (int c = 0; c < columns; ++c)
                if (c != skip && c != monitorColumn) row << q.value(c);
            if (monitors) monitors->append(q.value(monitorColumn).toString());
            last = q.value(markColumn).toLongLong();
            rows->append(row);
        }
        batch->marks[table] = last;
        return true;
    };
    const QString chain = m_eventHash ? QStringLiteral("seq, hash") : QStringLiteral("NULL, NULL");
    bool ok =
        run(QStringLiteral("SELECT fwd_seq, monitor, id, time_ms, end_ms, kind, on_off, detail, packets,"
                           " extreme, threshold, pos_pct, neg_pct, carrier, %1 FROM events"
                           " WHERE fwd_seq > ? ORDER BY fwd_seq")
                .arg(chain),
            Events, 16, 0, &batch->events, &batch->eventMonitors, 1) &&
        run(QStringLiteral("SELECT fwd_seq, monitor, minute_ms, packets, rejected, pos_max, neg_max,"
                           " carrier_min, carrier_max, carrier_mean, pos125_packets, pos125_episodes,"
                           " neg100_packets, neg100_episodes, carrier_alarm_s, audio_loss_s,"
                           " link_down_s, up_s FROM minutes WHERE fwd_seq > ? ORDER BY fwd_seq"),
            Minutes, 18, 0, &batch->minutes, &batch->minuteMonitors, 1);
    if (ok && m_hasNotes)
        ok = run(QStringLiteral("SELECT id, event_id, time_ms, by_name, text, %1 FROM notes"
                                " WHERE id > ? ORDER BY id")
                     .arg(m_noteHash ? QStringLiteral("hash") : QStringLiteral("NULL")),
                 Notes, 6, 0, &batch->notes, nullptr, -1);
    if (ok && m_hasSignoffs)
        ok = run(QStringLiteral("SELECT id, from_ms, to_ms, time_ms, by_name, text, %1 FROM signoffs"
                                " WHERE id > ? ORDER BY id")
                     .arg(m_signoffHash ? QStringLiteral("hash") : QStringLiteral("NULL")),
                 Signoffs, 7, 0, &batch->signoffs, nullptr, -1);
    q.finish();
    db.commit();
    return ok;
}

bool CentralOutbox::commit(const OutboxBatch& batch, QString* error) {
    if (!m_open) return false;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        *error = reasonOf(q.lastError());
        return false;
    }
    q.prepare(QStringLiteral("INSERT OR REPLACE INTO meta (key, value) VALUES (?, ?)"));
    for (int t = 0; t < 4; ++t) {
        if (batch.marks[t] == m_marks[t]) continue;
        q.addBindValue(QLatin1String(MarkKeys[t]));
        q.addBindValue(QString::number(batch.marks[t]));
        if (!q.exec()) {
            *error = reasonOf(q.lastError());
            q.exec(QStringLiteral("ROLLBACK"));
            return false;
        }
    }
    if (!q.exec(QStringLiteral("COMMIT"))) {
        *error = reasonOf(q.lastError());
        q.exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    for (int t = 0; t < 4; ++t)
        m_marks[t] = batch.marks[t];
    return true;
}

} // namespace zel
