#pragma once
// zel-central's life: the database read on a thread of its own (SiteReader),
// the view it feeds (SitesView), the page and /api/sites behind the status
// server's gate, and alerts when a site goes stale or comes back.
//
// The HTTP side answers from the last read and never waits for the
// database. A database that cannot be read is told once per outage
// (databaseProblem), shown as a banner on the page and in the API, and read
// again every round; one that does not answer at all for WatchdogMs counts
// as unreachable too, while its reader waits out its timeouts.
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QThread>

#include "central/centralconfig.h"
#include "central/sitesview.h"
#include "core/outputs/web/statusserver.h"

class QTimer;
class QUrl;

namespace zel {

class AlertManager;
class SiteReader;

class CentralService : public QObject {
    Q_OBJECT
public:
    static constexpr int WatchdogMs = 15'000;

    explicit CentralService(const CentralConfig& config, QObject* parent = nullptr);
    ~CentralService() override;

    // Serves and starts reading. False with the reason when the server
    // cannot listen (a non-loopback address without a token, a busy port).
    bool start(QString* error);
    // Stops reading; waits for a reader stuck in the database at most
    // `waitMs`. False when it is still stuck.
    bool stop(int waitMs = 5000);

    quint16 serverPort() const;
    const SitesView& view() const { return m_view; }
    StatusServer* server() const { return m_server; }
    AlertManager* alerts() const { return m_alerts; }

    // One read now, on the reader's thread (tests; the reader's own timer
    // reads every SiteReader::IntervalMs).
    void refreshNow();
    // Counts finished reads, failed ones included.
    int rounds() const { return m_rounds; }
    // How long the reader may go without an answer (WatchdogMs).
    void setWatchdogMs(int ms) { m_watchdogMs = ms; }

    static QByteArray pageHtml();

signals:
    void databaseProblem(const QString& reason); // once per outage
    void databaseBack();
    void refused(const QString& reason); // a newer schema: nothing is read
    void siteStale(const QString& siteId, const QString& siteName, bool stale, const QString& detail);
    void alertSent(const QString& event, const QString& state, const QString& via);
    void alertFailed(const QString& what, const QString& reason);
    void refreshRequested();

private:
    void onSnapshot(const CentralSnapshot& snapshot);
    void onProblem(const QString& reason);
    void checkWatchdog();
    StatusServer::Answer answer(const QUrl& target) const;

    CentralConfig m_config;
    SitesView m_view;
    StatusServer* m_server;
    AlertManager* m_alerts;
    QThread m_thread;
    SiteReader* m_reader = nullptr;
    QTimer* m_watchdog;
    QElapsedTimer m_sinceAnswer;
    int m_watchdogMs = WatchdogMs;
    bool m_away = false;
    int m_rounds = 0;
};

} // namespace zel
