#include "core/outputs/history/chain.h"

#include <QCryptographicHash>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <cmath>

namespace zel {

namespace {

enum class Type { Integer, Real, Text };

struct Column {
    const char* name;
    Type type;
};

// The covered columns. Never reorder or drop one: files already chained
// were hashed by this list.
const QList<Column>& columns(ChainTable table) {
    static const QList<Column> events = {
        {"id", Type::Integer},     {"seq", Type::Integer},       {"time_ms", Type::Integer},
        {"end_ms", Type::Integer}, {"monitor", Type::Text},      {"kind", Type::Text},
        {"on_off", Type::Integer}, {"detail", Type::Text},       {"packets", Type::Integer},
        {"extreme", Type::Real},   {"threshold", Type::Integer}, {"pos_pct", Type::Real},
        {"neg_pct", Type::Real},   {"carrier", Type::Real}};
    static const QList<Column> notes = {{"id", Type::Integer},
                                        {"event_id", Type::Integer},
                                        {"time_ms", Type::Integer},
                                        {"by_name", Type::Text},
                                        {"text", Type::Text}};
    static const QList<Column> signOffs = {{"id", Type::Integer},    {"from_ms", Type::Integer},
                                           {"to_ms", Type::Integer}, {"time_ms", Type::Integer},
                                           {"by_name", Type::Text},  {"text", Type::Text}};
    switch (table) {
    case ChainTable::Events:
        return events;
    case ChainTable::Notes:
        return notes;
    case ChainTable::SignOffs:
        break;
    }
    return signOffs;
}

const QByteArray& genesis() {
    static const QByteArray zeros(64, '0');
    return zeros;
}

QString metaKey(ChainTable table, const char* what) {
    return QStringLiteral("chain_%1_%2").arg(QLatin1String(chainTableName(table)), QLatin1String(what));
}

// "position hash", as `meta` keeps a link.
bool parseLink(const QString& text, ChainLink* link) {
    const QStringList parts = text.split(u' ');
    bool ok = false;
    if (parts.size() != 2) return false;
    link->position = parts[0].toLongLong(&ok);
    link->hash = parts[1].toLatin1();
    return ok && link->hash.size() == 64;
}

bool readLink(const QSqlDatabase& db, const QString& key, ChainLink* link, bool* ok) {
    QSqlQuery q(db);
    q.prepare(QStringLiteral("SELECT value FROM meta WHERE key = ?"));
    q.addBindValue(key);
    if (!q.exec()) {
        if (ok) *ok = false;
        return false;
    }
    return q.next() && parseLink(q.value(0).toString(), link);
}

bool writeLink(const QSqlDatabase& db, const QString& key, const ChainLink& link) {
    QSqlQuery q(db);
    q.prepare(QStringLiteral("INSERT OR REPLACE INTO meta (key, value) VALUES (?, ?)"));
    q.addBindValue(key);
    q.addBindValue(QStringLiteral("%1 %2").arg(link.position).arg(QLatin1String(link.hash)));
    return q.exec();
}

void encode(QByteArray& out, Type type, const QVariant& v) {
    if (v.isNull()) {
        out += "N;";
        return;
    }
    switch (type) {
    case Type::Integer:
        out += 'I' + QByteArray::number(v.toLongLong()) + ';';
        return;
    case Type::Real: {
        const double d = v.toDouble();
        // SQLite keeps a NaN as NULL.
        out += std::isnan(d) ? QByteArray("N;") : 'R' + QByteArray::number(d, 'g', 17) + ';';
        return;
    }
    case Type::Text: {
        const QByteArray utf8 = v.toString().toUtf8();
        out += 'T' + QByteArray::number(utf8.size()) + ':' + utf8 + ';';
        return;
    }
    }
}

QString missing(qint64 from, qint64 to, const char* what) {
    return from == to ? QStringLiteral("link %1 %2 is missing: a row was removed").arg(from).arg(what)
                      : QStringLiteral("links %1 to %2 %3 are missing: rows were removed")
                            .arg(from)
                            .arg(to)
                            .arg(what);
}

// Walks one chain; false with the verdict's break filled in.
bool walk(const QSqlDatabase& db, ChainTable table, bool headsOnRecord, ChainVerdict* v) {
    const QString name = QLatin1String(chainTableName(table));
    const bool events = table == ChainTable::Events;
    const auto broken = [&](qint64 row, const QString& problem) {
        v->table = name;
        v->rowId = row;
        v->problem = problem;
        return false;
    };
    bool ok = true;
    ChainLink prev{0, genesis()};
    ChainLink head;
    bool hasHead = false;
    if (headsOnRecord) {
        readLink(db, metaKey(table, "checkpoint"), &prev, &ok);
        hasHead = readLink(db, metaKey(table, "head"), &head, &ok);
        if (!ok) return broken(0, QStringLiteral("the record cannot be read"));
    }

    QSqlQuery q(db);
    q.setForwardOnly(true);
    const QString position = QLatin1String(events ? "seq" : "id");
    if (!q.exec(QStringLiteral("SELECT %1, hash FROM %2 %3 ORDER BY %4, id")
                    .arg(chainColumns(table), name,
                         events ? QStringLiteral("WHERE seq IS NOT NULL OR hash IS NOT NULL") : QString(),
                         position)))
        return broken(0, QStringLiteral("the table cannot be read: %1").arg(q.lastError().text()));
    const QList<Column>& cols = columns(table);
    const int hashColumn = int(cols.size());
    const int positionColumn = events ? 1 : 0;
    QVariantList fields;
    qint64 rows = 0;
    while (q.next()) {
        const qint64 id = q.value(0).toLongLong();
        if (q.value(positionColumn).isNull() || q.value(hashColumn).isNull())
            return broken(id, QStringLiteral("it is only half chained (a hash without its place, or a place "
                                             "without a hash): the row was changed"));
        const qint64 at = q.value(positionColumn).toLongLong();
        if (hasHead && at > head.position)
            return broken(id, QStringLiteral("it comes after the newest link on record (%1): the row was "
                                             "added outside the program")
                                  .arg(head.position));
        fields.clear();
        for (int i = 0; i < cols.size(); ++i)
            fields << q.value(i);
        const QByteArray hash = q.value(hashColumn).toString().toLatin1();
        if (chainHash(table, prev.hash, fields) != hash) {
            if (at <= prev.position)
                return broken(id, QStringLiteral("it repeats link %1: a row was inserted or moved").arg(at));
            if (at > prev.position + 1) return broken(id, missing(prev.position + 1, at - 1, "before it"));
            return broken(id, QStringLiteral("its fields do not match its hash: the row was changed, or "
                                             "the one before it replaced"));
        }
        prev = {at, hash};
        ++rows;
    }
    v->rows += rows;
    if (headsOnRecord && rows > 0 && !hasHead)
        return broken(0, QStringLiteral("the newest link is not on record: the record was changed"));
    if (hasHead && head.position > prev.position)
        return broken(0, missing(prev.position + 1, head.position, "at the end"));
    if (hasHead && head.hash != prev.hash)
        return broken(0, QStringLiteral("the newest row does not match the newest link on record"));

    if (!events) return true;
    // Rows outside the chain: only open episodes may be.
    if (!q.exec(QStringLiteral("SELECT id, end_ms, detail FROM events WHERE seq IS NULL AND hash IS NULL "
                               "ORDER BY id")))
        return broken(0, QStringLiteral("the table cannot be read: %1").arg(q.lastError().text()));
    while (q.next()) {
        if (!q.value(1).isNull() && q.value(2).toString() == QLatin1String("open")) {
            ++v->open;
            continue;
        }
        return broken(q.value(0).toLongLong(),
                      QStringLiteral("it is not chained: the row was added outside the program"));
    }
    return true;
}

} // namespace

const char* chainTableName(ChainTable table) {
    switch (table) {
    case ChainTable::Events:
        return "events";
    case ChainTable::Notes:
        return "notes";
    case ChainTable::SignOffs:
        break;
    }
    return "signoffs";
}

QString chainColumns(ChainTable table) {
    QStringList names;
    for (const Column& c : columns(table))
        names << QLatin1String(c.name);
    return names.join(QStringLiteral(", "));
}

QByteArray chainHash(ChainTable table, const QByteArray& previous, const QVariantList& fields) {
    QByteArray input = "zel-chain-1\n";
    input += chainTableName(table);
    input += '\n' + previous + '\n';
    const QList<Column>& cols = columns(table);
    for (int i = 0; i < cols.size(); ++i)
        encode(input, cols[i].type, i < fields.size() ? fields[i] : QVariant());
    return QCryptographicHash::hash(input, QCryptographicHash::Sha256).toHex();
}

QString storableText(const QString& text) {
    return QString::fromUtf8(text.toUtf8());
}

ChainLink chainHead(const QSqlDatabase& db, ChainTable table, bool* ok) {
    if (ok) *ok = true;
    ChainLink link{0, genesis()};
    if (!readLink(db, metaKey(table, "head"), &link, ok)) {
        link = {0, genesis()};
        readLink(db, metaKey(table, "checkpoint"), &link, ok);
    }
    return link;
}

bool setChainHead(const QSqlDatabase& db, ChainTable table, const ChainLink& head) {
    return writeLink(db, metaKey(table, "head"), head);
}

bool setChainCheckpoint(const QSqlDatabase& db, ChainTable table, const ChainLink& last) {
    return writeLink(db, metaKey(table, "checkpoint"), last);
}

QStringList chainSchema() {
    QStringList s = {
        QStringLiteral("CREATE TABLE IF NOT EXISTS notes (id INTEGER PRIMARY KEY, event_id INTEGER NOT NULL,"
                       " time_ms INTEGER NOT NULL, by_name TEXT NOT NULL, text TEXT NOT NULL,"
                       " hash TEXT NOT NULL)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS notes_event ON notes (event_id)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS signoffs (id INTEGER PRIMARY KEY,"
                       " from_ms INTEGER NOT NULL, to_ms INTEGER NOT NULL, time_ms INTEGER NOT NULL,"
                       " by_name TEXT NOT NULL, text TEXT NOT NULL DEFAULT '', hash TEXT NOT NULL)"),
        QStringLiteral("CREATE UNIQUE INDEX IF NOT EXISTS events_seq ON events (seq)"),
    };
    const QString allowed =
        QStringLiteral("NOT EXISTS (SELECT 1 FROM meta WHERE key = '%1')").arg(QLatin1String(RetentionMark));
    s << QStringLiteral("CREATE TRIGGER IF NOT EXISTS events_kept BEFORE UPDATE OF %1, hash ON events"
                        " WHEN old.hash IS NOT NULL BEGIN"
                        " SELECT RAISE(ABORT, 'a chained event is kept as written'); END")
             .arg(chainColumns(ChainTable::Events));
    s << QStringLiteral("CREATE TRIGGER IF NOT EXISTS events_not_deleted BEFORE DELETE ON events"
                        " WHEN old.hash IS NOT NULL AND %1 BEGIN"
                        " SELECT RAISE(ABORT, 'a chained event is kept until retention removes it'); END")
             .arg(allowed);
    for (const auto& [table, noun] :
         {std::pair(ChainTable::Notes, "notes"), std::pair(ChainTable::SignOffs, "sign-offs")}) {
        const QString name = QLatin1String(chainTableName(table));
        s << QStringLiteral("CREATE TRIGGER IF NOT EXISTS %1_kept BEFORE UPDATE OF %2, hash ON %1 BEGIN"
                            " SELECT RAISE(ABORT, '%3 are kept as written: a correction is a new one'); END")
                 .arg(name, chainColumns(table), QLatin1String(noun));
        s << QStringLiteral("CREATE TRIGGER IF NOT EXISTS %1_not_deleted BEFORE DELETE ON %1 WHEN %2 BEGIN"
                            " SELECT RAISE(ABORT, '%3 are kept until retention removes them'); END")
                 .arg(name, allowed, QLatin1String(noun));
    }
    return s;
}

ChainVerdict verifyChain(const QSqlDatabase& db, bool headsOnRecord) {
    ChainVerdict v;
    for (ChainTable table : {ChainTable::Events, ChainTable::Notes, ChainTable::SignOffs}) {
        if (!walk(db, table, headsOnRecord, &v)) return v;
    }
    v.intact = true;
    return v;
}

} // namespace zel
