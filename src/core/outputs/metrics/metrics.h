#pragma once
// Prometheus's text exposition of a station's monitors: the body of
// GET /metrics. Names carry the zel_ prefix and base units (modulation and
// carrier as ratios, times in seconds); counters end in _total; every
// monitor's series carry the labels site, monitor (its id) and name.
#include <QByteArray>
#include <QList>
#include <QString>
#include <array>

#include "core/types/types.h"

namespace zel {

struct MetricsMonitor {
    MonitorId id;
    QString name;
    LinkState linkState = LinkState::OffLine;
    qint64 lastPacketMs = -1; // UTC ms; -1: none yet
    Readings readings;        // bar positions
    // Indexed by AlarmKind: whether that alarm is raised (after its delays).
    std::array<bool, 8> alarms{};
    int posThreshold = 100; // percent
    int negThreshold = 100;
    quint64 packets = 0;
    quint64 rejectedPackets = 0;
    quint64 pos125Episodes = 0;
    quint64 neg100Episodes = 0;
    quint64 linkLosses = 0;
    quint64 alertsSent = 0;
    quint64 alertsFailed = 0;
};

struct MetricsSnapshot {
    QString siteId;
    QString version;
    QList<MetricsMonitor> monitors;
};

// The media type of the text.
constexpr const char* MetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

QByteArray metricsText(const MetricsSnapshot& snapshot);

} // namespace zel
