#pragma once
// The values that cross the seams between a monitor session and whatever
// watches it (the panel, the recorder, alerts, the status page, the logger).
// Everything here is a plain value: copy it, queue it, store it.
#include <QMetaType>
#include <QString>

#include "core/types/readings.h"

namespace zel {

// A bar position p (0..55) stands for 2p + 20 percent.
constexpr int positionToPercent(float position) {
    return int(position * 2.0f + 20.0f);
}

// The link's state as the status labels show it. Reconnecting: an
// established link was lost and the session is bringing it back by itself.
enum class LinkState { OffLine, Initializing, Dialing, Connected, Busy, NoDialTone, HangingUp, Reconnecting };

// Something that is on or off for a while, as the monitor model and the link
// report it. The flasher kinds are per packet (a flasher lighting); episodes
// of them are the recorder's business.
enum class AlarmKind { Carrier, AudioLoss, Pos125, Neg100, PosVariable, NegVariable, NoData, LinkLost };

struct AlarmEvent {
    AlarmKind kind = AlarmKind::Carrier;
    bool on = false;
    qint64 timeMs = 0; // UTC, ms since the epoch
    Readings readings; // the last readings at that moment
};

// A run of one flasher's lightings (Pos125, Neg100, PosVariable or
// NegVariable), ended by a quiet gap of EpisodeGapMs: the one rule by which
// the history, the alerts, the status page and SNMP count bursts. Found once,
// in the session, and delivered to every output as this value: once when it
// starts (open), once when it ends.
constexpr qint64 EpisodeGapMs = 1000;

struct Episode {
    AlarmKind kind = AlarmKind::Pos125;
    bool open = true;   // started and may still grow; false once ended
    qint64 startMs = 0; // the first lighting (UTC ms)
    qint64 lastMs = 0;  // the last lighting so far
    int packets = 0;    // lightings in it
    float extreme = 0;  // the highest bar position of its peak
    int threshold = 0;  // percent in force when it started
};

// A monitor's stable id: letters, digits and '-'. It keys the history, the
// status page's rows and SNMP.
using MonitorId = QString;
bool isValidMonitorId(const QString& id);

// A change of the link's state. `detail` is the reason of a loss or a
// failure ("PORT ERROR" text), or the modem's own words for a dial outcome.
struct LinkEvent {
    LinkState state = LinkState::OffLine;
    qint64 timeMs = 0;
    QString detail;
};

// The link's whole status as a front end shows it: the state, the reason or
// the modem's words, whether data has stopped while connected, and the
// caption of the Dialing label.
struct LinkStatus {
    LinkState state = LinkState::OffLine;
    QString detail;
    bool noData = false;
    QString dialCaption;
    bool operator==(const LinkStatus&) const = default;
};

// Stable lower-case names, used by the logger's output, the history and the
// status page ("connected", "carrier-alarm", ...).
const char* linkStateName(LinkState s);
const char* alarmKindName(AlarmKind k);

// "depth=N rtt=12.3ms" ("rtt=?" until measured): the poll's requests in
// flight and the link's round trip, as the diagnostic area and the logger
// say them.
QString pollStatsText(int depth, double roundTripMs);

// UTC ms as local time in ISO 8601 with milliseconds and the offset, always
// written as +hh:mm ("2026-12-07T13:00:00.123+01:00").
QString formatLocalTime(qint64 msecsSinceEpoch);

} // namespace zel

Q_DECLARE_METATYPE(zel::Readings)
Q_DECLARE_METATYPE(zel::AlarmEvent)
Q_DECLARE_METATYPE(zel::LinkEvent)
Q_DECLARE_METATYPE(zel::LinkStatus)
Q_DECLARE_METATYPE(zel::Episode)
