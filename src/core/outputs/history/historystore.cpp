#include "core/outputs/history/historystore.h"
#include "core/outputs/history/chain.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStandardPaths>
#include <QThread>
#include <QVariant>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <map>
#include <mutex>
#include <sys/resource.h>

namespace zel {

namespace {

constexpr const char Application[] = "zel-history";
// 2: the hash chain, notes and sign-offs.
constexpr int SchemaVersion = 2;
constexpr qint64 DayMs = 24LL * 3600 * 1000;
// Rows the writer keeps while the file refuses them (about a day of minutes
// for 64 monitors; events beyond the bound are dropped oldest first).
constexpr int MaxQueuedEvents = 50'000;
constexpr int MaxQueuedMinutes = 100'000;

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

bool isBusy(int code) {
    return code == Busy || code == Locked;
}

// A write past the file-size limit (ulimit -f) fails with EFBIG, which SQLite
// reports as an I/O error: with a limit set, such an error is taken for a
// full disk.
bool fileSizeLimited() {
    rlimit r{};
    return getrlimit(RLIMIT_FSIZE, &r) == 0 && r.rlim_cur != RLIM_INFINITY;
}

// Past the file-size limit the kernel sends SIGXFSZ, which ends the process
// unless ignored; ignored, the write fails with EFBIG instead. A handler the
// program installed itself is left alone.
void ignoreFileSizeSignal() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current {};
        if (sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
            std::signal(SIGXFSZ, SIG_IGN);
    });
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
    " threshold INTEGER, pos_pct REAL, neg_pct REAL, carrier REAL, seq INTEGER, hash TEXT)",
    "CREATE INDEX IF NOT EXISTS events_time ON events (time_ms)",
    "CREATE TABLE IF NOT EXISTS minutes ("
    " monitor TEXT NOT NULL, minute_ms INTEGER NOT NULL, packets INTEGER NOT NULL,"
    " rejected INTEGER NOT NULL, pos_max REAL, neg_max REAL, carrier_min REAL, carrier_max REAL,"
    " carrier_mean REAL, pos125_packets INTEGER NOT NULL, pos125_episodes INTEGER NOT NULL,"
    " neg100_packets INTEGER NOT NULL, neg100_episodes INTEGER NOT NULL,"
    " carrier_alarm_s INTEGER NOT NULL, audio_loss_s INTEGER NOT NULL, link_down_s INTEGER NOT NULL,"
    " up_s INTEGER,"
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

std::optional<double> widen(const std::optional<double>& a, const std::optional<double>& b, bool high) {
    if (!a) return b;
    if (!b) return a;
    return high ? std::max(*a, *b) : std::min(*a, *b);
}

// Chains the final events of a file from before the chain, in id order.
bool chainExistingEvents(const QSqlDatabase& db) {
    QSqlQuery rows(db), seal(db);
    rows.setForwardOnly(true);
    if (!rows.exec(QStringLiteral("SELECT %1 FROM events WHERE hash IS NULL AND"
                                  " NOT (end_ms IS NOT NULL AND detail = 'open') ORDER BY id")
                       .arg(chainColumns(ChainTable::Events))))
        return false;
    seal.prepare(QStringLiteral("UPDATE events SET seq = ?, hash = ? WHERE id = ?"));
    ChainLink head = chainHead(db, ChainTable::Events);
    QVariantList fields;
    while (rows.next()) {
        fields.clear();
        for (int i = 0; i < rows.record().count(); ++i)
            fields << rows.value(i);
        fields[1] = ++head.position;
        head.hash = chainHash(ChainTable::Events, head.hash, fields);
        seal.addBindValue(head.position);
        seal.addBindValue(QString::fromLatin1(head.hash));
        seal.addBindValue(fields[0]);
        if (!seal.exec()) return false;
    }
    return head.position == 0 || setChainHead(db, ChainTable::Events, head);
}

} // namespace

void mergeMinute(MinuteRecord& into, const MinuteRecord& part) {
    const int packets = into.packets + part.packets;
    if (packets > 0)
        into.carrierMean =
            (into.carrierMean.value_or(0) * into.packets + part.carrierMean.value_or(0) * part.packets) /
            packets;
    into.packets = packets;
    into.rejected += part.rejected;
    into.posMax = widen(into.posMax, part.posMax, true);
    into.negMax = widen(into.negMax, part.negMax, true);
    into.carrierMin = widen(into.carrierMin, part.carrierMin, false);
    into.carrierMax = widen(into.carrierMax, part.carrierMax, true);
    into.pos125Packets += part.pos125Packets;
    into.pos125Episodes += part.pos125Episodes;
    into.neg100Packets += part.neg100Packets;
    into.neg100Episodes += part.neg100Episodes;
    into.carrierAlarmS += part.carrierAlarmS;
    into.audioLossS += part.audioLossS;
    into.linkDownS += part.linkDownS;
    if (part.upS) into.upS = into.upS.value_or(0) + *part.upS;
}

