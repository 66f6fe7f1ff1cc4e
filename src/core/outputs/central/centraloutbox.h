#pragma once
// The local history file as the central record's outbox.
//
// The history store inserts events, completes an episode's row in place when
// it ends and adds each second's part of a minute to its row, so neither the
// row id nor the time says what changed since the last send. Triggers of our
// own stamp every inserted or updated row of `events` and `minutes` with the
// next number of a counter (column `fwd_seq`); the highest number sent to a
// central database is kept in the file's `meta` table, written only after
// the central transaction committed. A crash between the two sends the rows
// again, which the central keys make harmless. `notes` and `signoffs` are
// append-only, so their id is their mark; they (and the rows' `hash`) are
// sent where the file has them.
//
// The marks belong to one central database and site (the "target"): a file
// forwarded to a new one starts from its first row, as does a file written
// before forwarding was configured (its rows are stamped when the column is
// added).
#include <QList>
#include <QString>
#include <QVariant>
#include <sys/types.h>

namespace zel {

// Rows read for one send, each in the central table's column order after
// site and monitor. The marks are what each table's mark becomes once the
// rows are on the central database.
struct OutboxBatch {
    QList<QVariantList> events;   // local_id, time_ms, end_ms, kind, on_off, detail, packets, extreme,
                                  // threshold, pos_pct, neg_pct, carrier, hash
    QStringList eventMonitors;    // the local monitor text of each event
    QList<QVariantList> minutes;  // minute_ms, packets ... up_s
    QStringList minuteMonitors;   // likewise
    QList<QVariantList> notes;    // local_id, event_id, time_ms, by_name, text, hash
    QList<QVariantList> signoffs; // local_id, from_ms, to_ms, time_ms, by_name, text, hash
    qint64 marks[4] = {0, 0, 0, 0};
    bool full = false; // a table had more rows than were read
    int size() const { return int(events.size() + minutes.size() + notes.size() + signoffs.size()); }
};

class CentralOutbox {
public:
    // `connection`: the Qt SQL connection name this outbox uses (one thread).
    explicit CentralOutbox(const QString& connection);
    ~CentralOutbox();
    CentralOutbox(const CentralOutbox&) = delete;
    CentralOutbox& operator=(const CentralOutbox&) = delete;

    // Opens `path` (an existing history file) and sets up the counter, the
    // column and the triggers where they are missing. `target` names the
    // central database and site; marks of another target are started afresh.
    bool open(const QString& path, const QString& target, QString* error);
    void close();
    bool isOpen() const { return m_open; }
    // The path now names another file (the store moved a damaged one aside
    // and started anew) or none.
    bool fileReplaced() const;

    // Up to `limit` rows of each table past its mark, oldest change first.
    bool read(int limit, OutboxBatch* batch, QString* error);
    // Stores the batch's marks: its rows are on the central database.
    bool commit(const OutboxBatch& batch, QString* error);

private:
    bool setUp(const QString& target, QString* error);
    bool hasTable(const QString& table) const;
    bool hasColumn(const QString& table, const QString& column) const;

    QString m_connection;
    QString m_path;
    bool m_open = false;
    ino_t m_inode = 0;
    bool m_hasNotes = false;
    bool m_hasSignoffs = false;
    bool m_eventHash = false;
    bool m_noteHash = false;
    bool m_signoffHash = false;
    qint64 m_marks[4] = {0, 0, 0, 0};
};

} // namespace zel
