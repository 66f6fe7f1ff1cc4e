#pragma once
// Rows of the station's record, as the recorder writes them and the history
// window, the report and the export read them. Times are UTC milliseconds
// since the epoch. Modulation peaks are in percent (bar position p is
// 2p + 20 %); the carrier is stored in bar positions (40 is the 0 dB mark,
// 100 %) and shown in percent by the same rule.
#include <QList>
#include <QPointF>
#include <QString>
#include <optional>

namespace zel {

// Event kinds as stored. Alarms have on/off; peak episodes have an end, a
// packet count, an extreme value and, for the variable ones, the threshold.
namespace EventKind {
inline constexpr const char Link[] = "link";
inline constexpr const char CarrierAlarm[] = "carrier-alarm";
inline constexpr const char AudioLoss[] = "audio-loss";
inline constexpr const char NoData[] = "no-data";
inline constexpr const char LinkLost[] = "link-lost";
inline constexpr const char PortError[] = "port-error"; // the port would not open; detail: why
inline constexpr const char Pos125[] = "pos125";
inline constexpr const char Neg100[] = "neg100";
inline constexpr const char PosVariable[] = "pos-variable";
inline constexpr const char NegVariable[] = "neg-variable";
} // namespace EventKind

struct EventRecord {
    qint64 id = 0; // 0 until stored
    qint64 timeMs = 0;
    qint64 endMs = 0; // episodes only; 0 otherwise
    QString monitor;
    QString kind;
    std::optional<bool> on; // alarms only
    // link: the state's name, then the reason or the modem's words; an
    // alarm's off or an episode closed because the link went down: why.
    QString detail;
    int packets = 0;    // episodes
    double extreme = 0; // episodes: the highest peak, percent
    int threshold = 0;  // variable episodes: the threshold, percent
    // The readings at that moment; none before the first packet.
    std::optional<double> posPercent;
    std::optional<double> negPercent;
    std::optional<double> carrier;
    bool isEpisode() const { return endMs > 0; }
};

// An operator's note on an event (corrective action), appended and never
// changed: a correction is a new note. hash: its link in the notes chain.
struct NoteRecord {
    qint64 id = 0;
    qint64 eventId = 0;
    qint64 timeMs = 0; // when it was written
    QString by;
    QString text;
    QString hash;
};

// A review: who signed off the period [fromMs, toMs) (a whole local day's
// TO is the start of the next day), and when.
struct SignOffRecord {
    qint64 id = 0;
    qint64 fromMs = 0;
    qint64 toMs = 0;
    qint64 timeMs = 0;
    QString by;
    QString text;
    QString hash;
};

// A minute may be written in parts (a reconnect within the minute, two runs,
// a recorder handing over once a second): the store adds the parts up, see
// mergeMinute().
struct MinuteRecord {
    QString monitor;
    qint64 minuteMs = 0; // start of the minute
    int packets = 0;
    int rejected = 0;
    std::optional<double> posMax; // percent; none without packets
    std::optional<double> negMax;
    std::optional<double> carrierMin; // bar positions
    std::optional<double> carrierMax;
    std::optional<double> carrierMean;
    int pos125Packets = 0;
    int pos125Episodes = 0;
    int neg100Packets = 0;
    int neg100Episodes = 0;
    int carrierAlarmS = 0;
    int audioLossS = 0;
    int linkDownS = 0;
    std::optional<int> upS; // seconds the link was up; none in rows of older files
};

// Adds `part` to `into` (same monitor and minute): counts and seconds add,
// peaks and the carrier band widen, the carrier mean is weighted by packets.
void mergeMinute(MinuteRecord& into, const MinuteRecord& part);

constexpr double barToPercent(double position) {
    return position * 2.0 + 20.0;
}

// What the trend chart draws, one point per bucket (a minute, or several
// minutes for long ranges: the highest peaks and the widest carrier band of
// the bucket, so no overmodulation is averaged away). x is UTC ms.
struct ChartSeries {
    qint64 bucketMs = 60'000;
    QList<QPointF> posMax;
    QList<QPointF> negMax; // percent, positive numbers
    QList<QPointF> carrierMin;
    QList<QPointF> carrierMax;
    QList<QPair<qint64, qint64>> linkDown; // spans [from, to)
};

} // namespace zel
