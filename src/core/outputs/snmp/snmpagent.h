#pragma once
// The AgentX subagent: publishes ZEL-MONITOR-MIB through the host's snmpd
// (the master agent) and sends the MIB's notifications through it, so that
// snmpd's own trap2sink, informsink or trapsess lines deliver them.
//
// net-snmp keeps its state in globals and some of its AgentX exchanges
// (opening the session, registering) wait for the master's answer. So the
// library lives on a thread of its own, driven by a Qt event loop there
// (its sockets through QSocketNotifier, its timeouts and alarms through a
// QTimer). The station's thread only copies values into a table under a
// mutex: a missing or stalled master never holds up the poll. net-snmp's
// state can be built once: one agent for the life of the process (a second
// start(), even after the first agent is gone, is refused). Keep it as long
// as the process runs.
//
// The subagent pings the master every PingIntervalS seconds; a master that
// is missing at start, goes away or restarts is said once (problem()), and
// the subagent registers again by itself as soon as the master is back.
#include <QObject>
#include <QString>
#include <memory>

#include "core/outputs/snmp/snmpvalues.h"

class QThread;

namespace zel {

class SnmpWorker;
struct SnmpShared;

class SnmpAgent : public QObject {
    Q_OBJECT
public:
    static constexpr int PingIntervalS = 1;
    // net-snmp's experimental playpen; a station with its own enterprise
    // number sets its own (and edits the MIB's MODULE-IDENTITY to match).
    static constexpr const char* DefaultBaseOid = ".1.3.6.1.4.1.8072.9999.9999";

    explicit SnmpAgent(QObject* parent = nullptr);
    ~SnmpAgent() override;

    // Before start(): the OID of the module identity, dotted numbers.
    bool setBaseOid(const QString& oid);
    QString baseOid() const { return m_baseOid; }

    // Starts the subagent towards the master's AgentX socket: a path, or
    // tcp:HOST:PORT. False (and problem()) for an empty socket text or when
    // another agent runs in this process; a missing master is not a failure.
    bool start(const QString& agentxSocket);
    bool isStarted() const { return m_started; }
    // Whether the master has accepted the session (as last reported).
    bool isRegistered() const { return m_registered; }

    void setSite(const QString& id, const QString& name, const QString& version);
    void setMonitorCount(int count);
    // A monitor's row, index from 1. Cheap: call it as often as values change.
    void setRow(int index, const SnmpRow& row);
    void removeRow(int index);
    // Goes out through the master; dropped (and counted) while there is none.
    void notify(const SnmpNotification& notification);

signals:
    // Said once per outage: the master is missing, went away, or refused us.
    void problem(const QString& message);
    // The master accepted the session (true) or it ended (false).
    void registeredChanged(bool registered);
    // A notification went to the master (sent) or was dropped (not sent).
    void notificationDone(bool sent);

private:
    void onRegistered(bool registered, const QString& reason);

    std::shared_ptr<SnmpShared> m_shared;
    QThread* m_thread = nullptr;
    SnmpWorker* m_worker = nullptr;
    QString m_baseOid;
    QString m_socket;
    bool m_started = false;
    bool m_registered = false;
    bool m_said = false; // the current outage has been reported
};

} // namespace zel