std::optional<int> parseRetentionDays(const QString& text, QString* error, const QString& file) {
    bool ok = false;
    const QString t = text.trimmed();
    const int days = t.toInt(&ok);
    // Digits only: toInt() also takes "+5" and " 5".
    const bool digits = !t.isEmpty() && std::all_of(t.begin(), t.end(), [](QChar c) { return c.isDigit(); });
    if (ok && digits && days >= 1 && days <= 100 * 366) return days;
    if (error)
        *error = QObject::tr("%1[history] retentionDays = \"%2\" is not a whole number of days (1 or more); "
                             "keeping %3 days.")
                     .arg(file.isEmpty() ? QString() : file + QStringLiteral(": "), text)
                     .arg(HistoryStore::DefaultRetentionDays);
    return std::nullopt;
}

int checkRetentionDays(int days, QString* warning, QString* notice) {
    if (days == HistoryStore::EarlierDefaultRetentionDays) {
        if (notice)
            *notice = QObject::tr("%1 days was the earlier default, not a choice: raised to the new default, "
                                  "%2 days")
                          .arg(days)
                          .arg(HistoryStore::DefaultRetentionDays);
        return HistoryStore::DefaultRetentionDays;
    }
    if (days < HistoryStore::TwoYearsDays && warning)
        *warning = QObject::tr("%1 days is less than the two years (%2 days) for which a station must keep "
                               "its monitoring records; kept as set")
                       .arg(days)
                       .arg(HistoryStore::TwoYearsDays);
    return days;
}

// The writer thread's side: its own connection, the rows not yet on file,
// and the retention. Reports go back to the store through queued calls.
class HistoryWriter : public QObject {
public:
    HistoryWriter(HistoryStore* store, const QString& path, const QString& connection)
        : m_store(store)
        , m_path(path)
        , m_connection(connection) {}

    // On the writer thread from here on.
    bool openConnection() {
        m_due = new QTimer(this);
        m_due->setSingleShot(true);
        connect(m_due, &QTimer::timeout, this, [this] { writeQueued(); });
        if (!m_events.isEmpty() || !m_minutes.empty()) m_due->start(0);
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
        db.setDatabaseName(m_path);
        // Waiting here costs the poll nothing; past it the rows wait for the
        // next try.
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=2000"));
        if (!db.open()) return false;
        QSqlQuery q(db);
        q.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
        m_damaged = false;
        return true;
    }

    void closeConnection() {
        delete m_due; // on this thread, where it was made
        m_due = nullptr;
        dropStatements();
        if (QSqlDatabase::contains(m_connection)) {
            {
                QSqlDatabase db = QSqlDatabase::database(m_connection, false);
                db.close();
            }
            QSqlDatabase::removeDatabase(m_connection);
        }
    }

    void add(const QList<EventRecord>& events, const QList<MinuteRecord>& minutes) {
        m_events.append(events);
        if (m_events.size() > MaxQueuedEvents) m_events.remove(0, m_events.size() - MaxQueuedEvents);
        for (const MinuteRecord& m : minutes) {
            const auto [it, fresh] = m_minutes.try_emplace({m.minuteMs, m.monitor}, m);
            if (!fresh) mergeMinute(it->second, m);
        }
        while (int(m_minutes.size()) > MaxQueuedMinutes)
            m_minutes.erase(m_minutes.begin());
        // Everything handed over meanwhile goes in one transaction.
        if (m_due && !m_due->isActive()) m_due->start(0);
    }

    // Rows older than `days` go, each chain's oldest first: an event is kept
    // while one before it in its chain is kept, so what remains is the
    // chain's newer part, and the last link removed is its checkpoint.
    void retention(qint64 nowMs, int days) {
        writeQueued(); // rows handed over before count as older
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        QSqlQuery q(db);
        qint64 last = 0;
        if (q.exec(QStringLiteral("SELECT value FROM meta WHERE key = 'last_retention_ms'")) && q.next())
            last = q.value(0).toLongLong();
        if (last != 0 && nowMs - last < DayMs && nowMs >= last) return;
        if (!begin(q)) return; // busy: the hourly check comes back
        const qint64 cutoff = nowMs - qint64(days) * DayMs;
        const auto run = [&](const QString& sql) {
            q.prepare(sql);
            if (sql.contains(u'?')) q.addBindValue(cutoff);
            return q.exec();
        };
        bool ok = run(QStringLiteral("INSERT OR REPLACE INTO meta (key, value) VALUES ('%1', '1')")
                          .arg(QLatin1String(RetentionMark)));
        ok = ok && trimChain(ChainTable::Events, QStringLiteral("COALESCE(end_ms, time_ms) >= ?"), cutoff);
        ok = ok && trimChain(ChainTable::Notes, QStringLiteral("time_ms >= ?"), cutoff);
        ok = ok && trimChain(ChainTable::SignOffs, QStringLiteral("MAX(to_ms, time_ms) >= ?"), cutoff);
        // Open episodes a killed program left behind are outside the chain.
        ok = ok &&
             run(QStringLiteral("DELETE FROM events WHERE seq IS NULL AND COALESCE(end_ms, time_ms) < ?"));
        ok = ok && run(QStringLiteral("DELETE FROM minutes WHERE minute_ms < ?"));
        ok = ok && run(QStringLiteral("DELETE FROM meta WHERE key = '%1'").arg(QLatin1String(RetentionMark)));
        q.prepare(QStringLiteral("INSERT OR REPLACE INTO meta (key, value) VALUES ('last_retention_ms', ?)"));
        q.addBindValue(QString::number(nowMs));
        ok = ok && q.exec();
        q.exec(QLatin1String(ok ? "COMMIT" : "ROLLBACK"));
    }

