#pragma once
// The monitors of one process and the outputs fed from them. Built from a
// StationConfig: one MonitorSession per monitor, and the history (one store,
// a recorder per monitor), the alerts (a manager per monitor) and the status
// server, each as the config asks. The front ends (the panel, the logger)
// build a station and show or print it; they wire no output themselves. A
// new output is one folder under core/outputs and its lines here.
#include "core/station/monitorstate.h"
#include "core/station/stationconfig.h"

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <array>
#include <vector>

namespace zel {

class AlertManager;
class CentralForwarder;
class SnmpAgent;
struct AlertDecision;
class HistoryStore;
class MonitorSession;
class Recorder;
class StatusServer;

class Station : public QObject {
    Q_OBJECT
public:
    // `first`, when given, is the first monitor's session made beforehand (a
    // test gives one with a stand-in transport); the station takes it.
    explicit Station(const StationConfig& config, QObject* parent = nullptr, MonitorSession* first = nullptr);
    ~Station() override;

    const StationConfig& config() const { return m_config; }
    int monitorCount() const { return int(m_monitors.size()); }
    MonitorSession* session(int i) const { return m_monitors[size_t(i)].session; }
    const MonitorConfig& monitor(int i) const { return m_config.monitors[i]; }
    // The monitor as it stands: link, readings, alarms and counters.
    const MonitorState& state(int i) const { return m_monitors[size_t(i)].state; }
    // The key of the monitor's rows in the history and of its logger lines:
    // its id, or the port text it uses for a monitor named by its port.
    QString label(int i) const;

    // The outputs, for what a front end shows of them (the history window,
    // the reports). The history store is there even when recording is off
    // (it is then not open); the others are null when not configured.
    HistoryStore* history() const { return m_history; }
    AlertManager* alerts(int i) const { return m_monitors[size_t(i)].alerts; }
    StatusServer* statusServer() const { return m_server; }
    SnmpAgent* snmpAgent() const { return m_snmp; }
    CentralForwarder* central() const { return m_central; }
    // The Prometheus exposition of every monitor, as GET /metrics serves it.
    QByteArray metricsText() const;

    // Replaces the site and the outputs' settings (not the monitors); before
    // openOutputs().
    void setOutputs(const StationConfig& config);
    // The station's name, for the page, the alerts and SNMP from now on.
    void setSiteName(const QString& name);
    // New alert settings for every monitor's alerts.
    void setAlertSettings(const AlertSettings& settings);
    // One test alert for monitor `i` by every way configured.
    void sendTestAlert(int i);

    // Opens the outputs: the history file and the status server. Problems
    // are reported by problem(); the monitoring goes on without that output.
    void openOutputs();
    // Connects every monitor. A port that fails is reported by its session
    // (portError, or Reconnecting when unattended).
    void start();
    // Closes every port (a modem is hung up), ends every open episode and
    // writes out the history.
    void stop();

signals:
    // An output cannot be used (kind: "HISTORY", "STATUS PAGE", "CENTRAL"); once each.
    void problem(const QString& kind, const QString& message);
    // An output that had a problem works again (kind: "CENTRAL").
    void recovered(const QString& kind, const QString& message);
    void alertSent(int monitor, const QString& event, const QString& state, const QString& via);
    void alertFailed(int monitor, const QString& what, const QString& reason);
    // A desktop notification an alert asks for.
    void notify(const QString& title, const QString& text);

private:
    struct Monitor {
        MonitorSession* session = nullptr;
        QPointer<Recorder> recorder;
        AlertManager* alerts = nullptr;
        MonitorState state;
        // The alarms as the alert decision has them (after their delays):
        // what SNMP's table shows, so it agrees with the notifications.
        std::array<bool, int(AlarmKind::LinkLost) + 1> decided{};
    };
    void startSnmp();
    void startCentral();
    void sendCentralLive();
    void updateSnmpRows();
    void onDecision(int i, const AlertDecision& d);
    void trackState(int i);
    void ensureRecorder(int i);
    void attachAlerts(int i);
    void attachStatusServer();

    StationConfig m_config;
    std::vector<Monitor> m_monitors;
    HistoryStore* m_history = nullptr;
    StatusServer* m_server = nullptr;
    SnmpAgent* m_snmp = nullptr;
    QTimer* m_snmpRefresh = nullptr;
    CentralForwarder* m_central = nullptr;
    QTimer* m_centralLive = nullptr;
};

} // namespace zel
