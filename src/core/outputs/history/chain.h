#pragma once
// Tamper evidence for the station's record: every event, note and sign-off
// row carries a SHA-256 hash chained to the row before it, so a row edited,
// removed, inserted or moved on file breaks the chain from that row on.
//
// Three chains, one per table, each in the order its rows were written:
// - notes and sign-offs are only ever appended, so their chain runs in id
//   order;
// - an event is chained when it is final. Most events are final when they
//   are written; a peak episode is written open at its first packet and
//   completed in place when it ends, so its row is chained then, not
//   before: its hash covers the episode as it ended, and nothing already
//   chained is ever rewritten. The order of finality is kept in `seq`
//   (1, 2, 3 ...), so the events chain runs in `seq` order. An open episode
//   (detail "open") carries neither seq nor hash until it ends; one left
//   open by a program that was killed stays so, and is reported as open.
//
// A row's hash is SHA-256 over a version tag, the table's name, the previous
// link's hash (64 zeros before the first) and the row's fields, each column
// of a fixed list (chainColumns()) encoded with its type: NULL, an integer,
// a real in round-trip precision, or text as UTF-8 with its length. Columns
// other code adds to these tables are not covered.
//
// `meta` keeps each chain's head (the newest link: position and hash), so
// that removing the newest rows shows too, and, once retention has removed
// the oldest rows, its checkpoint: the last removed link, from which the
// rest of the chain still verifies.
//
// Triggers refuse an UPDATE of a chained row's covered columns and any
// DELETE of a chained row (notes and sign-offs: of any row), except by
// retention, which marks its own transaction in `meta`. They stop mistakes,
// not a forger: anyone who can write the file can recompute the whole chain.
// What the chain proves is that the record matches a copy of its hashes
// kept elsewhere (the central record, a verified head noted down).
#include <QByteArray>
#include <QSqlDatabase>
#include <QString>
#include <QVariantList>

namespace zel {

enum class ChainTable { Events, Notes, SignOffs };

// The table's name in the file ("events", "notes", "signoffs").
const char* chainTableName(ChainTable table);
// The covered columns, in hash order, joined by ", " for a SELECT.
QString chainColumns(ChainTable table);

// A link: its position (events: seq; notes and sign-offs: id) and hash.
struct ChainLink {
    qint64 position = 0;
    QByteArray hash; // lowercase hex; 64 zeros before the first row
};

// The hash of a row whose covered columns hold `fields` (in chainColumns()
// order), chained to `previous`.
QByteArray chainHash(ChainTable table, const QByteArray& previous, const QVariantList& fields);

// Text as the file keeps it: what cannot go through UTF-8 unchanged is
// replaced first, so that the hash of the written text is the hash of the
// read one.
QString storableText(const QString& text);

// The chain's head and checkpoint in `meta`, on `db` (inside the caller's
// transaction when writing). A missing head is the checkpoint, or the start.
ChainLink chainHead(const QSqlDatabase& db, ChainTable table, bool* ok = nullptr);
bool setChainHead(const QSqlDatabase& db, ChainTable table, const ChainLink& head);
bool setChainCheckpoint(const QSqlDatabase& db, ChainTable table, const ChainLink& last);

// The statements that add the chain to a file: tables, index, triggers.
QStringList chainSchema();
// The `meta` key that retention sets while it deletes (and no one else).
inline constexpr char RetentionMark[] = "retention_running";

struct ChainVerdict {
    bool intact = false;
    qint64 rows = 0;  // chained rows checked
    qint64 open = 0;  // open episodes, not chained yet
    QString table;    // where it breaks
    qint64 rowId = 0; // the first row that breaks the chain (0: none, e.g. the newest removed)
    QString problem;  // what is wrong there, or why the file could not be read
};
// Checks every chain of the record open on `db`. `headsOnRecord` false reads
// a copy without `meta` (the central record): each chain is walked from its
// first row, and rows removed from its end cannot show.
ChainVerdict verifyChain(const QSqlDatabase& db, bool headsOnRecord = true);

} // namespace zel