    // Removes the chain's rows before the first one that `keep` (a condition
    // on `cutoff`) holds for, and records the last one removed.
    bool trimChain(ChainTable table, const QString& keep, qint64 cutoff) {
        QSqlQuery q(QSqlDatabase::database(m_connection, false));
        const QString name = QLatin1String(chainTableName(table));
        const QString position = QLatin1String(table == ChainTable::Events ? "seq" : "id");
        q.prepare(
            QStringLiteral("SELECT MIN(%1) FROM %2 WHERE %1 IS NOT NULL AND %3").arg(position, name, keep));
        q.addBindValue(cutoff);
        if (!q.exec() || !q.next()) return false;
        const QVariant kept = q.value(0);
        const QString before = kept.isNull() ? QStringLiteral("%1 IS NOT NULL").arg(position)
                                             : QStringLiteral("%1 < %2").arg(position).arg(kept.toLongLong());
        if (!q.exec(QStringLiteral("SELECT %1, hash FROM %2 WHERE %3 ORDER BY %1 DESC LIMIT 1")
                        .arg(position, name, before)))
            return false;
        if (!q.next()) return true; // nothing old enough
        const ChainLink last{q.value(0).toLongLong(), q.value(1).toString().toLatin1()};
        const QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        return setChainCheckpoint(db, table, last) &&
               q.exec(QStringLiteral("DELETE FROM %1 WHERE %2").arg(name, before));
    }

    // A note or a sign-off, in a transaction of its own, chained; false with
    // the reason in *error.
    bool append(ChainTable table, qint64 eventId, const QVariantList& values, QString* error) {
        if (m_damaged || !QSqlDatabase::contains(m_connection)) {
            *error = HistoryStore::tr("the history file %1 cannot be written").arg(m_path);
            return false;
        }
        writeQueued(); // the events it may refer to first
        const QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        QSqlQuery q(db);
        const auto failed = [&](const QSqlError& e) {
            q.exec(QStringLiteral("ROLLBACK"));
            *error =
                isBusy(sqliteCode(e))
                    ? HistoryStore::tr("the history file %1 is busy (another program is writing to it); "
                                       "try again")
                          .arg(m_path)
                    : HistoryStore::tr("the history file %1 cannot be written: %2").arg(m_path, reasonOf(e));
            return false;
        };
        if (!begin(q)) return failed(q.lastError());
        if (table == ChainTable::Notes) {
            q.prepare(QStringLiteral("SELECT 1 FROM events WHERE id = ?"));
            q.addBindValue(eventId);
            if (!q.exec()) return failed(q.lastError());
            if (!q.next()) {
                q.exec(QStringLiteral("ROLLBACK"));
                *error = HistoryStore::tr("there is no event %1 in %2").arg(eventId).arg(m_path);
                return false;
            }
        }
        const QString name = QLatin1String(chainTableName(table));
        if (!q.exec(QStringLiteral("SELECT COALESCE(MAX(id), 0) FROM %1").arg(name)) || !q.next())
            return failed(q.lastError());
        bool ok = true;
        const ChainLink head = chainHead(db, table, &ok);
        if (!ok) return failed(db.lastError());
        // Ids run on from the chain's head too, so ids removed from the end
        // are never given out again.
        const qint64 id = std::max(q.value(0).toLongLong(), head.position) + 1;
        const QVariantList fields = QVariantList{id} + values;
        const QByteArray hash = chainHash(table, head.hash, fields);
        QStringList marks(fields.size() + 1, QStringLiteral("?"));
        q.prepare(QStringLiteral("INSERT INTO %1 (%2, hash) VALUES (%3)")
                      .arg(name, chainColumns(table), marks.join(u',')));
        for (const QVariant& v : fields)
            q.addBindValue(v);
        q.addBindValue(QString::fromLatin1(hash));
        if (!q.exec() || !setChainHead(db, table, {id, hash})) return failed(q.lastError());
        if (!q.exec(QStringLiteral("COMMIT"))) return failed(q.lastError());
        return true;
    }

