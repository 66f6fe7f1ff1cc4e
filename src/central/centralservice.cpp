#include "central/centralservice.h"

#include "central/sitereader.h"
#include "core/outputs/alerts/alertmanager.h"
#include "core/types/types.h"

#include <QDateTime>
#include <QTimer>
#include <QUrl>

namespace zel {

namespace {

AlertSettings alertSettings(const CentralConfig& c) {
    AlertSettings s;
    s.command = c.alertCommand;
    s.webhookUrl = c.webhookUrl;
    return s;
}

} // namespace

CentralService::CentralService(const CentralConfig& config, QObject* parent)
    : QObject(parent)
    , m_config(config)
    , m_view(config.staleAfterS)
    , m_server(new StatusServer(this))
    , m_alerts(new AlertManager(this))
    , m_watchdog(new QTimer(this)) {
    m_alerts->setSettings(alertSettings(config));
    connect(m_alerts, &AlertManager::alertSent, this, &CentralService::alertSent);
    connect(m_alerts, &AlertManager::alertFailed, this, &CentralService::alertFailed);
    m_server->setHandler([this](const QUrl& target) { return answer(target); });
    m_watchdog->setObjectName(QStringLiteral("tmrWatchdog"));
    m_watchdog->setInterval(1000);
    connect(m_watchdog, &QTimer::timeout, this, &CentralService::checkWatchdog);
    m_thread.setObjectName(QStringLiteral("zel-central-reader"));
}

CentralService::~CentralService() {
    stop();
}

bool CentralService::start(QString* error) {
    if (!m_server->listen(m_config.httpAddress, m_config.httpPort, m_config.token)) {
        *error = m_server->errorString();
        return false;
    }
    m_reader = new SiteReader(m_config.databaseUrl);
    m_reader->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_reader, &QObject::deleteLater);
    connect(&m_thread, &QThread::started, m_reader, &SiteReader::start);
    connect(this, &CentralService::refreshRequested, m_reader, &SiteReader::refresh);
    connect(m_reader, &SiteReader::snapshot, this, &CentralService::onSnapshot);
    connect(m_reader, &SiteReader::problem, this, &CentralService::onProblem);
    connect(m_reader, &SiteReader::refused, this, [this](const QString& reason) {
        ++m_rounds;
        m_sinceAnswer.start();
        emit refused(reason);
    });
    m_sinceAnswer.start();
    m_thread.start();
    m_watchdog->start();
    return true;
}

bool CentralService::stop(int waitMs) {
    m_watchdog->stop();
    m_server->close();
    if (!m_thread.isRunning()) return true;
    m_thread.quit();
    return m_thread.wait(QDeadlineTimer(waitMs));
}

quint16 CentralService::serverPort() const {
    return m_server->serverPort();
}

void CentralService::refreshNow() {
    emit refreshRequested();
}

void CentralService::onSnapshot(const CentralSnapshot& snapshot) {
    ++m_rounds;
    m_sinceAnswer.start();
    if (m_away) {
        m_away = false;
        emit databaseBack();
    }
    for (const SitesView::StaleChange& c : m_view.update(snapshot)) {
        const QString seen = c.lastSeenMs ? formatLocalTime(*c.lastSeenMs) : QStringLiteral("never");
        const QString detail = c.stale ? QStringLiteral("site %1: no heartbeat for over %2 s (last %3)")
                                             .arg(c.siteId)
                                             .arg(m_view.staleAfterS())
                                             .arg(seen)
                                       : QStringLiteral("site %1: heartbeat again (%2)").arg(c.siteId, seen);
        emit siteStale(c.siteId, c.siteName, c.stale, detail);
        AlertDecision alert;
        alert.event = QStringLiteral("site-stale");
        alert.on = c.stale;
        alert.timeMs = c.timeMs;
        alert.detail = detail;
        alert.station = c.siteName.isEmpty() ? c.siteId : c.siteName;
        m_alerts->send(alert);
    }
}

void CentralService::onProblem(const QString& reason) {
    ++m_rounds;
    m_sinceAnswer.start();
    m_view.setDatabaseProblem(reason, QDateTime::currentMSecsSinceEpoch());
    if (!m_away) {
        m_away = true;
        emit databaseProblem(reason);
    }
}

// The reader is stuck in a call to the database (a server that stopped
// answering without closing): the page says so rather than showing old
// state as current.
void CentralService::checkWatchdog() {
    if (m_sinceAnswer.elapsed() < m_watchdogMs) return;
    const QString reason =
        QStringLiteral("the database has not answered for %1 s").arg(m_sinceAnswer.elapsed() / 1000);
    m_view.setDatabaseProblem(reason, QDateTime::currentMSecsSinceEpoch() - m_sinceAnswer.elapsed());
    if (!m_away) {
        m_away = true;
        emit databaseProblem(reason);
    }
}

StatusServer::Answer CentralService::answer(const QUrl& target) const {
    const QString path = target.path();
    if (path == u"/")
        return {200,
                "text/html; charset=utf-8",
                pageHtml(),
                {{"Referrer-Policy", "no-referrer"},
                 {"Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'; "
                                             "script-src 'unsafe-inline'; connect-src 'self'; "
                                             "frame-ancestors 'none'"}}};
    if (path == u"/api/sites") return {200, "application/json", m_view.sitesJson(), {}};
    return {404, "text/plain", "not found\n", {}};
}

} // namespace zel
