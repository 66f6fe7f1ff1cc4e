#pragma once
// What watches a session besides its front end: the recorder of the
// station's history, the alerts and the live status page. One source fanned
// out to several sinks, each connected here the same way for the panel and
// the logger.
#include <QString>

namespace zel {

class AlertManager;
class HistoryStore;
class MonitorSession;
class Recorder;
class StatusServer;
struct AlertSettings;

// The monitor's name in the history and in alerts: the port text in use.
QString monitorName(const MonitorSession* session);

// A recorder of `session` into `store`, a child of the session.
Recorder* attachRecorder(MonitorSession* session, HistoryStore* store);
// Alerts for `session`, a child of the session.
AlertManager* attachAlerts(MonitorSession* session, const AlertSettings& settings);
// `server` shows `session` (and the history's last events, when `store` is
// given).
void attachStatusServer(MonitorSession* session, StatusServer* server, HistoryStore* store = nullptr);

} // namespace zel