    // True when nothing is left queued; *retry: worth trying again soon.
    bool writeQueued(bool* retry = nullptr) {
        if (retry) *retry = false;
        if (m_events.isEmpty() && m_minutes.empty()) return true;
        if (m_damaged || !QSqlDatabase::contains(m_connection)) return false;
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        QSqlQuery control(db);
        const auto failed = [&](const QSqlError& e) {
            control.exec(QStringLiteral("ROLLBACK"));
            dropStatements(); // prepared afresh: the failure may have been the file's
            const int code = sqliteCode(e);
            const bool busy = isBusy(code);
            if (retry) *retry = busy;
            handleError(code, reasonOf(e));
            if (!m_damaged && m_due) m_due->start(busy ? 200 : 1000); // kept; tried again
            return false;
        };
        if (!control.exec(QStringLiteral("BEGIN IMMEDIATE"))) return failed(control.lastError());
        m_chain = {}; // read afresh: another program may have written meanwhile
        for (const EventRecord& e : std::as_const(m_events)) {
            if (!writeEvent(e)) return failed(m_lastError);
        }
        for (const auto& [key, m] : m_minutes) {
            if (!writeMinute(m)) return failed(m_lastError);
        }
        if (m_chain.moved &&
            !setChainHead(QSqlDatabase::database(m_connection, false), ChainTable::Events, m_chain.head))
            return failed(control.lastError());
        if (!control.exec(QStringLiteral("COMMIT"))) return failed(control.lastError());
        m_events.clear();
        m_minutes.clear();
        if (m_failing) {
            m_failing = false;
            post([](HistoryStore* s) { emit s->recovered(); });
        }
        return true;
    }

    bool damaged() const { return m_damaged; }

private:
    template <typename F> void post(F f) {
        QPointer<HistoryStore> store = m_store;
        QMetaObject::invokeMethod(
            m_store,
            [store, f] {
                if (store) f(store.data());
            },
            Qt::QueuedConnection);
    }

    bool begin(QSqlQuery& q) { return q.exec(QStringLiteral("BEGIN IMMEDIATE")); }

    void handleError(int code, const QString& text) {
        if (isBusy(code)) return; // another writer: next time
        if (isDamage(code)) {
            m_damaged = true;
            post([text](HistoryStore* s) { s->replaceDamagedFile(text); });
            return;
        }
        if (m_failing) return;
        m_failing = true;
        QString message;
        if (code == Full || (code == IoErr && fileSizeLimited()))
            message =
                HistoryStore::tr("History file %1 cannot grow: the disk is full%2. Recording resumes when "
                                 "space returns; monitoring goes on.")
                    .arg(m_path, code == Full ? QString()
                                              : HistoryStore::tr(" or its size limit (ulimit -f) "
                                                                 "is reached"));
        else
            message = HistoryStore::tr("History file %1 cannot be written: %2. Recording is retried every "
                                       "second; monitoring goes on.")
                          .arg(m_path, text);
        post([message](HistoryStore* s) { s->report(message); });
    }

    QSqlQuery& statement(std::unique_ptr<QSqlQuery>& slot, const char* sql) {
        if (!slot) {
            slot = std::make_unique<QSqlQuery>(QSqlDatabase::database(m_connection, false));
            slot->prepare(QLatin1String(sql));
        }
        return *slot;
    }

    void dropStatements() {
        m_insertEvent.reset();
        m_findEpisode.reset();
        m_updateEpisode.reset();
        m_upsertMinute.reset();
    }

    // The events chain as this transaction finds and extends it.
    struct ChainState {
        bool loaded = false;
        bool moved = false;
        ChainLink head;
        qint64 lastId = 0;
    };

    bool loadChain() {
        if (m_chain.loaded) return true;
        const QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        QSqlQuery q(db);
        bool ok = true;
        m_chain.head = chainHead(db, ChainTable::Events, &ok);
        if (!ok || !q.exec(QStringLiteral("SELECT COALESCE(MAX(id), 0) FROM events")) || !q.next())
            return fail(q);
        m_chain.lastId = q.value(0).toLongLong();
        m_chain.loaded = true;
        return true;
    }

    // The covered columns of an event row (see chainColumns()).
    static QVariantList eventFields(qint64 id, const QVariant& seq, const EventRecord& e) {
        const bool episode = e.isEpisode();
        const QVariant nullInt(QMetaType::fromType<qint64>());
        const QVariant nullReal(QMetaType::fromType<double>());
        return {id,
                seq,
                e.timeMs,
                episode ? QVariant(e.endMs) : nullInt,
                e.monitor,
                e.kind,
                e.on ? QVariant(int(*e.on)) : nullInt,
                e.detail.isEmpty() ? QVariant(QMetaType::fromType<QString>()) : QVariant(e.detail),
                episode ? QVariant(e.packets) : nullInt,
                episode ? QVariant(e.extreme) : nullReal,
                e.threshold > 0 ? QVariant(e.threshold) : nullInt,
                optionalValue(e.posPercent),
                optionalValue(e.negPercent),
                optionalValue(e.carrier)};
    }

