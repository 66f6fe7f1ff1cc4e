#pragma once
// A site's record and live state, forwarded to the group's central
// PostgreSQL database.
//
// Everything that touches a database runs on a thread of the forwarder's
// own, with its own connection to the history file (the outbox, see
// CentralOutbox) and its own connection to PostgreSQL, so a slow, absent or
// refusing server never holds the poll. The station hands it the monitors'
// live state every 2 s as plain values; each such tick sends the live rows,
// the site's heartbeat and what the outbox holds, a few hundred rows per
// transaction, the rest of a backlog in further batches with a pause between
// them.
//
// A server that cannot be reached or refuses (down, a wrong password, an
// unknown database, a schema newer than this program's) is tried again
// after 1, 2, 4 ... 30 s; the reason is reported once per outage (again only
// when its kind changes), and the return is reported once. Recording goes on
// locally meanwhile: the outbox keeps everything for later.
#include <QList>
#include <QObject>
#include <QString>
#include <optional>

class QThread;

namespace zel {

class CentralWorker;
struct StationConfig;

struct CentralLive {
    QString monitor; // the central monitor id
    QString name;
    QString link;   // the link state's name ("connected", "reconnecting", ...)
    QString alarms; // the names of the alarms that are on, comma-separated
    std::optional<double> posPercent, negPercent, carrierPercent;
    quint64 packets = 0;
};

// The central key of a monitor whose local rows carry `label` (its id, or
// the port text of a monitor named by its port: made an id the same way).
QString centralMonitorId(const QString& label);
// The site's id: [site] id, or one made from the host name.
QString centralSiteId(const QString& configured);

class CentralForwarder : public QObject {
    Q_OBJECT
public:
    struct Options {
        QString url;
        QString siteId;
        QString siteName;
        QString historyPath; // empty: no outbox, live state only
        int batchRows = 500;
        int batchPauseMs = 10;
    };
    explicit CentralForwarder(const Options& options, QObject* parent = nullptr);
    // Gives the thread a few seconds to finish what it is sending.
    ~CentralForwarder() override;

    const Options& options() const { return m_options; }

    // Starts the thread and the first attempt to connect.
    void start();
    // The monitors' state now; also the tick that sends the outbox.
    void setLive(const QList<CentralLive>& live);
    // Sends what the outbox holds now, waiting up to `timeoutMs` (at exit).
    void finish(int timeoutMs);
    // Tries the server now instead of when the back-off says (tests).
    void retryNow();

signals:
    // A one-time message: the server cannot be used, and why.
    void problem(const QString& message);
    // The server is in use again after a problem.
    void recovered(const QString& message);
    // Rows of the record committed on the server; `more`: a backlog remains.
    void forwarded(int rows, bool more);
    // The next attempt to connect is due in `delayMs`.
    void retryScheduled(int delayMs);
    // A tick (live state and heartbeat) committed on the server.
    void liveSent();

private:
    Options m_options;
    QThread* m_thread = nullptr;
    CentralWorker* m_worker = nullptr;
};

} // namespace zel
