#include "core/outputs/history/recorder.h"
#include "core/monitor/flashers.h"
#include "core/outputs/history/historystore.h"
#include "core/types/text.h"

#include <QDateTime>
#include <algorithm>
#include <cmath>

namespace zel {

namespace {

constexpr qint64 MinuteMs = 60'000;

qint64 minuteStart(qint64 t) {
    return t - ((t % MinuteMs) + MinuteMs) % MinuteMs;
}

int wholeSeconds(qint64 ms) {
    return int((ms + 500) / 1000);
}

int episodeIndex(AlarmKind k) {
    switch (k) {
    case AlarmKind::Pos125:
        return 0;
    case AlarmKind::Neg100:
        return 1;
    case AlarmKind::PosVariable:
        return 2;
    case AlarmKind::NegVariable:
        return 3;
    default:
        return -1;
    }
}

const char* eventKind(AlarmKind k) {
    switch (k) {
    case AlarmKind::Carrier:
        return EventKind::CarrierAlarm;
    case AlarmKind::AudioLoss:
        return EventKind::AudioLoss;
    case AlarmKind::NoData:
        return EventKind::NoData;
    case AlarmKind::LinkLost:
        return EventKind::LinkLost;
    case AlarmKind::Pos125:
        return EventKind::Pos125;
    case AlarmKind::Neg100:
        return EventKind::Neg100;
    case AlarmKind::PosVariable:
        return EventKind::PosVariable;
    case AlarmKind::NegVariable:
        return EventKind::NegVariable;
    }
    return EventKind::Link;
}

bool isEmptyPart(const MinuteRecord& r) {
    return r.packets == 0 && r.rejected == 0 && r.pos125Packets == 0 && r.pos125Episodes == 0 &&
           r.neg100Packets == 0 && r.neg100Episodes == 0 && r.carrierAlarmS == 0 && r.audioLossS == 0 &&
           r.linkDownS == 0 && r.upS.value_or(0) == 0;
}

} // namespace

Recorder::Recorder(HistoryStore* store, const QString& monitor, QObject* parent)
    : QObject(parent)
    , m_store(store)
    , m_monitor(monitor.trimmed().isEmpty() ? QString() : escapeControl(monitor))
    , m_clock([] { return QDateTime::currentMSecsSinceEpoch(); }) {
    m_timer.setObjectName(QStringLiteral("tmrHistory"));
    m_timer.setInterval(FlushIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &Recorder::tick);
    if (store) connect(store, &HistoryStore::problem, this, &Recorder::problem);
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
    if (m_last) {
        e.posPercent = barToPercent(m_last->posPeak);
        e.negPercent = barToPercent(m_last->negPeak);
        e.carrier = m_last->carrierLevel;
    }
    return e;
}

EventRecord Recorder::episodeRecord(const Episode& e) const {
    EventRecord rec = baseEvent(eventKind(e.kind), e.startMs);
    rec.endMs = std::max(e.lastMs, e.startMs);
    rec.packets = e.packets;
    rec.extreme = barToPercent(e.extreme);
    if (e.kind == AlarmKind::PosVariable || e.kind == AlarmKind::NegVariable) rec.threshold = e.threshold;
    if (e.open) rec.detail = QStringLiteral("open");
    return rec;
}

void Recorder::addEvent(EventRecord e) {
    m_pendingEvents.append(std::move(e));
    if (m_pendingEvents.size() > MaxPendingEvents) m_pendingEvents.removeFirst();
    if (!m_timer.isActive()) m_timer.start();
}

void Recorder::startMinute(qint64 startMs) {
    m_minute = Minute();
    m_minute.startMs = startMs;
    m_written = m_minute;
}

MinuteRecord Recorder::minutePart() const {
    const Minute& m = m_minute;
    const Minute& w = m_written;
    MinuteRecord r;
    r.monitor = m_monitor;
    r.minuteMs = m.startMs;
    r.packets = m.packets - w.packets;
    r.rejected = m.rejected - w.rejected;
    if (m.packets > 0) { // the band so far: the store keeps the widest
        r.posMax = barToPercent(m.posMax);
        r.negMax = barToPercent(m.negMax);
        r.carrierMin = m.carrierMin;
        r.carrierMax = m.carrierMax;
    }
    if (r.packets > 0) r.carrierMean = (m.carrierSum - w.carrierSum) / r.packets;
    r.pos125Packets = m.pos125Packets - w.pos125Packets;
    r.pos125Episodes = m.pos125Episodes - w.pos125Episodes;
    r.neg100Packets = m.neg100Packets - w.neg100Packets;
    r.neg100Episodes = m.neg100Episodes - w.neg100Episodes;
    r.carrierAlarmS = wholeSeconds(m.carrierAlarmMs) - wholeSeconds(w.carrierAlarmMs);
    r.audioLossS = wholeSeconds(m.audioLossMs) - wholeSeconds(w.audioLossMs);
    r.linkDownS = wholeSeconds(m.linkDownMs) - wholeSeconds(w.linkDownMs);
    r.upS = wholeSeconds(m.upMs) - wholeSeconds(w.upMs);
    return r;
}

void Recorder::closeMinute() {
    if (m_minute.startMs < 0) return;
    const MinuteRecord part = minutePart();
    if (!m_minute.handedOver || !isEmptyPart(part)) {
        const auto [it, fresh] = m_pendingMinutes.try_emplace(m_minute.startMs, part);
        if (!fresh) mergeMinute(it->second, part);
    }
    while (int(m_pendingMinutes.size()) > MaxPendingMinutes)
        m_pendingMinutes.erase(m_pendingMinutes.begin());
    m_minute = Minute();
}

void Recorder::accountUntil(qint64 t) {
    if (!m_active || t <= m_accountedTo) return;
    const qint64 d = t - m_accountedTo;
    m_accountedTo = t;
    if (m_alarms[AlarmKind::Carrier]) m_minute.carrierAlarmMs += d;
    if (m_alarms[AlarmKind::AudioLoss]) m_minute.audioLossMs += d;
    if (m_up) m_minute.upMs += d;
    if (m_everUp && !m_up) m_minute.linkDownMs += d;
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
        if (!m_timer.isActive()) m_timer.start();
        return;
    }
    advanceTo(t);
    closeMinute();
    m_active = false;
    m_up = false;
    m_everUp = false;
    write();
}