    // Chains `fields` (seq filled in) as the next link; returns the hash.
    QString link(QVariantList& fields) {
        fields[1] = ++m_chain.head.position;
        m_chain.head.hash = chainHash(ChainTable::Events, m_chain.head.hash, fields);
        m_chain.moved = true;
        return QString::fromLatin1(m_chain.head.hash);
    }

    bool writeEvent(const EventRecord& in) {
        EventRecord e = in;
        e.monitor = storableText(e.monitor);
        e.kind = storableText(e.kind);
        e.detail = storableText(e.detail);
        // An open episode is not final: it is chained when it ends.
        const bool final = !e.isEpisode() || e.detail != QLatin1String("open");
        if (!loadChain()) return false;
        const QVariant noSeq(QMetaType::fromType<qint64>());
        if (e.isEpisode()) {
            // The episode may be on file already: open (completed in place
            // now), or final and chained (written again after a failed
            // try: the chained row stands).
            QSqlQuery& find = statement(
                m_findEpisode, "SELECT id, hash IS NOT NULL, end_ms, packets, extreme, on_off, threshold,"
                               " pos_pct, neg_pct, carrier FROM events WHERE time_ms = ? AND monitor = ?"
                               " AND kind = ? AND end_ms IS NOT NULL ORDER BY hash IS NOT NULL, id");
            find.addBindValue(e.timeMs);
            find.addBindValue(e.monitor);
            find.addBindValue(e.kind);
            if (!find.exec()) return fail(find);
            bool chained = false, sameChained = false;
            std::optional<qint64> openId;
            QVariantList kept; // on_off ... carrier of the open row
            while (find.next()) {
                if (!find.value(1).toBool()) {
                    if (!openId) {
                        openId = find.value(0).toLongLong();
                        for (int i = 5; i <= 9; ++i)
                            kept << find.value(i);
                    }
                } else {
                    chained = true;
                    sameChained = sameChained || (find.value(2).toLongLong() == e.endMs &&
                                                  find.value(3).toInt() == e.packets &&
                                                  find.value(4).toDouble() == e.extreme);
                }
            }
            find.finish();
            if (openId) {
                QVariantList fields = eventFields(*openId, noSeq, e);
                fields[6] = kept[0]; // the readings as the episode began
                for (int i = 1; i < 5; ++i)
                    fields[9 + i] = kept[i];
                const QVariant hash =
                    final ? QVariant(link(fields)) : QVariant(QMetaType::fromType<QString>());
                QSqlQuery& update =
                    statement(m_updateEpisode, "UPDATE events SET end_ms = ?, packets = ?, extreme = ?,"
                                               " detail = ?, seq = ?, hash = ? WHERE id = ?");
                for (int i : {3, 8, 9, 7, 1})
                    update.addBindValue(fields[i]);
                update.addBindValue(hash);
                update.addBindValue(*openId);
                return update.exec() || fail(update);
            }
            // A later version of a chained episode is kept beside it, never
            // written over it; an open one or a repeat adds nothing.
            if (sameChained || (chained && !final)) return true;
        }
        QVariantList fields = eventFields(++m_chain.lastId, noSeq, e);
        const QVariant hash = final ? QVariant(link(fields)) : QVariant(QMetaType::fromType<QString>());
        QSqlQuery& insert =
            statement(m_insertEvent,
                      "INSERT INTO events (id, seq, time_ms, end_ms, monitor, kind, on_off, detail, packets,"
                      " extreme, threshold, pos_pct, neg_pct, carrier, hash)"
                      " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        for (const QVariant& v : std::as_const(fields))
            insert.addBindValue(v);
        insert.addBindValue(hash);
        return insert.exec() || fail(insert);
    }

    bool writeMinute(const MinuteRecord& m) {
        // A minute written in parts holds the sum, the maximum and the
        // minimum of all of them (see mergeMinute()).
        QSqlQuery& q = statement(
            m_upsertMinute,
            "INSERT INTO minutes (monitor, minute_ms, packets, rejected, pos_max, neg_max, carrier_min,"
            " carrier_max, carrier_mean, pos125_packets, pos125_episodes, neg100_packets, neg100_episodes,"
            " carrier_alarm_s, audio_loss_s, link_down_s, up_s)"
            " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
            " ON CONFLICT (minute_ms, monitor) DO UPDATE SET"
            " carrier_mean = CASE WHEN packets + excluded.packets > 0 THEN"
            "  (COALESCE(carrier_mean, 0) * packets + COALESCE(excluded.carrier_mean, 0) * excluded.packets)"
            "  / (packets + excluded.packets) END,"
            " packets = packets + excluded.packets, rejected = rejected + excluded.rejected,"
            " pos_max = MAX(COALESCE(pos_max, excluded.pos_max), COALESCE(excluded.pos_max, pos_max)),"
            " neg_max = MAX(COALESCE(neg_max, excluded.neg_max), COALESCE(excluded.neg_max, neg_max)),"
            " carrier_min = MIN(COALESCE(carrier_min, excluded.carrier_min),"
            "  COALESCE(excluded.carrier_min, carrier_min)),"
            " carrier_max = MAX(COALESCE(carrier_max, excluded.carrier_max),"
            "  COALESCE(excluded.carrier_max, carrier_max)),"
            " pos125_packets = pos125_packets + excluded.pos125_packets,"
            " pos125_episodes = pos125_episodes + excluded.pos125_episodes,"
            " neg100_packets = neg100_packets + excluded.neg100_packets,"
            " neg100_episodes = neg100_episodes + excluded.neg100_episodes,"
            " carrier_alarm_s = carrier_alarm_s + excluded.carrier_alarm_s,"
            " audio_loss_s = audio_loss_s + excluded.audio_loss_s,"
            " link_down_s = link_down_s + excluded.link_down_s,"
            " up_s = CASE WHEN excluded.up_s IS NULL THEN up_s ELSE COALESCE(up_s, 0) + excluded.up_s END");
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
        q.addBindValue(m.upS ? QVariant(*m.upS) : QVariant(QMetaType::fromType<qint64>()));
        return q.exec() || fail(q);
    }

    bool fail(const QSqlQuery& q) {
        m_lastError = q.lastError();
        return false;
    }

    HistoryStore* m_store;
    QString m_path;
    QString m_connection;
    QTimer* m_due = nullptr;
    bool m_failing = false;
    bool m_damaged = false;
    QSqlError m_lastError;
    QList<EventRecord> m_events;
    std::map<std::pair<qint64, QString>, MinuteRecord> m_minutes; // in time order
    std::unique_ptr<QSqlQuery> m_insertEvent;
    std::unique_ptr<QSqlQuery> m_updateEpisode;
    std::unique_ptr<QSqlQuery> m_findEpisode;
    ChainState m_chain;
    std::unique_ptr<QSqlQuery> m_upsertMinute;
};

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
    ignoreFileSizeSignal();
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
    if (!openFileRetrying(&reason, &damaged)) {
        if (!damaged) {
            closeReader();
            report(tr("History file %1 cannot be opened: %2. Monitoring goes on without recording.")
                       .arg(path, reason));
            return false;
        }
        closeReader();
        QString movedTo;
        if (!moveAside(&movedTo)) {
            report(tr("History file %1 is damaged (%2) and cannot be moved aside. "
                      "Monitoring goes on without recording.")
                       .arg(path, reason));
            return false;
        }
        QString again;
        bool damagedAgain = false;
        if (!openFileRetrying(&again, &damagedAgain)) {
            closeReader();
            report(tr("History file %1 was damaged (%2) and moved to %3; a new one cannot be started: %4.")
                       .arg(path, reason, movedTo, again));
            return false;
        }
        report(tr("History file %1 was damaged (%2). It was moved to %3 and a new history started.")
                   .arg(path, reason, movedTo));
    }
    m_open = true;
    startWriter();
    applyRetentionIfDue(QDateTime::currentMSecsSinceEpoch());
    m_retentionTimer.start();
    return true;
}

