#include "core/session/services.h"

#include "core/link/linkcontroller.h"
#include "core/monitor/monitormodel.h"
#include "core/outputs/alerts/alertmanager.h"
#include "core/outputs/history/historystore.h"
#include "core/outputs/history/recorder.h"
#include "core/outputs/web/statusserver.h"
#include "core/session/monitorsession.h"

namespace zel {

QString monitorName(const MonitorSession* session) {
    const ConnectionSettings& c = session->link()->connectionSettings();
    return (c.modemLink ? c.modemPort : c.directPort).trimmed();
}

Recorder* attachRecorder(MonitorSession* session, HistoryStore* store) {
    auto* r = new Recorder(store, monitorName(session), session);
    r->setObjectName(QStringLiteral("recorder"));
    QObject::connect(session, &MonitorSession::readingsReceived, r, &Recorder::onReadings);
    QObject::connect(session, &MonitorSession::packetRejected, r, &Recorder::onRejectedPacket);
    QObject::connect(session, &MonitorSession::linkEvent, r, &Recorder::onLinkEvent);
    QObject::connect(session, &MonitorSession::alarmEvent, r, &Recorder::onAlarmEvent);
    QObject::connect(session->model(), &MonitorModel::thresholdsChanged, r, &Recorder::setThresholds);
    r->setThresholds(session->model()->positiveThreshold(), session->model()->negativeThreshold());
    return r;
}

AlertManager* attachAlerts(MonitorSession* session, const AlertSettings& settings) {
    auto* a = new AlertManager(session);
    a->setObjectName(QStringLiteral("alerts"));
    a->setSettings(settings);
    a->setPortText(monitorName(session));
    QObject::connect(session, &MonitorSession::alarmEvent, a, &AlertManager::onAlarmEvent);
    QObject::connect(session, &MonitorSession::linkEvent, a, [a, session](const LinkEvent& e) {
        a->setPortText(monitorName(session));
        a->onLinkEvent(e);
    });
    return a;
}

void attachStatusServer(MonitorSession* session, StatusServer* server, HistoryStore* store) {
    // Until the station feeds it: one monitor, its link status from the link's events.
    const QString id = QStringLiteral("monitor-1");
    server->addMonitor(id, monitorName(session), monitorName(session));
    QObject::connect(session, &MonitorSession::readingsReceived, server,
                     [server, id](const Readings& r) { server->onReadings(id, r); });
    QObject::connect(session, &MonitorSession::packetRejected, server,
                     [server, id] { server->onPacketRejected(id); });
    QObject::connect(session, &MonitorSession::alarmEvent, server,
                     [server, id](const AlarmEvent& e) { server->onAlarmEvent(id, e); });
    QObject::connect(session, &MonitorSession::linkEvent, server, [server, session, id](const LinkEvent& e) {
        server->addMonitor(id, monitorName(session), monitorName(session));
        server->onLinkStatus(id, {e.state, e.detail, false, {}});
    });
    if (!store) return;
    server->setEventSource([store](const QString&, qint64 sinceMs) {
        QList<StatusEvent> out;
        if (!store->isOpen()) return out;
        const QList<EventRecord> events =
            store->events(sinceMs, std::numeric_limits<qint64>::max() / 2, {}, {}, 100);
        for (const EventRecord& e : events) {
            StatusEvent s;
            s.timeMs = e.timeMs;
            s.event = e.kind;
            s.state = e.on ? (*e.on ? QStringLiteral("on") : QStringLiteral("off")) : QString();
            s.detail = e.detail;
            if (e.kind == QLatin1String(EventKind::Link)) { // "state: reason"
                s.state = e.detail.section(QStringLiteral(": "), 0, 0);
                s.detail = e.detail.section(QStringLiteral(": "), 1);
            }
            out.append(s);
        }
        return out;
    });
}

} // namespace zel
