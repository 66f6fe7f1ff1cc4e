#pragma once
// What the stand-in monitor answers: a programme model that plays speech,
// music, overmodulation, a carrier dip and a silence over a four-minute cycle;
// a script reader for fixed sequences of raw readings; the packet text; and
// the fault plan that corrupts, drops, splits or delays replies for tests.
// Plain C++ so both the in-process stand-in and zel-monitor-sim use it.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zel::sim {

// Deterministic generator (splitmix64): the same seed gives the same run.
class SimRandom {
public:
    explicit SimRandom(std::uint64_t seed = 1)
        : m_state(seed) {}
    std::uint64_t next();
    // Uniform in [0, 1).
    double uniform();
    // Uniform whole number in [lo, hi].
    int between(int lo, int hi);

private:
    std::uint64_t m_state;
};

// The three raw fields of a packet, 000 to 255 from the instrument.
struct RawReading {
    int positive = 0;
    int negative = 0;
    int carrier = 0;
    bool operator==(const RawReading&) const = default;
};

// "x" and the three fields as three digits each (clamped to 000-999).
std::string formatPacket(const RawReading& r);
// True for exactly "x" followed by nine decimal digits.
bool isValidPacket(std::string_view text);

// The panel's scale: raw 40-255 to bar position 0-55, anything else 0.
int positionForRaw(int raw);
// The smallest raw value that shows bar position p (0-55).
int rawForPosition(int p);

// Readings of a broadcast over a repeating cycle, a pure function of the
// seed and the time since the start.
//   0- 50 s  speech, peaks around 80-100 % with short pauses
//  50-110 s  music, peaks around 90-100 %, now and then past 110 %
// 110-130 s  music with overmodulation bursts past +125 % and -100 %
// 130-160 s  music; the carrier dips below its window, later swells above it
// 160-180 s  speech
// 180-200 s  silence (both peaks below the bar) - longer than the 15 s alarm
// 200-240 s  music, then speech
// The carrier otherwise sits at 0 dB (raw 196-199).
class ProgrammeModel {
public:
    static constexpr double CycleSeconds = 240.0;
    static constexpr double SilenceStart = 180.0;
    static constexpr double SilenceEnd = 200.0;

    explicit ProgrammeModel(std::uint64_t seed = 1)
        : m_seed(seed) {}
    RawReading at(double seconds) const;

private:
    double noise(std::uint64_t stream, std::int64_t slot) const;
    double smooth(std::uint64_t stream, double t, double rate) const;
    std::uint64_t m_seed;
};

// Every kind of incident the history records, squeezed into one minute and
// repeated, so a person can watch the record fill up:
//  0- 8 s  speech, peaks around 80-100 %
//  8-10 s  a burst past +125 % (past a variable threshold too)
// 12-14 s  a burst past -100 %
// 16-19 s  loud music at 112-118 %: past a 110 % threshold, not the limits
// 22-30 s  the carrier below its window (carrier alarm on, then off)
// 32-50 s  silence, longer than the 15 s audio-loss delay
// 50-60 s  speech
class DayProgramme {
public:
    static constexpr double CycleSeconds = 60.0;

    explicit DayProgramme(std::uint64_t seed = 1)
        : m_seed(seed) {}
    RawReading at(double seconds) const;

private:
    std::uint64_t m_seed;
};

// Raw readings played in order, one packet per line: nine digits or the full
// ten-character packet. Blank lines and text after '#' are ignored.
class ReadingScript {
public:
    // Parses the text; on a bad line returns nothing and sets *error to a
    // message naming the line.
    static std::optional<ReadingScript> parse(std::string_view text, std::string* error);
    static std::optional<ReadingScript> load(const std::string& path, std::string* error);

    // The next packet: the lines in order, then again from the first when
    // looping, else the last line held.
    std::string next();
    std::size_t size() const { return m_data.size(); }
    void setLoop(bool loop) { m_loop = loop; }

private:
    std::vector<std::string> m_data; // nine digits each
    std::size_t m_next = 0;
    bool m_loop = false;
};

// How often a fault hits a reply: every Nth reply (the Nth, 2Nth, ...) or
// with a probability per reply.
struct FaultRate {
    enum class Kind { Never, EveryNth, Probability };
    Kind kind = Kind::Never;
    std::uint64_t every = 0;
    double probability = 0;

    // "N" (a whole number >= 1) or a probability with a decimal point
    // ("0.1", "1.0"). Returns nothing for anything else.
    static std::optional<FaultRate> parse(std::string_view text);
    // Whether reply number `index` (1-based) is hit. Draws from `rng` only
    // for probabilities.
    bool hits(std::uint64_t index, SimRandom& rng) const;
    bool active() const { return kind != Kind::Never; }
};

struct FaultPlan {
    FaultRate drop;   // no reply at all
    FaultRate garble; // some characters replaced by non-digits
    FaultRate split;  // a pause in the middle of the reply
    FaultRate noise;  // stray bytes before the reply
    int splitPauseMs = 30;
    std::uint64_t silentAfter = 0; // after this many replies, answer nothing...
    double silentForSeconds = 0;   // ...for this long (0: never again)
    std::uint64_t vanishAfter = 0; // after this many replies the device goes away
    int vanishGapMs = 500;         // and a new one appears this much later
};

// What to send for one request.
struct ReplyPlan {
    std::string text;  // the reply as sent (garbled when garbled)
    std::string noise; // stray bytes sent before it
    bool dropped = false;
    bool garbled = false;
    std::size_t splitAt = 0; // > 0: pause after this many characters
    // "ok", or the faults joined by '+': "dropped", "garbled", "noise+split"...
    std::string status() const;
    // A reply that the panel should decode as sent.
    bool valid() const { return !dropped && !garbled; }
};

class FaultInjector {
public:
    FaultInjector(const FaultPlan& plan, std::uint64_t seed)
        : m_plan(plan)
        , m_rng(seed ^ 0x6a09e667f3bcc908ULL) {}
    // Applies the plan to the packet of reply `index` (1-based).
    ReplyPlan plan(std::uint64_t index, const std::string& packet);

private:
    FaultPlan m_plan;
    SimRandom m_rng;
};

// Replaces one to three of the nine digits with characters that are neither
// digits nor 'x', so the result can never pass as a packet.
std::string garblePacket(const std::string& packet, SimRandom& rng);
// One to eight stray bytes that never contain 'x' (so never start a packet).
std::string noiseBytes(SimRandom& rng);

} // namespace zel::sim