// Two programs creating the same new file at once: one finds it locked while
// the other lays it out. Tried again with growing pauses, about 6 s in all.
bool HistoryStore::openFileRetrying(QString* reason, bool* damaged) {
    int pauseMs = 10;
    for (;;) {
        bool busy = false;
        if (openFile(reason, damaged, &busy)) return true;
        if (!busy || pauseMs > 2000) return false;
        closeReader();
        QThread::msleep(pauseMs);
        pauseMs *= 2;
    }
}

bool HistoryStore::openFile(QString* reason, bool* damaged, bool* busy) {
    *damaged = false;
    *busy = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
        db.setDatabaseName(m_path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=200"));
        if (!db.open()) {
            *reason = reasonOf(db.lastError());
            *busy = isBusy(sqliteCode(db.lastError()));
            return false;
        }
    }
    return checkSchema(reason, damaged, busy);
}

bool HistoryStore::checkSchema(QString* reason, bool* damaged, bool* busy) {
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery q(db);
    const auto fail = [&](const QSqlError& e) {
        *reason = reasonOf(e);
        *damaged = isDamage(sqliteCode(e));
        *busy = isBusy(sqliteCode(e));
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
    // Files from before the link's up time was kept get the column; their
    // rows leave it empty.
    const auto hasColumn = [&q](const char* table, const char* column) {
        bool found = false;
        if (q.exec(QStringLiteral("PRAGMA table_info(%1)").arg(QLatin1String(table))))
            while (q.next())
                found = found || q.value(1).toString() == QLatin1String(column);
        return found;
    };
    if (!hasColumn("minutes", "up_s") &&
        !q.exec(QStringLiteral("ALTER TABLE minutes ADD COLUMN up_s INTEGER"))) {
        const QSqlError e = q.lastError();
        db.rollback();
        return fail(e);
    }
    // Files from before the chain get its columns, tables and triggers, and
    // their final events are chained now, in the order they were written.
    const bool chained = hasColumn("events", "hash");
    QStringList statements = chainSchema();
    if (!chained)
        statements = QStringList{QStringLiteral("ALTER TABLE events ADD COLUMN seq INTEGER"),
                                 QStringLiteral("ALTER TABLE events ADD COLUMN hash TEXT")} +
                     statements;
    for (const QString& statement : std::as_const(statements)) {
        if (!q.exec(statement)) {
            const QSqlError e = q.lastError();
            db.rollback();
            return fail(e);
        }
    }
    if (!chained && !chainExistingEvents(db)) {
        const QSqlError e = db.lastError();
        db.rollback();
        return fail(e);
    }
    q.prepare(QStringLiteral("INSERT OR IGNORE INTO meta (key, value) VALUES (?, ?)"));
    q.addBindValue(QStringLiteral("application"));
    q.addBindValue(QLatin1String(Application));
    q.exec();
    q.prepare(QStringLiteral("INSERT OR REPLACE INTO meta (key, value) VALUES (?, ?)"));
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

void HistoryStore::startWriter() {
    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("zel-history-writer"));
    m_writer = new HistoryWriter(this, m_path, m_connection + QStringLiteral("-writer"));
    m_writer->moveToThread(m_thread);
    m_thread->start();
    bool opened = false;
    QMetaObject::invokeMethod(
        m_writer, [this, &opened] { opened = m_writer->openConnection(); }, Qt::BlockingQueuedConnection);
    Q_UNUSED(opened); // a file the reader opened opens for the writer too; failures show as write errors
}

void HistoryStore::stopWriter() {
    if (!m_writer) return;
    QMetaObject::invokeMethod(
        m_writer, [this] { m_writer->closeConnection(); }, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
    delete m_writer;
    delete m_thread;
    m_writer = nullptr;
    m_thread = nullptr;
}

void HistoryStore::closeReader() {
    if (!QSqlDatabase::contains(m_connection)) return;
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

void HistoryStore::close() {
    m_retentionTimer.stop();
    if (m_writer) sync(5000); // what is still queued, if the file takes it soon
    m_open = false;
    stopWriter();
    closeReader();
}

bool HistoryStore::adoptConnection(const QString& connection, const QString& name) {
    close();
    m_connection = connection;
    m_path = name;
    m_open = QSqlDatabase::database(connection, false).isOpen();
    return m_open;
}

bool HistoryStore::write(const QList<EventRecord>& events, const QList<MinuteRecord>& minutes) {
    if (!m_open || !m_writer) return false;
    if (events.isEmpty() && minutes.isEmpty()) return true;
    QMetaObject::invokeMethod(
        m_writer, [w = m_writer, events, minutes] { w->add(events, minutes); }, Qt::QueuedConnection);
    return true;
}

bool HistoryStore::sync(int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    bool done = false;
    while (m_writer) {
        bool retry = false;
        QMetaObject::invokeMethod(
            m_writer, [this, &done, &retry] { done = m_writer->writeQueued(&retry); },
            Qt::BlockingQueuedConnection);
        if (done || !retry || deadline.hasExpired()) break;
        QThread::msleep(20);
    }
    // The writer's messages (and a damaged file's replacement) arrive now.
    QCoreApplication::sendPostedEvents(this);
    return done;
}

// The writer found the file damaged: both connections let go of it, it is
// moved aside and a new one started; the rows still queued go there.
void HistoryStore::replaceDamagedFile(const QString& text) {
    if (!m_writer || !m_writer->damaged()) return;
    QMetaObject::invokeMethod(
        m_writer, [this] { m_writer->closeConnection(); }, Qt::BlockingQueuedConnection);
    closeReader();
    QString movedTo;
    QString reason;
    bool damaged = false;
    if (moveAside(&movedTo) && openFileRetrying(&reason, &damaged)) {
        QMetaObject::invokeMethod(
            m_writer,
            [this] {
                m_writer->openConnection();
                m_writer->writeQueued();
            },
            Qt::BlockingQueuedConnection);
        report(tr("History file %1 was found damaged while recording (%2). It was moved to %3 and "
                  "a new history started.")
                   .arg(m_path, text, movedTo));
    } else {
        closeReader();
        m_open = false;
        stopWriter();
        report(tr("History file %1 was found damaged while recording (%2) and no new one could be "
                  "started. Monitoring goes on without recording.")
                   .arg(m_path, text));
    }
}

void HistoryStore::setRetentionDays(int days) {
    m_retentionDays = std::max(1, days);
}

void HistoryStore::applyRetentionIfDue(qint64 nowMs) {
    if (!m_writer) return;
    QMetaObject::invokeMethod(
        m_writer, [w = m_writer, nowMs, days = m_retentionDays] { w->retention(nowMs, days); },
        Qt::QueuedConnection);
}

bool HistoryStore::addNote(qint64 eventId, const QString& by, const QString& text, QString* error) {
    QString why;
    const QString name = by.trimmed(), body = text.trimmed();
    if (name.isEmpty())
        why = tr("a note needs the name of the operator who writes it");
    else if (body.isEmpty())
        why = tr("a note needs its text");
    else if (name.size() > MaxNameLength || body.size() > MaxTextLength)
        why =
            tr("a name is at most %1 characters and a note at most %2").arg(MaxNameLength).arg(MaxTextLength);
    else
        appendChained(ChainTable::Notes, eventId,
                      {eventId, QDateTime::currentMSecsSinceEpoch(), storableText(name), storableText(body)},
                      &why);
    if (error) *error = why;
    return why.isEmpty();
}

bool HistoryStore::signOff(qint64 fromMs, qint64 toMs, const QString& by, const QString& text,
                           QString* error) {
    QString why;
    const QString name = by.trimmed(), body = text.trimmed();
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (name.isEmpty())
        why = tr("a sign-off needs the name of the operator who reviewed the period");
    else if (toMs <= fromMs)
        why = tr("the period ends before it begins");
    else if (fromMs > now)
        why = tr("the period has not begun yet");
    else if (name.size() > MaxNameLength || body.size() > MaxTextLength)
        why =
            tr("a name is at most %1 characters and a text at most %2").arg(MaxNameLength).arg(MaxTextLength);
    else
        appendChained(
            ChainTable::SignOffs, 0,
            {fromMs, toMs, now, storableText(name), body.isEmpty() ? QStringLiteral("") : storableText(body)},
            &why);
    if (error) *error = why;
    return why.isEmpty();
}

// Written at once by the writer thread, which keeps the chain; the caller
// waits (a few seconds at most, for another program's write).
void HistoryStore::appendChained(ChainTable table, qint64 eventId, const QVariantList& fields, QString* why) {
    if (!m_open || !m_writer) {
        *why = tr("the history file %1 is not open").arg(m_path);
        return;
    }
    QMetaObject::invokeMethod(
        m_writer, [&] { m_writer->append(table, eventId, fields, why); }, Qt::BlockingQueuedConnection);
}

QList<NoteRecord> HistoryStore::notes(qint64 fromMs, qint64 toMs, const QString& monitor) const {
    QList<NoteRecord> out;
    if (!m_open) return out;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.setForwardOnly(true);
    QString sql =
        QStringLiteral("SELECT n.id, n.event_id, n.time_ms, n.by_name, n.text, n.hash FROM notes n"
                       " JOIN events e ON e.id = n.event_id WHERE e.time_ms >= ? AND e.time_ms < ?");
    if (!monitor.isEmpty()) sql += QStringLiteral(" AND e.monitor = ?");
    q.prepare(sql + QStringLiteral(" ORDER BY n.id"));
    q.addBindValue(fromMs);
    q.addBindValue(toMs);
    if (!monitor.isEmpty()) q.addBindValue(monitor);
    if (!q.exec()) return out;
    while (q.next())
        out << NoteRecord{q.value(0).toLongLong(), q.value(1).toLongLong(), q.value(2).toLongLong(),
                          q.value(3).toString(),   q.value(4).toString(),   q.value(5).toString()};
    return out;
}

QList<SignOffRecord> HistoryStore::signOffs(qint64 fromMs, qint64 toMs) const {
    QList<SignOffRecord> out;
    if (!m_open) return out;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT id, from_ms, to_ms, time_ms, by_name, text, hash FROM signoffs"
                             " WHERE from_ms < ? AND to_ms > ? ORDER BY id"));
    q.addBindValue(toMs);
    q.addBindValue(fromMs);
    if (!q.exec()) return out;
    while (q.next())
        out << SignOffRecord{q.value(0).toLongLong(), q.value(1).toLongLong(), q.value(2).toLongLong(),
                             q.value(3).toLongLong(), q.value(4).toString(),   q.value(5).toString(),
                             q.value(6).toString()};
    return out;
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
        e.posPercent = optionalDouble(q.value(10));
        e.negPercent = optionalDouble(q.value(11));
        e.carrier = optionalDouble(q.value(12));
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
        " audio_loss_s, link_down_s, up_s FROM minutes WHERE minute_ms >= ? AND minute_ms < ?");
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
        if (m.carrierMean) m.carrierMean = std::round(*m.carrierMean * 100.0) / 100.0;
        m.pos125Packets = q.value(9).toInt();
        m.pos125Episodes = q.value(10).toInt();
        m.neg100Packets = q.value(11).toInt();
        m.neg100Episodes = q.value(12).toInt();
        m.carrierAlarmS = q.value(13).toInt();
        m.audioLossS = q.value(14).toInt();
        m.linkDownS = q.value(15).toInt();
        if (!q.value(16).isNull()) m.upS = q.value(16).toInt();
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
