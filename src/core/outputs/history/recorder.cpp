#include "core/outputs/history/recorder.h"
#include "core/outputs/history/historystore.h"
#include "core/monitor/flashers.h"

#include <QDateTime>
#include <algorithm>
#include <cmath>

namespace zel {

namespace {

constexpr qint64 MinuteMs = 60'000;

double percentOf(float position) {
    return double(position) * 2.0 + 20.0;
}

qint64 minuteStart(qint64 t) {
    return t - ((t % MinuteMs) + MinuteMs) % MinuteMs;
}

int wholeSeconds(qint64 ms) {
    return int((ms + 500) / 1000);
}

} // namespace

Recorder::Recorder(HistoryStore* store, const QString& monitor, QObject* parent)
    : QObject(parent)
    , m_store(store)
    , m_monitor(monitor)
    , m_clock([] { return QDateTime::currentMSecsSinceEpoch(); }) {
    m_timer.setObjectName(QStringLiteral("tmrHistory"));
    m_timer.setInterval(FlushIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &Recorder::tick);
}

Recorder::~Recorder() {
    flush();
}

void Recorder::setClock(std::function<qint64()> clock) {
    m_clock = std::move(clock);
}

EventRecord Recorder::baseEvent(const char* kind, qint64 t) const {
    EventRecord e;
    e.timeMs = t;
    e.monitor = m_monitor;
    e.kind = QLatin1String(kind);
    e.posPercent = percentOf(m_last.posPeak);
    e.negPercent = percentOf(m_last.negPeak);
    e.carrier = m_last.carrierLevel;
    return e;
}

void Recorder::addEvent(EventRecord e) {
    m_pendingEvents.append(std::move(e));
    if (m_pendingEvents.size() > MaxPendingEvents) m_pendingEvents.removeFirst();
    if (!m_timer.isActive()) m_timer.start();
}

void Recorder::startMinute(qint64 startMs) {
    m_minute = Minute();
    m_minute.startMs = startMs;
}

MinuteRecord Recorder::minuteRecord(const Minute& m) const {
    MinuteRecord r;
    r.monitor = m_monitor;
    r.minuteMs = m.startMs;
    r.packets = m.packets;
    r.rejected = m.rejected;
    if (m.packets > 0) {
        r.posMax = percentOf(m.posMax);
        r.negMax = percentOf(m.negMax);
        r.carrierMin = m.carrierMin;
        r.carrierMax = m.carrierMax;
        r.carrierMean = std::round(m.carrierSum / m.packets * 100.0) / 100.0;
    }
    r.pos125Packets = m.pos125Packets;
    r.pos125Episodes = m.pos125Episodes;
    r.neg100Packets = m.neg100Packets;
    r.neg100Episodes = m.neg100Episodes;
    r.carrierAlarmS = wholeSeconds(m.carrierAlarmMs);
    r.audioLossS = wholeSeconds(m.audioLossMs);
    r.linkDownS = wholeSeconds(m.linkDownMs);
    return r;
}

void Recorder::closeMinute() {
    if (m_minute.startMs < 0) return;
    m_pendingMinutes[m_minute.startMs] = minuteRecord(m_minute);
    while (int(m_pendingMinutes.size()) > MaxPendingMinutes)
        m_pendingMinutes.erase(m_pendingMinutes.begin());
    m_minute = Minute();
}

void Recorder::accountUntil(qint64 t) {
    if (!m_active || t <= m_accountedTo) return;
    const qint64 d = t - m_accountedTo;
    m_accountedTo = t;
    if (m_carrierAlarm) m_minute.carrierAlarmMs += d;
    if (m_audioLoss) m_minute.audioLossMs += d;
    if (m_everUp && !m_up) m_minute.linkDownMs += d;
    m_minute.dirty = true;
}

void Recorder::advanceTo(qint64 t) {
    if (!m_active) return;
    if (m_minute.startMs < 0) startMinute(minuteStart(t));
    // A clock that jumps far ahead starts afresh instead of filling the gap.
    if (t - m_minute.startMs > qint64(MaxPendingMinutes) * MinuteMs) {
        closeMinute();
        startMinute(minuteStart(t));
        m_accountedTo = std::max(m_accountedTo, m_minute.startMs);
    }
    while (t >= m_minute.startMs + MinuteMs) {
        const qint64 next = m_minute.startMs + MinuteMs;
        accountUntil(next);
        closeMinute();
        startMinute(next);
    }
    accountUntil(t);
}

void Recorder::setActive(bool active) {
    if (active == m_active) return;
    const qint64 t = now();
    if (active) {
        m_active = true;
        m_accountedTo = t;
        startMinute(minuteStart(t));
        m_minute.dirty = true;
        if (!m_timer.isActive()) m_timer.start();
        return;
    }
    advanceTo(t);
    for (int i = 0; i < EpisodeCount; ++i)
        closeEpisode(Episode(i));
    closeMinute();
    m_active = false;
    m_up = false;
    m_everUp = false;
    m_carrierAlarm = false;
    m_audioLoss = false;
    write(false);
}

void Recorder::onReadings(const Readings& r) {
    if (!m_active) { // readings mean a working link, announced or not
        setActive(true);
        m_up = m_everUp = true;
    }
    const qint64 t = now();
    advanceTo(t);
    m_last = r;
    Minute& m = m_minute;
    if (m.packets == 0) {
        m.posMax = r.posPeak;
        m.negMax = r.negPeak;
        m.carrierMin = m.carrierMax = r.carrierLevel;
    } else {
        m.posMax = std::max(m.posMax, r.posPeak);
        m.negMax = std::max(m.negMax, r.negPeak);
        m.carrierMin = std::min(m.carrierMin, r.carrierLevel);
        m.carrierMax = std::max(m.carrierMax, r.carrierLevel);
    }
    ++m.packets;
    m.carrierSum += r.carrierLevel;
    m.dirty = true;
    const FlasherHits hits = evaluateFlashers(r.posPeak, r.negPeak, m_posThreshold, m_negThreshold);
    m.pos125Packets += hits.pos125;
    m.neg100Packets += hits.neg100;
    trackEpisode(Pos125, hits.pos125, r.posPeak, t);
    trackEpisode(Neg100, hits.neg100, r.negPeak, t);
    trackEpisode(PosVar, hits.posVar, r.posPeak, t);
    trackEpisode(NegVar, hits.negVar, r.negPeak, t);
    // While packets flow, the write follows the packet that finds the last
    // write nearly an interval ago, so it falls between two packets instead
    // of delaying one; the timer, restarted by every write, does not fire.
    if (!m_writeQueued && m_sinceWrite.isValid() && m_sinceWrite.elapsed() >= FlushIntervalMs - 100) {
        m_writeQueued = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_writeQueued = false;
                tick();
            },
            Qt::QueuedConnection);
    }
}

