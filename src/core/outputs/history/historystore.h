#pragma once
// The station's record: one SQLite file in WAL mode, shared by every
// recorder of a process (and readable by another process at the same time).
//
// Writes never wait on the caller's thread: write() hands the rows to a
// writer thread with a connection of its own, which keeps them while the
// file is busy (another program holds its write lock), full or failing, and
// writes them when it can. Queries run on the caller's thread; in WAL mode
// they never wait for a writer.
//
// Failures never stop monitoring. A file that cannot be opened leaves the
// store closed; a damaged or foreign file is moved aside as
// "<file>.damaged-<UTC stamp>" (never deleted) and a new one is started; a
// full disk (or a file-size limit, ulimit -f) fails writes until space
// returns. Each of these is reported once through problem(), naming the
// file and the reason.
#include "core/outputs/history/historytypes.h"

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVariantList>
#include <memory>
#include <optional>

class QThread;

namespace zel {

class HistoryWriter;
enum class ChainTable;

// `[history] retentionDays` as written in a settings file: a whole number
// of days, 1 or more. Anything else gives no value and, in *error, a message
// naming `file` and the key (the caller keeps the default).
std::optional<int> parseRetentionDays(const QString& text, QString* error, const QString& file = {});
// A retention setting against the two-year rule: the earlier default (400
// days, never a choice) becomes the current default, with a line in
// *notice; fewer than two years is kept as set, with *warning naming the rule.
int checkRetentionDays(int days, QString* warning, QString* notice);

class HistoryStore : public QObject {
    Q_OBJECT

public:
    // Two years of records, and a margin.
    static constexpr int DefaultRetentionDays = 800;
    static constexpr int EarlierDefaultRetentionDays = 400;
    static constexpr int TwoYearsDays = 730;
    // Limits on a note's or sign-off's name and text, in characters.
    static constexpr int MaxNameLength = 200;
    static constexpr int MaxTextLength = 10'000;

    explicit HistoryStore(QObject* parent = nullptr);
    ~HistoryStore() override;

    // $XDG_DATA_HOME/zel/history.sqlite (normally ~/.local/share/zel/).
    static QString defaultPath();

    // Opens or creates the file (and its folder). A file another program is
    // creating at the same moment is tried again, with growing pauses, for a
    // few seconds. False, with problem() emitted, when no usable file could
    // be had.
    bool open(const QString& path);
    // Writes what is still queued (waiting a few seconds at most), then
    // closes.
    void close();
    bool isOpen() const { return m_open; }
    QString path() const { return m_path; }
    // Where the last damaged file was moved to (empty if none).
    QString movedAsidePath() const { return m_movedAside; }

    // Queues rows for the writer thread and returns at once; false when the
    // store is not open (the caller may keep the rows). Events are inserted
    // and chained (see chain.h), except that an open episode already on
    // file (the same monitor, kind and start) is completed in place, and a
    // chained one is never written over. Minutes add to the row of the same
    // monitor and minute (mergeMinute()).
    bool write(const QList<EventRecord>& events, const QList<MinuteRecord>& minutes);
    // Waits until everything queued so far is on file (true), or the file
    // refuses it (false, e.g. a full disk) or `timeoutMs` passes. For exit
    // and for tests; also delivers the writer's pending messages.
    bool sync(int timeoutMs = 10'000);

    // Retention. Runs at most once a day: at open and from an hourly check.
    void setRetentionDays(int days);
    int retentionDays() const { return m_retentionDays; }
    // Queues the retention if the last run is a day old or more. Public for
    // tests and for a clock other than the wall clock.
    void applyRetentionIfDue(qint64 nowMs);

    // Queries. An empty monitor means every monitor. Events newest first.
    QStringList monitors() const;
    QList<EventRecord> events(qint64 fromMs, qint64 toMs, const QStringList& kinds = {},
                              const QString& monitor = {}, int limit = -1) const;
    QList<MinuteRecord> minutes(qint64 fromMs, qint64 toMs, const QString& monitor = {}) const;
    // The chart's series for [fromMs, toMs), in buckets of whole minutes so
    // that at most about `maxPoints` points are drawn.
    ChartSeries chartSeries(qint64 fromMs, qint64 toMs, const QString& monitor = {},
                            int maxPoints = 1500) const;

    // Reads through `connection`, an open connection of this thread that
    // shows tables of the file's names and columns (the central record's
    // views of one site), instead of a file; nothing is written. `name`
    // stands where the file's path would. The store closes it with itself.
    bool adoptConnection(const QString& connection, const QString& name);

    // Operators' notes and review sign-offs, chained (see chain.h), never
    // changed or removed but by retention. Written at once, on the file
    // (waiting a few seconds at most for another program's write); false
    // with the reason in *error: an unknown event, an empty name or text, a
    // period that ends before it begins or has not begun, a file that
    // cannot be written. A sign-off's period is [fromMs, toMs).
    bool addNote(qint64 eventId, const QString& by, const QString& text, QString* error = nullptr);
    bool signOff(qint64 fromMs, qint64 toMs, const QString& by, const QString& text,
                 QString* error = nullptr);
    // The notes on the events of [fromMs, toMs) (of one monitor, or all),
    // in the order written.
    QList<NoteRecord> notes(qint64 fromMs, qint64 toMs, const QString& monitor = {}) const;
    // The sign-offs whose period overlaps [fromMs, toMs), in the order written.
    QList<SignOffRecord> signOffs(qint64 fromMs, qint64 toMs) const;

    // The Qt SQL connection name (reading, on this object's thread), for
    // code that streams a query itself.
    QString connectionName() const { return m_connection; }

signals:
    // A one-time message for the operator: the file and what went wrong.
    void problem(const QString& message);
    // Writing works again after a failure.
    void recovered();

private:
    friend class HistoryWriter;
    void appendChained(ChainTable table, qint64 eventId, const QVariantList& fields, QString* why);
    bool openFile(QString* reason, bool* damaged, bool* busy);
    bool openFileRetrying(QString* reason, bool* damaged);
    bool checkSchema(QString* reason, bool* damaged, bool* busy);
    bool moveAside(QString* movedTo);
    void report(const QString& message);
    void replaceDamagedFile(const QString& text);
    void startWriter();
    void stopWriter();
    void closeReader();

    QString m_path;
    QString m_connection;
    QString m_movedAside;
    bool m_open = false;
    int m_retentionDays = DefaultRetentionDays;
    QTimer m_retentionTimer;
    QThread* m_thread = nullptr;
    HistoryWriter* m_writer = nullptr; // lives in m_thread
};

} // namespace zel
