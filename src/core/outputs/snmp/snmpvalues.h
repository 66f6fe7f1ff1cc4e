#pragma once
// The plain values the station hands the SNMP subagent: one row per monitor
// and one notification per alert decision. Nothing here knows net-snmp.
#include <QMetaType>
#include <QString>
#include <array>

#include "core/types/types.h"

namespace zel {

// A monitor's row of zelMonitorTable. Readings are bar positions (as the
// session gives them); the agent turns them into percent.
struct SnmpRow {
    MonitorId id;
    QString name;
    QString port;
    LinkState linkState = LinkState::OffLine;
    qint64 lastPacketMs = -1; // UTC ms of the last valid packet; -1: none yet
    Readings readings;
    // Indexed by AlarmKind: whether that alarm is raised (after its delays).
    std::array<bool, 8> alarms{};
    quint64 packets = 0;
    quint64 rejectedPackets = 0;
    quint32 pos125Episodes = 0;
    quint32 neg100Episodes = 0;
    quint32 linkLosses = 0;
    int posThreshold = 100; // percent
    int negThreshold = 100;

    bool alarm(AlarmKind kind) const { return alarms[size_t(kind)]; }
    void setAlarm(AlarmKind kind, bool on) { alarms[size_t(kind)] = on; }
};

struct SnmpNotification {
    enum class Type { AlarmRaised, AlarmCleared, LinkLost, LinkBack };
    Type type = Type::AlarmRaised;
    int index = 0;                            // the monitor's row
    AlarmKind alarm = AlarmKind::Carrier;     // alarm notifications
    Readings readings;                        // of the moment it began or ended
    LinkState linkState = LinkState::OffLine; // link notifications
    QString detail;                           // why the link was lost
    qint64 timeMs = 0;                        // UTC ms
    // Taken from the row when left empty.
    MonitorId id;
    QString name;
};

// The MIB's enumerations.
int mibLinkState(LinkState state); // offLine(1) .. reconnecting(8)
int mibAlarm(AlarmKind kind);      // carrier(1) .. negVariable(8)
// DateAndTime: local time with its offset from UTC (11 octets).
QByteArray mibDateAndTime(qint64 utcMs);

} // namespace zel

Q_DECLARE_METATYPE(zel::SnmpRow)
Q_DECLARE_METATYPE(zel::SnmpNotification)
