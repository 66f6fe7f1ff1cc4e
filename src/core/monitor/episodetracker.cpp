#include "core/monitor/episodetracker.h"

#include "core/monitor/flashers.h"

#include <QDateTime>
#include <algorithm>

namespace zel {

namespace {

constexpr AlarmKind Kinds[4] = {AlarmKind::Pos125, AlarmKind::Neg100, AlarmKind::PosVariable,
                                AlarmKind::NegVariable};

int indexOf(AlarmKind kind) {
    for (int i = 0; i < 4; ++i)
        if (Kinds[i] == kind) return i;
    return -1;
}

} // namespace

EpisodeTracker::EpisodeTracker(QObject* parent)
    : QObject(parent)
    , m_clock([] { return QDateTime::currentMSecsSinceEpoch(); }) {
    qRegisterMetaType<Episode>();
    m_expiry.setObjectName(QStringLiteral("tmrEpisode"));
    // Only while an episode is open, and only to end one whose packets have
    // stopped altogether: a flowing stream ends it from onReadings().
    m_expiry.setInterval(int(EpisodeGapMs / 4));
    connect(&m_expiry, &QTimer::timeout, this, &EpisodeTracker::endExpired);
}

bool EpisodeTracker::isOpen(AlarmKind kind) const {
    const int i = indexOf(kind);
    return i >= 0 && m_tracks[i].open;
}

void EpisodeTracker::setThresholds(int posPercent, int negPercent) {
    m_posThreshold = posPercent;
    m_negThreshold = negPercent;
}

void EpisodeTracker::onReadings(const Readings& r) {
    const qint64 t = m_clock();
    const FlasherHits hits = evaluateFlashers(r.posPeak, r.negPeak, m_posThreshold, m_negThreshold);
    const bool past[4] = {hits.pos125, hits.neg100, hits.posVar, hits.negVar};
    const float value[4] = {r.posPeak, r.negPeak, r.posPeak, r.negPeak};
    for (int i = 0; i < 4; ++i) {
        Track& tr = m_tracks[i];
        if (tr.open && t - tr.e.lastMs > EpisodeGapMs) end(tr);
        if (!past[i]) continue;
        if (tr.open) {
            tr.e.lastMs = std::max(t, tr.e.lastMs);
            ++tr.e.packets;
            tr.e.extreme = std::max(tr.e.extreme, value[i]);
            continue;
        }
        tr.open = true;
        tr.e = Episode{};
        tr.e.kind = Kinds[i];
        tr.e.startMs = tr.e.lastMs = t;
        tr.e.packets = 1;
        tr.e.extreme = value[i];
        tr.e.threshold = Kinds[i] == AlarmKind::PosVariable   ? m_posThreshold
                         : Kinds[i] == AlarmKind::NegVariable ? m_negThreshold
                         : Kinds[i] == AlarmKind::Pos125      ? 125
                                                              : 100;
        if (m_open++ == 0) m_expiry.start();
        emit episode(tr.e);
    }
}

void EpisodeTracker::end(Track& tr) {
    tr.open = false;
    tr.e.open = false;
    if (--m_open == 0) m_expiry.stop();
    emit episode(tr.e);
}

void EpisodeTracker::endExpired() {
    const qint64 t = m_clock();
    for (Track& tr : m_tracks)
        if (tr.open && t - tr.e.lastMs > EpisodeGapMs) end(tr);
}

void EpisodeTracker::endAll() {
    for (Track& tr : m_tracks)
        if (tr.open) end(tr);
}

} // namespace zel
