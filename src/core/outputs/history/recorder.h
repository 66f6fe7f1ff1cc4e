#pragma once
// Records one monitor (one port text) into a HistoryStore: events as they
// happen, peak episodes found from the readings, and one row of statistics
// per minute.
//
// The per-packet path only updates counters in memory. A 1 s timer
// (tmrHistory) closes finished episodes and minutes and writes everything
// pending in one transaction, including the running minute and any episode
// still open, so a process killed at any moment loses at most the last two
// seconds. What cannot be written (disk full, busy file) is kept and tried
// again on the next tick, within a bound.
//
// A peak episode is a run of packets past a threshold: it starts with the
// first packet past it and ends with the last one before a whole second
// without any (the flashers' hold time), so a burst at 96 packets a second
// is one event.
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
    static constexpr qint64 EpisodeGapMs = 1000;
    static constexpr int FlushIntervalMs = 1000;
    // Rows kept in memory while the store cannot take them (about a day of
    // minutes; events beyond the bound are dropped oldest first).
    static constexpr int MaxPendingEvents = 20'000;
    static constexpr int MaxPendingMinutes = 1500;

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
    void setThresholds(int posPercent, int negPercent);
    // The timer's work: close what is finished and write what is pending.
    void tick();
    // Closes every open episode and the running minute and writes them.
    void flush();

signals:
    // The store's one-time message about a write of this recorder (disk
    // full, file damaged while recording).
    void problem(const QString& message);

private:
    enum Episode { Pos125, Neg100, PosVar, NegVar, EpisodeCount };
    struct OpenEpisode {
        bool open = false;
        bool dirty = false; // changed since last written
        EventRecord record;
        qint64 lastMs = 0;
    };
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
        bool dirty = false;
    };

    qint64 now() const { return m_clock(); }
    void advanceTo(qint64 t);
    void accountUntil(qint64 t);
    void startMinute(qint64 startMs);
    void closeMinute();
    MinuteRecord minuteRecord(const Minute& m) const;
    void trackEpisode(Episode which, bool past, float value, qint64 t);
    void closeEpisode(Episode which);
    void closeExpiredEpisodes(qint64 t);
    void addEvent(EventRecord e);
    void setActive(bool active);
    void write(bool final);
    EventRecord baseEvent(const char* kind, qint64 t) const;

    QPointer<HistoryStore> m_store; // may go first at shutdown
    QString m_monitor;
    std::function<qint64()> m_clock;
    QTimer m_timer;
    QElapsedTimer m_sinceWrite;
    bool m_writeQueued = false;

    bool m_active = false; // the session wants the link: minutes are kept
    bool m_up = false;     // the link is connected
    bool m_everUp = false; // connected once since becoming active
    bool m_carrierAlarm = false;
    bool m_audioLoss = false;
    qint64 m_accountedTo = 0;
    int m_posThreshold = 110;
    int m_negThreshold = 110;
    Readings m_last;

    Minute m_minute;
    std::array<OpenEpisode, EpisodeCount> m_episodes;
    QList<EventRecord> m_pendingEvents;
    std::map<qint64, MinuteRecord> m_pendingMinutes; // by minute start
};

} // namespace zel