void Recorder::trackEpisode(Episode which, bool past, float value, qint64 t) {
    if (!past) return;
    OpenEpisode& ep = m_episodes[which];
    if (ep.open && t - ep.lastMs > EpisodeGapMs) closeEpisode(which);
    if (!ep.open) {
        static const char* const kinds[] = {EventKind::Pos125, EventKind::Neg100, EventKind::PosVariable,
                                            EventKind::NegVariable};
        ep.record = baseEvent(kinds[which], t);
        ep.record.packets = 0;
        ep.record.extreme = 0;
        if (which == PosVar) ep.record.threshold = m_posThreshold;
        if (which == NegVar) ep.record.threshold = m_negThreshold;
        ep.open = true;
        if (which == Pos125) ++m_minute.pos125Episodes;
        if (which == Neg100) ++m_minute.neg100Episodes;
    }
    ep.record.endMs = std::max(t, ep.record.timeMs);
    ++ep.record.packets;
    ep.record.extreme = std::max(ep.record.extreme, percentOf(value));
    ep.lastMs = t;
    ep.dirty = true;
}

void Recorder::closeEpisode(Episode which) {
    OpenEpisode& ep = m_episodes[which];
    if (!ep.open) return;
    ep.open = false;
    if (ep.dirty || ep.record.id == 0) addEvent(ep.record);
    ep.dirty = false;
}

void Recorder::closeExpiredEpisodes(qint64 t) {
    for (int i = 0; i < EpisodeCount; ++i) {
        if (m_episodes[i].open && t - m_episodes[i].lastMs > EpisodeGapMs) closeEpisode(Episode(i));
    }
}

void Recorder::onRejectedPacket() {
    if (!m_active) return;
    advanceTo(now());
    ++m_minute.rejected;
    m_minute.dirty = true;
}

