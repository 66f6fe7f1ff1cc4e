#pragma once
// Records one monitor (its name in the record: the port text or the
// monitor's id) into a HistoryStore: events as they happen, the peak
// episodes the core finds, and one row of statistics per minute.
//
// The per-packet path only updates counters in memory. A 1 s timer
// (tmrHistory) hands everything new to the store, which writes it on its
// own thread: the running minute as the part added since the last hand-over
// (the store adds the parts up), so a reconnect within a minute, or two runs
// in one, leave the sum of both. A process killed at any moment loses at
// most the last two seconds.
//
// When the link goes down (lost, disconnected, or the program ends) every
// alarm and episode still open is closed in the record at that moment, with
// the reason, so no duration runs on over a time nobody watched.
#include "core/outputs/history/historytypes.h"
#include "core/types/types.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <array>
#include <functional>
#include <map>

namespace zel {

class HistoryStore;

class Recorder : public QObject {
    Q_OBJECT

public:
    static constexpr int FlushIntervalMs = 1000;
    // Rows kept in memory while the store is not open (about a day of
    // minutes; events beyond the bound are dropped oldest first).
    static constexpr int MaxPendingEvents = 20'000;
    static constexpr int MaxPendingMinutes = 1500;

    // An empty `monitor` records nothing: no text becomes a monitor of the
    // record unless a port was tried under it.
    Recorder(HistoryStore* store, const QString& monitor, QObject* parent = nullptr);
    ~Recorder() override;

    QString monitor() const { return m_monitor; }
    // UTC milliseconds since the epoch; the wall clock unless replaced.
    void setClock(std::function<qint64()> clock);
    const QTimer& flushTimer() const { return m_timer; }

public slots:
    void onReadings(const zel::Readings& r);
    void onRejectedPacket();
    void onLinkEvent(const zel::LinkEvent& e);
    void onAlarmEvent(const zel::AlarmEvent& e);
    // An episode as the core found it: written when it starts (open) and
    // completed when it ends.
    void onEpisode(const zel::Episode& e);
    // The port would not open: a port-error event with the reason.
    void onPortError(const QString& reason);
    // The timer's work: hand what is new to the store.
    void tick();
    // At exit: closes every open alarm and episode and the running minute,
    // and hands everything to the store.
    void flush();

signals:
    // The store's one-time messages about writing (disk full, file damaged
    // while recording).
    void problem(const QString& message);

private:
    struct Minute {
        qint64 startMs = -1;
        int packets = 0;
        int rejected = 0;
        float posMax = 0;
        float negMax = 0;
        float carrierMin = 0;
        float carrierMax = 0;
        double carrierSum = 0;
        int pos125Packets = 0;
        int pos125Episodes = 0;
        int neg100Packets = 0;
        int neg100Episodes = 0;
        qint64 carrierAlarmMs = 0;
        qint64 audioLossMs = 0;
        qint64 linkDownMs = 0;
        qint64 upMs = 0;
        bool handedOver = false; // a part of it went to the store
    };
    static constexpr int EpisodeKinds = 4;

    bool enabled() const { return !m_monitor.isEmpty(); }
    qint64 now() const { return m_clock(); }
    void advanceTo(qint64 t);
    void accountUntil(qint64 t);
    void startMinute(qint64 startMs);
    void closeMinute();
    // What the running minute gained since it was last handed over.
    MinuteRecord minutePart() const;
    void addEvent(EventRecord e);
    void setActive(bool active);
    void closeOpen(qint64 t, const QString& reason, bool linkLostToo);
    void write();
    EventRecord baseEvent(const char* kind, qint64 t) const;
    EventRecord episodeRecord(const Episode& e) const;

    QPointer<HistoryStore> m_store; // may go first at shutdown
    QString m_monitor;
    std::function<qint64()> m_clock;
    QTimer m_timer;
    QElapsedTimer m_sinceWrite;
    bool m_writeQueued = false;

    bool m_active = false;              // the session wants the link: minutes are kept
    bool m_up = false;                  // the link is connected
    bool m_everUp = false;              // connected once since becoming active
    std::map<AlarmKind, bool> m_alarms; // on/off alarms as last recorded
    qint64 m_accountedTo = 0;
    std::optional<Readings> m_last; // none before the first packet of a link
    // Episodes written open and not yet closed, by kind.
    std::array<std::optional<Episode>, EpisodeKinds> m_episodes;
    qint64 m_closedAtMs = 0; // the last time open episodes were closed by the link

    Minute m_minute;
    Minute m_written; // the running minute as last handed over
    QList<EventRecord> m_pendingEvents;
    std::map<qint64, MinuteRecord> m_pendingMinutes; // by minute start
};

} // namespace zel