void Recorder::closeOpen(qint64 t, const QString& reason, bool linkLostToo) {
    advanceTo(t);
    const QString why = QStringLiteral("closed: ") + reason;
    for (auto& [kind, on] : m_alarms) {
        if (!on || (kind == AlarmKind::LinkLost && !linkLostToo)) continue;
        EventRecord rec = baseEvent(eventKind(kind), t);
        rec.on = false;
        rec.detail = why;
        addEvent(std::move(rec));
        on = false;
    }
    for (std::optional<Episode>& open : m_episodes) {
        if (!open) continue;
        open->open = false;
        EventRecord rec = episodeRecord(*open);
        rec.detail = why;
        addEvent(std::move(rec));
        open.reset();
        m_closedAtMs = t;
    }
    m_last.reset(); // readings from before are not readings of the next link
}

void Recorder::onReadings(const Readings& r) {
    if (!enabled()) return;
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
    m.pos125Packets += r.posPeak >= Pos125Threshold;
    m.neg100Packets += r.negPeak >= Neg100Threshold;
    // While packets flow, the hand-over follows the packet that finds the
    // last one nearly an interval ago, so it falls between two packets; the
    // timer, restarted by every hand-over, does not fire.
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

void Recorder::onEpisode(const Episode& e) {
    const int i = episodeIndex(e.kind);
    if (!enabled() || i < 0) return;
    std::optional<Episode>& known = m_episodes[size_t(i)];
    const bool same = known && known->startMs == e.startMs;
    if (!same && !e.open && e.startMs < m_closedAtMs) return; // already closed when the link went down
    if (!same) { // a new episode: counted in the minute it starts in
        advanceTo(now());
        if (m_active && e.kind == AlarmKind::Pos125) ++m_minute.pos125Episodes;
        if (m_active && e.kind == AlarmKind::Neg100) ++m_minute.neg100Episodes;
    }
    if (e.open)
        known = e;
    else
        known.reset();
    addEvent(episodeRecord(e));
}

void Recorder::onPortError(const QString& reason) {
    if (!enabled()) return;
    EventRecord rec = baseEvent(EventKind::PortError, now());
    rec.detail = escapeControl(reason);
    addEvent(std::move(rec));
}

void Recorder::onRejectedPacket() {
    if (!m_active) return;
    advanceTo(now());
    ++m_minute.rejected;
}

void Recorder::onLinkEvent(const LinkEvent& e) {
    if (!enabled()) return;
    const qint64 t = now();
    EventRecord rec = baseEvent(EventKind::Link, e.timeMs > 0 ? e.timeMs : t);
    rec.detail = QLatin1String(linkStateName(e.state));
    if (!e.detail.isEmpty()) rec.detail += QStringLiteral(": ") + escapeControl(e.detail);
    const QString reason = rec.detail;
    addEvent(std::move(rec));
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
        closeOpen(t, reason, false);
        m_up = false;
        break;
    case LinkState::HangingUp:
    case LinkState::OffLine:
        closeOpen(t, reason, true);
        setActive(false);
        break;
    }
}

void Recorder::onAlarmEvent(const AlarmEvent& e) {
    if (!enabled() || episodeIndex(e.kind) >= 0) return; // flasher lightings: onEpisode() has the runs
    bool& state = m_alarms[e.kind];
    if (state == e.on) return; // no change, nothing to record
    const qint64 t = now();
    advanceTo(t);
    state = e.on;
    EventRecord rec = baseEvent(eventKind(e.kind), e.timeMs > 0 ? e.timeMs : t);
    rec.on = e.on;
    if (m_last) {
        rec.posPercent = barToPercent(e.readings.posPeak);
        rec.negPercent = barToPercent(e.readings.negPeak);
        rec.carrier = e.readings.carrierLevel;
    }
    addEvent(std::move(rec));
}

void Recorder::tick() {
    advanceTo(now());
    write();
    if (!m_active && m_pendingEvents.isEmpty() && m_pendingMinutes.empty()) m_timer.stop();
}

void Recorder::flush() {
    if (!enabled()) return;
    const qint64 t = now();
    closeOpen(t, QStringLiteral("program exit"), true);
    closeMinute();
    m_active = m_up = m_everUp = false;
    write();
}

void Recorder::write() {
    if (!enabled()) return;
    QList<MinuteRecord> minutes;
    minutes.reserve(int(m_pendingMinutes.size()) + 1);
    for (const auto& [start, m] : m_pendingMinutes)
        minutes.append(m);
    bool running = false;
    if (m_active && m_minute.startMs >= 0) {
        const MinuteRecord part = minutePart();
        running = !m_minute.handedOver || !isEmptyPart(part);
        if (running) minutes.append(part);
    }
    if (m_pendingEvents.isEmpty() && minutes.isEmpty()) return;
    if (!m_store) return;
    m_sinceWrite.start();
    if (m_timer.isActive()) m_timer.start();
    if (!m_store->write(m_pendingEvents, minutes)) return; // not open: kept for the next tick
    m_pendingEvents.clear();
    m_pendingMinutes.clear();
    if (running) {
        m_minute.handedOver = true;
        m_written = m_minute;
    }
}

} // namespace zel
