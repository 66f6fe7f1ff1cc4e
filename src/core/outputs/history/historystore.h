#pragma once
// The station's record: one SQLite file in WAL mode, shared by every
// recorder of a process (and readable by another process at the same time).
//
// Failures never stop monitoring. A file that cannot be opened leaves the
// store closed; a damaged or foreign file is moved aside as
// "<file>.damaged-<UTC stamp>" (never deleted) and a new one is started; a
// full disk fails writes until space returns. Each of these is reported once
// through problem(), naming the file and the reason.
#include "core/outputs/history/historytypes.h"

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <memory>

class QSqlQuery;

namespace zel {

class HistoryStore : public QObject {
    Q_OBJECT

public:
    static constexpr int DefaultRetentionDays = 400;

    explicit HistoryStore(QObject* parent = nullptr);
    ~HistoryStore() override;

    // $XDG_DATA_HOME/zel/history.sqlite (normally ~/.local/share/zel/).
    static QString defaultPath();

    // Opens or creates the file (and its folder). False, with problem()
    // emitted, when no usable file could be had.
    bool open(const QString& path);
    void close();
    bool isOpen() const { return m_open; }
    QString path() const { return m_path; }
    // Where the last damaged file was moved to (empty if none).
    QString movedAsidePath() const { return m_movedAside; }

    // Writes in one transaction. Events with id 0 are inserted and get their
    // id; others are updated in place (an episode still running). Minutes
    // replace the row of the same monitor and minute. False when nothing was
    // written (the caller keeps the rows and tries again later).
    bool write(QList<EventRecord>& events, const QList<MinuteRecord>& minutes);

    // Retention. Runs at most once a day: at open and from an hourly check.
    void setRetentionDays(int days);
    int retentionDays() const { return m_retentionDays; }
    // Removes minutes and events older than `cutoffMs`; returns rows removed.
    int removeOlderThan(qint64 cutoffMs);
    // Applies the retention if the last run is a day old or more. Public
    // for tests and for a clock other than the wall clock.
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

    // The Qt SQL connection name, for code that streams a query itself.
    QString connectionName() const { return m_connection; }

signals:
    // A one-time message for the operator: the file and what went wrong.
    void problem(const QString& message);
    // Writing works again after a failure.
    void recovered();

private:
    bool openFile(QString* reason, bool* damaged);
    bool checkSchema(QString* reason, bool* damaged);
    bool moveAside(QString* movedTo);
    void report(const QString& message);
    void handleWriteError(int code, const QString& text);
    void replaceDamagedFile();
    QSqlQuery& statement(std::unique_ptr<QSqlQuery>& slot, const QString& sql);
    void dropStatements();

    QString m_path;
    QString m_connection;
    QString m_movedAside;
    bool m_open = false;
    bool m_writeFailing = false;
    QString m_damage; // found while writing; dealt with before the next write
    int m_retentionDays = DefaultRetentionDays;
    QTimer m_retentionTimer;
    // write() runs every second: its statements are prepared once per file.
    std::unique_ptr<QSqlQuery> m_insertEvent;
    std::unique_ptr<QSqlQuery> m_updateEvent;
    std::unique_ptr<QSqlQuery> m_upsertMinute;
};

} // namespace zel
