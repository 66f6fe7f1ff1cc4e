#include "core/station/station.h"

#include "core/outputs/alerts/alertdecision.h"
#include "core/outputs/alerts/alertmanager.h"
#include "core/outputs/central/centralforwarder.h"
#include "core/outputs/history/historystore.h"
#include "core/outputs/history/recorder.h"
#include "core/outputs/metrics/metrics.h"
#include "core/outputs/snmp/snmpagent.h"
#include "core/outputs/snmp/snmpvalues.h"
#include "core/outputs/web/statusserver.h"
#include "core/session/monitorsession.h"
#include "core/transport/transportfactory.h"

#include <QDateTime>
#include <limits>

namespace zel {

Station::Station(const StationConfig& config, QObject* parent, MonitorSession* first)
    : QObject(parent)
    , m_config(config) {
    m_history = new HistoryStore(this);
    m_history->setObjectName(QStringLiteral("history"));
    connect(m_history, &HistoryStore::problem, this,
            [this](const QString& m) { emit problem(QStringLiteral("HISTORY"), m); });
    m_monitors.resize(size_t(m_config.monitors.size()));
    for (int i = 0; i < m_config.monitors.size(); ++i) {
        MonitorSession* s = i == 0 && first ? first : new MonitorSession;
        s->setParent(this);
        s->setObjectName(QStringLiteral("session-") + m_config.monitors[i].id);
        s->applySettings(m_config.monitors[i].settings);
        s->setUnattended(m_config.unattended);
        m_monitors[size_t(i)].session = s;
        connect(s, &MonitorSession::portError, this, [this, i](const QString&, const QString& reason) {
            ensureRecorder(i);
            if (Recorder* r = m_monitors[size_t(i)].recorder) r->onPortError(reason);
        });
        trackState(i);
        // SNMP's notifications follow the alert decision, so it needs one too.
        if (m_config.alertsAlways || !m_config.alerts.command.isEmpty() ||
            !m_config.alerts.webhookUrl.isEmpty() || !m_config.snmp.agentx.isEmpty())
            attachAlerts(i);
    }
}

Station::~Station() {
    for (Monitor& m : m_monitors)
        delete m.recorder; // flushes what it holds while the store is still there
}

void Station::trackState(int i) {
    MonitorSession* s = session(i);
    MonitorState* st = &m_monitors[size_t(i)].state;
    st->positiveThreshold = s->positiveThreshold();
    st->negativeThreshold = s->negativeThreshold();
    st->link = s->linkStatus();
    connect(s, &MonitorSession::readingsReceived, this, [st](const Readings& r) {
        st->readings = r;
        st->hasReadings = true;
        st->lastPacketMs = QDateTime::currentMSecsSinceEpoch();
        ++st->packets;
    });
    connect(s, &MonitorSession::packetRejected, this, [st] { ++st->rejected; });
    connect(s, &MonitorSession::linkStatusChanged, this, [st](const LinkStatus& l) {
        if (l.state != LinkState::Connected) st->hasReadings = false;
        st->link = l;
    });
    connect(s, &MonitorSession::alarmEvent, this, [st](const AlarmEvent& e) {
        switch (e.kind) {
        case AlarmKind::Carrier:
        case AlarmKind::AudioLoss:
        case AlarmKind::NoData:
        case AlarmKind::LinkLost:
            if (e.kind == AlarmKind::LinkLost && e.on && !st->alarm(AlarmKind::LinkLost)) ++st->linkLosses;
            st->alarms[size_t(e.kind)] = e.on;
            break;
        default: // the flashers count by their episodes
            break;
        }
    });
    connect(s, &MonitorSession::episode, this, [st](const Episode& e) {
        st->alarms[size_t(e.kind)] = e.open;
        if (!e.open) return;
        if (e.kind == AlarmKind::Pos125) ++st->episodesPos125;
        if (e.kind == AlarmKind::Neg100) ++st->episodesNeg100;
    });
    connect(s, &MonitorSession::thresholdsChanged, this, [st](int pos, int neg) {
        st->positiveThreshold = pos;
        st->negativeThreshold = neg;
    });
}

QString Station::label(int i) const {
    const MonitorConfig& m = m_config.monitors[i];
    return m.fromPort ? m_monitors[size_t(i)].session->configuredPort() : m.label;
}

void Station::openOutputs() {
    if (m_config.history.enabled && !m_history->isOpen()) {
        if (m_config.history.retentionDays > 0) m_history->setRetentionDays(m_config.history.retentionDays);
        m_history->open(m_config.history.path.isEmpty() ? HistoryStore::defaultPath()
                                                        : m_config.history.path);
        for (int i = 0; i < monitorCount(); ++i) {
            ensureRecorder(i);
            // The record follows the port in use: a new one when it changes.
            connect(session(i), &MonitorSession::activeChanged, this, [this, i](bool active) {
                if (active) ensureRecorder(i);
            });
        }
    }
    if (m_config.http.enabled && !m_server) {
        m_server = new StatusServer(this);
        m_server->setObjectName(QStringLiteral("statusServer"));
        if (!m_server->listen(m_config.http.address, m_config.http.port, m_config.http.token)) {
            emit problem(QStringLiteral("STATUS PAGE"), m_server->errorString());
            delete m_server;
            m_server = nullptr;
        } else {
            attachStatusServer();
            m_server->setMetricsSource([this] { return metricsText(); });
        }
    }
    if (!m_config.snmp.agentx.isEmpty() && !m_snmp) startSnmp();
    if (!m_config.central.url.isEmpty() && !m_central) startCentral();
}

void Station::startCentral() {
    CentralForwarder::Options o;
    o.url = m_config.central.url;
    o.siteId = centralSiteId(m_config.siteId);
    o.siteName = m_config.siteName;
    if (m_history->isOpen()) o.historyPath = m_history->path();
    m_central = new CentralForwarder(o, this);
    m_central->setObjectName(QStringLiteral("central"));
    connect(m_central, &CentralForwarder::problem, this,
            [this](const QString& m) { emit problem(QStringLiteral("CENTRAL"), m); });
    connect(m_central, &CentralForwarder::recovered, this,
            [this](const QString& m) { emit recovered(QStringLiteral("CENTRAL"), m); });
    m_central->start();
    // The live state and the heartbeat every 2 s; each also sends what the
    // record gained meanwhile.
    m_centralLive = new QTimer(this);
    m_centralLive->setObjectName(QStringLiteral("tmrCentralLive"));
    m_centralLive->setInterval(2000);
    connect(m_centralLive, &QTimer::timeout, this, &Station::sendCentralLive);
    m_centralLive->start();
    sendCentralLive();
}

void Station::sendCentralLive() {
    QList<CentralLive> live;
    for (int i = 0; i < monitorCount(); ++i) {
        const MonitorState& st = m_monitors[size_t(i)].state;
        const QString key = label(i);
        if (key.isEmpty()) continue; // the panel before a port is chosen
        CentralLive l;
        l.monitor = centralMonitorId(key);
        l.name = m_config.monitors[i].fromPort ? key : m_config.monitors[i].name;
        l.link = QLatin1String(linkStateName(st.link.state));
        QStringList on;
        for (size_t k = 0; k < st.alarms.size(); ++k)
            if (st.alarms[k]) on << QLatin1String(alarmKindName(AlarmKind(k)));
        l.alarms = on.join(u',');
        if (st.hasReadings) {
            l.posPercent = positionToPercent(st.readings.posPeak);
            l.negPercent = positionToPercent(st.readings.negPeak);
            l.carrierPercent = positionToPercent(st.readings.carrierLevel);
        }
        l.packets = st.packets;
        live << l;
    }
    m_central->setLive(live);
}

void Station::ensureRecorder(int i) {
    if (!m_history || !m_history->isOpen()) return;
    Monitor& m = m_monitors[size_t(i)];
    const QString key = label(i);
    // A text that names no port is never a monitor of the record.
    if (key.isEmpty() || !isPortText(m.session->configuredPort())) return;
    if (m.recorder && m.recorder->monitor() == key) return;
    delete m.recorder; // flushes what it holds
    MonitorSession* s = m.session;
    auto* r = new Recorder(m_history, key, s);
    r->setObjectName(QStringLiteral("recorder"));
    connect(s, &MonitorSession::readingsReceived, r, &Recorder::onReadings);
    connect(s, &MonitorSession::packetRejected, r, &Recorder::onRejectedPacket);
    connect(s, &MonitorSession::linkEvent, r, &Recorder::onLinkEvent);
    connect(s, &MonitorSession::alarmEvent, r, &Recorder::onAlarmEvent);
    connect(s, &MonitorSession::episode, r, &Recorder::onEpisode);
    // The store's problems reach the front end once, from the store.
    m.recorder = r;
}

void Station::attachAlerts(int i) {
    MonitorSession* s = session(i);
    auto* a = new AlertManager(s);
    a->setObjectName(QStringLiteral("alerts"));
    a->setSettings(m_config.alerts);
    a->setPortText(s->configuredPort());
    a->setMonitor(m_config.monitors[i].id, m_config.monitors[i].name);
    a->setStation(m_config.siteName);
    m_monitors[size_t(i)].alerts = a;
    connect(s, &MonitorSession::alarmEvent, a, &AlertManager::onAlarmEvent);
    connect(s, &MonitorSession::episode, a, &AlertManager::onEpisode);
    connect(s, &MonitorSession::readingsReceived, a, &AlertManager::onReadings);
    connect(s, &MonitorSession::linkEvent, a, [a, s](const LinkEvent& e) {
        a->setPortText(s->configuredPort());
        a->onLinkEvent(e);
    });
    connect(a, &AlertManager::alertSent, this,
            [this, i](const QString& event, const QString& state, const QString& via) {
                ++m_monitors[size_t(i)].state.alertsSent;
                emit alertSent(i, event, state, via);
            });
    connect(a, &AlertManager::alertFailed, this, [this, i](const QString& what, const QString& reason) {
        ++m_monitors[size_t(i)].state.alertsFailed;
        emit alertFailed(i, what, reason);
    });
    connect(a, &AlertManager::notify, this, &Station::notify);
    connect(a, &AlertManager::alertDecided, this, [this, i](const AlertDecision& d) { onDecision(i, d); });
}

void Station::attachStatusServer() {
    StatusServer* server = m_server;
    server->setSite(m_config.siteId, m_config.siteName);
    for (int i = 0; i < monitorCount(); ++i) {
        MonitorSession* s = session(i);
        const MonitorConfig& m = m_config.monitors[i];
        const QString id = m.id;
        server->addMonitor(id, m.name.isEmpty() ? s->configuredPort() : m.name, s->configuredPort());
        connect(s, &MonitorSession::readingsReceived, server,
                [server, id](const Readings& r) { server->onReadings(id, r); });
        connect(s, &MonitorSession::packetRejected, server, [server, id] { server->onPacketRejected(id); });
        connect(s, &MonitorSession::alarmEvent, server,
                [server, id](const AlarmEvent& e) { server->onAlarmEvent(id, e); });
        connect(s, &MonitorSession::episode, server,
                [server, id](const Episode& e) { server->onEpisode(id, e); });
        connect(s, &MonitorSession::linkStatusChanged, server, [this, server, s, i, id](const LinkStatus& l) {
            const MonitorConfig& m = m_config.monitors[i];
            // A monitor named by its port follows the port in use.
            if (m.fromPort) server->addMonitor(id, s->configuredPort(), s->configuredPort());
            server->onLinkStatus(id, l);
        });
        server->onLinkStatus(id, s->linkStatus());
    }
    HistoryStore* store = m_history;
    if (!store) return;
    server->setEventSource([this, store](const QString& monitorId, qint64 sinceMs) {
        QList<StatusEvent> out;
        if (!store->isOpen()) return out;
        int index = -1;
        for (int i = 0; i < monitorCount(); ++i)
            if (m_config.monitors[i].id == monitorId) index = i;
        if (index < 0) return out;
        const QList<EventRecord> events =
            store->events(sinceMs, std::numeric_limits<qint64>::max() / 2, {}, label(index), 100);
        for (const EventRecord& e : events) {
            StatusEvent ev;
            ev.timeMs = e.timeMs;
            ev.event = e.kind;
            ev.state = e.on ? (*e.on ? QStringLiteral("on") : QStringLiteral("off")) : QString();
            ev.detail = e.detail;
            if (e.kind == QLatin1String(EventKind::Link)) { // recorded as "state: reason"
                ev.state = e.detail.section(QStringLiteral(": "), 0, 0);
                ev.detail = e.detail.section(QStringLiteral(": "), 1);
            }
            out.append(ev);
        }
        return out;
    });
}

void Station::onDecision(int i, const AlertDecision& d) {
    if (!d.kind) return; // a test alert is for the alert's own ways
    Monitor& m = m_monitors[size_t(i)];
    m.decided[size_t(*d.kind)] = d.on;
    if (!m_snmp) return;
    updateSnmpRows();
    SnmpNotification n;
    n.index = i + 1;
    n.timeMs = d.timeMs;
    n.readings = d.readings.value_or(Readings{});
    n.detail = d.detail;
    n.linkState = m.state.link.state;
    if (*d.kind == AlarmKind::LinkLost) {
        n.type = d.on ? SnmpNotification::Type::LinkLost : SnmpNotification::Type::LinkBack;
    } else {
        n.type = d.on ? SnmpNotification::Type::AlarmRaised : SnmpNotification::Type::AlarmCleared;
        n.alarm = *d.kind;
    }
    m_snmp->notify(n);
}

void Station::startSnmp() {
    m_snmp = new SnmpAgent(this);
    m_snmp->setObjectName(QStringLiteral("snmp"));
    connect(m_snmp, &SnmpAgent::problem, this,
            [this](const QString& m) { emit problem(QStringLiteral("SNMP"), m); });
    if (!m_config.snmp.oid.isEmpty() && !m_snmp->setBaseOid(m_config.snmp.oid))
        emit problem(QStringLiteral("SNMP"),
                     QStringLiteral("\"%1\" is not an OID; using %2")
                         .arg(m_config.snmp.oid, QLatin1String(SnmpAgent::DefaultBaseOid)));
    m_snmp->setSite(m_config.siteId, m_config.siteName, QStringLiteral(ZEL_VERSION));
    m_snmp->setMonitorCount(monitorCount());
    updateSnmpRows();
    m_snmp->start(m_config.snmp.agentx);
    // The table follows the readings a second at a time; alarms and the link
    // at once.
    m_snmpRefresh = new QTimer(this);
    m_snmpRefresh->setObjectName(QStringLiteral("tmrSnmpRows"));
    m_snmpRefresh->setInterval(1000);
    connect(m_snmpRefresh, &QTimer::timeout, this, &Station::updateSnmpRows);
    m_snmpRefresh->start();
    for (int i = 0; i < monitorCount(); ++i)
        connect(session(i), &MonitorSession::linkStatusChanged, this, [this] { updateSnmpRows(); });
}

void Station::updateSnmpRows() {
    if (!m_snmp) return;
    for (int i = 0; i < monitorCount(); ++i) {
        const Monitor& m = m_monitors[size_t(i)];
        const MonitorState& st = m.state;
        SnmpRow row;
        row.id = m_config.monitors[i].id;
        row.name = m_config.monitors[i].name;
        row.port = m.session->configuredPort();
        row.linkState = st.link.state;
        row.lastPacketMs = st.lastPacketMs > 0 ? st.lastPacketMs : -1;
        row.readings = st.readings;
        for (size_t k = 0; k < row.alarms.size() && k < m.decided.size(); ++k)
            row.alarms[k] = m.decided[k];
        row.packets = st.packets;
        row.rejectedPackets = st.rejected;
        row.pos125Episodes = quint32(st.episodesPos125);
        row.neg100Episodes = quint32(st.episodesNeg100);
        row.linkLosses = quint32(st.linkLosses);
        row.posThreshold = st.positiveThreshold;
        row.negThreshold = st.negativeThreshold;
        m_snmp->setRow(i + 1, row);
    }
}

QByteArray Station::metricsText() const {
    MetricsSnapshot snap;
    snap.siteId = m_config.siteId;
    snap.version = QStringLiteral(ZEL_VERSION);
    for (int i = 0; i < monitorCount(); ++i) {
        const Monitor& m = m_monitors[size_t(i)];
        const MonitorState& st = m.state;
        MetricsMonitor mm;
        mm.id = m_config.monitors[i].id;
        mm.name = m_config.monitors[i].name;
        mm.linkState = st.link.state;
        mm.lastPacketMs = st.lastPacketMs > 0 ? st.lastPacketMs : -1;
        mm.readings = st.readings;
        for (size_t k = 0; k < mm.alarms.size() && k < st.alarms.size(); ++k)
            mm.alarms[k] = m.alerts ? m.decided[k] : st.alarms[k];
        mm.posThreshold = st.positiveThreshold;
        mm.negThreshold = st.negativeThreshold;
        mm.packets = st.packets;
        mm.rejectedPackets = st.rejected;
        mm.pos125Episodes = st.episodesPos125;
        mm.neg100Episodes = st.episodesNeg100;
        mm.linkLosses = st.linkLosses;
        mm.alertsSent = st.alertsSent;
        mm.alertsFailed = st.alertsFailed;
        snap.monitors.append(mm);
    }
    return zel::metricsText(snap);
}

void Station::setOutputs(const StationConfig& config) {
    const QList<MonitorConfig> monitors = m_config.monitors;
    m_config = config;
    m_config.monitors = monitors;
    setAlertSettings(m_config.alerts);
    for (Monitor& m : m_monitors)
        if (m.alerts) m.alerts->setStation(m_config.siteName);
}

void Station::setSiteName(const QString& name) {
    m_config.siteName = name;
    for (Monitor& m : m_monitors)
        if (m.alerts) m.alerts->setStation(name);
    if (m_server) m_server->setSite(m_config.siteId, name);
    if (m_snmp) m_snmp->setSite(m_config.siteId, name, QStringLiteral(ZEL_VERSION));
}

void Station::setAlertSettings(const AlertSettings& settings) {
    m_config.alerts = settings;
    for (Monitor& m : m_monitors)
        if (m.alerts) m.alerts->setSettings(settings);
}

void Station::sendTestAlert(int i) {
    if (AlertManager* a = alerts(i)) a->sendTestAlert();
}

void Station::start() {
    for (Monitor& m : m_monitors)
        m.session->connectLink();
}

void Station::stop() {
    for (Monitor& m : m_monitors)
        m.session->shutDown();
    for (Monitor& m : m_monitors)
        if (m.recorder) m.recorder->flush();
    if (m_central) {
        // The last rows (the link going off-line) reach the central record
        // before the process ends, if the server takes them soon.
        m_centralLive->stop();
        sendCentralLive();
        if (m_history->isOpen()) m_history->sync(3000);
        m_central->finish(5000);
    }
}

} // namespace zel
