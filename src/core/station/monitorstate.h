#pragma once
// What the station knows of one monitor at this moment, kept once for every
// output that shows a snapshot (SNMP, metrics, the central record's live
// state): the link, the last readings, the alarms and the counters since the
// process started.
#include "core/types/types.h"

#include <array>

namespace zel {

struct MonitorState {
    LinkStatus link;
    bool hasReadings = false; // a packet since the link last came up
    Readings readings;        // the last one (bar positions)
    qint64 lastPacketMs = 0;  // UTC ms; 0: none yet
    // On or off by AlarmKind: carrier, audio loss, no data and link lost as
    // reported; the four flashers while an episode of theirs is open.
    std::array<bool, int(AlarmKind::LinkLost) + 1> alarms{};
    int positiveThreshold = 0;
    int negativeThreshold = 0;
    quint64 packets = 0;
    quint64 rejected = 0;
    quint64 episodesPos125 = 0;
    quint64 episodesNeg100 = 0;
    quint64 linkLosses = 0;
    quint64 alertsSent = 0;
    quint64 alertsFailed = 0;

    bool alarm(AlarmKind k) const { return alarms[size_t(k)]; }
};

} // namespace zel