void Recorder::onLinkEvent(const LinkEvent& e) {
    const qint64 t = now();
    EventRecord rec = baseEvent(EventKind::Link, e.timeMs > 0 ? e.timeMs : t);
    rec.detail = QLatin1String(linkStateName(e.state));
    if (!e.detail.isEmpty()) rec.detail += QStringLiteral(": ") + e.detail;
    switch (e.state) {
    case LinkState::Connected:
        setActive(true);
        advanceTo(t);
        m_up = m_everUp = true;
        break;
    case LinkState::Reconnecting:
    case LinkState::Initializing:
    case LinkState::Dialing:
    case LinkState::Busy:
    case LinkState::NoDialTone:
        advanceTo(t);
        m_up = false;
        break;
    case LinkState::HangingUp:
    case LinkState::OffLine:
        setActive(false);
        break;
    }
    addEvent(std::move(rec));
}

void Recorder::onAlarmEvent(const AlarmEvent& e) {
    const qint64 t = now();
    const char* kind = nullptr;
    bool* state = nullptr;
    switch (e.kind) {
    case AlarmKind::Carrier:
        kind = EventKind::CarrierAlarm;
        state = &m_carrierAlarm;
        break;
    case AlarmKind::AudioLoss:
        kind = EventKind::AudioLoss;
        state = &m_audioLoss;
        break;
    case AlarmKind::NoData:
        kind = EventKind::NoData;
        break;
    case AlarmKind::LinkLost:
        kind = EventKind::LinkLost;
        break;
    case AlarmKind::Pos125:
    case AlarmKind::Neg100:
    case AlarmKind::PosVariable:
    case AlarmKind::NegVariable:
        return; // per packet; the episodes are found from the readings
    }
    if (state) {
        if (*state == e.on) return; // no change, nothing to record
        advanceTo(t);
        *state = e.on;
    }
    EventRecord rec = baseEvent(kind, e.timeMs > 0 ? e.timeMs : t);
    rec.on = e.on;
    rec.posPercent = percentOf(e.readings.posPeak);
    rec.negPercent = percentOf(e.readings.negPeak);
    rec.carrier = e.readings.carrierLevel;
    addEvent(std::move(rec));
}

void Recorder::setThresholds(int posPercent, int negPercent) {
    posPercent = std::clamp(posPercent, 70, 130);
    negPercent = std::clamp(negPercent, 70, 130);
    // A run past the old threshold is not a run past the new one.
    if (posPercent != m_posThreshold) closeEpisode(PosVar);
    if (negPercent != m_negThreshold) closeEpisode(NegVar);
    m_posThreshold = posPercent;
    m_negThreshold = negPercent;
}

void Recorder::tick() {
    const qint64 t = now();
    advanceTo(t);
    closeExpiredEpisodes(t);
    write(false);
    if (!m_active && m_pendingEvents.isEmpty() && m_pendingMinutes.empty()) m_timer.stop();
}

void Recorder::flush() {
    const qint64 t = now();
    advanceTo(t);
    for (int i = 0; i < EpisodeCount; ++i)
        closeEpisode(Episode(i));
    write(true);
}

void Recorder::write(bool final) {
    QList<EventRecord> batch = m_pendingEvents;
    std::array<int, EpisodeCount> index;
    index.fill(-1);
    for (int i = 0; i < EpisodeCount; ++i) {
        if (m_episodes[i].open && m_episodes[i].dirty) {
            index[i] = int(batch.size());
            batch.append(m_episodes[i].record);
        }
    }
    QList<MinuteRecord> minutes;
    minutes.reserve(int(m_pendingMinutes.size()) + 1);
    for (const auto& [start, m] : m_pendingMinutes)
        minutes.append(m);
    const bool current = m_active && m_minute.startMs >= 0 && (m_minute.dirty || final);
    if (current) minutes.append(minuteRecord(m_minute));
    if (batch.isEmpty() && minutes.isEmpty()) return;
    if (!m_store) return;
    m_sinceWrite.start();
    if (m_timer.isActive()) m_timer.start();
    const QMetaObject::Connection forward =
        connect(m_store, &HistoryStore::problem, this, &Recorder::problem);
    const bool written = m_store->write(batch, minutes);
    disconnect(forward);
    if (!written) return; // kept for the next tick
    m_pendingEvents.clear();
    m_pendingMinutes.clear();
    for (int i = 0; i < EpisodeCount; ++i) {
        if (index[i] < 0) continue;
        m_episodes[i].record.id = batch[index[i]].id;
        m_episodes[i].dirty = false;
    }
    if (current) m_minute.dirty = false;
}

} // namespace zel
