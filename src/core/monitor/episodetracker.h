#pragma once
// Finds flasher episodes once for every output: a run of packets past one of
// the four flasher thresholds (+125 %, -100 % and the two variable ones),
// started by the first packet past it and ended by the last one before a
// quiet gap of EpisodeGapMs (the flashers' hold time), so a burst at 96
// packets a second is one episode everywhere: in the history, in an alert and
// on the status page. Each episode is reported twice, as it opens and as it
// ends; a link that goes down ends every open one at that moment.
#include "core/types/types.h"

#include <QObject>
#include <QTimer>
#include <array>
#include <functional>

namespace zel {

class EpisodeTracker : public QObject {
    Q_OBJECT
public:
    explicit EpisodeTracker(QObject* parent = nullptr);

    // UTC milliseconds since the epoch; the wall clock unless replaced.
    void setClock(std::function<qint64()> clock) { m_clock = std::move(clock); }
    // The timer that ends episodes when no packet arrives to end them.
    const QTimer& expiryTimer() const { return m_expiry; }
    bool isOpen(AlarmKind kind) const;

public slots:
    void onReadings(const zel::Readings& r);
    void setThresholds(int posPercent, int negPercent);
    // Ends every open episode now (the link went down, or the process ends).
    void endAll();
    // The timer's work: ends the episodes whose gap has passed.
    void endExpired();

signals:
    void episode(const zel::Episode& e);

private:
    struct Track {
        bool open = false;
        Episode e;
    };
    void end(Track& t);

    std::function<qint64()> m_clock;
    std::array<Track, 4> m_tracks; // Pos125, Neg100, PosVariable, NegVariable
    int m_posThreshold = 110;
    int m_negThreshold = 96;
    int m_open = 0;
    QTimer m_expiry;
};

} // namespace zel
