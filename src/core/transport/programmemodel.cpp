#include "core/transport/programmemodel.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace zel::sim {

namespace {

std::uint64_t mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

int clampRaw(double raw) {
    return std::clamp(int(std::ceil(raw)), 0, 255);
}

// Continuous bar position to a raw value that shows it.
int rawFor(double position) {
    if (position <= 0) return 0;
    return clampRaw(39.0 + std::min(position, 55.0) * 3.92);
}

bool isDigits(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

std::uint64_t SimRandom::next() {
    m_state += 0x9e3779b97f4a7c15ULL;
    return mix(m_state);
}

double SimRandom::uniform() {
    return double(next() >> 11) * 0x1.0p-53;
}

int SimRandom::between(int lo, int hi) {
    if (hi <= lo) return lo;
    return lo + int(next() % std::uint64_t(hi - lo + 1));
}

std::string formatPacket(const RawReading& r) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "x%03d%03d%03d", std::clamp(r.positive, 0, 999),
                  std::clamp(r.negative, 0, 999), std::clamp(r.carrier, 0, 999));
    return buf;
}

bool isValidPacket(std::string_view text) {
    return text.size() == 10 && text[0] == 'x' && isDigits(text.substr(1));
}

int positionForRaw(int raw) {
    if (raw <= 39 || raw > 255) return 0;
    return ((raw - 39) * 25) / 98;
}

int rawForPosition(int p) {
    if (p <= 0) return 0;
    return 39 + (std::min(p, 55) * 98 + 24) / 25;
}

double ProgrammeModel::noise(std::uint64_t stream, std::int64_t slot) const {
    const std::uint64_t h = mix(mix(m_seed * 0x9e3779b97f4a7c15ULL + stream) ^ std::uint64_t(slot));
    return double(h >> 11) * 0x1.0p-53;
}

// Value noise: random levels `rate` times a second, eased between.
double ProgrammeModel::smooth(std::uint64_t stream, double t, double rate) const {
    const double x = t * rate;
    const double i = std::floor(x);
    const double f = x - i;
    const double s = f * f * (3 - 2 * f);
    const double a = noise(stream, std::int64_t(i));
    const double b = noise(stream, std::int64_t(i) + 1);
    return a + (b - a) * s;
}

RawReading ProgrammeModel::at(double seconds) const {
    if (!(seconds >= 0)) seconds = 0;
    const auto cycle = std::int64_t(std::floor(seconds / CycleSeconds));
    const double t = seconds - double(cycle) * CycleSeconds;
    // Each cycle draws its own variation from separate streams.
    const std::uint64_t c = std::uint64_t(cycle) * 16;

    enum class Kind { Speech, Music, Overmodulation, Silence };
    Kind kind = Kind::Music;
    if (t < 50 || (t >= 160 && t < 180) || t >= 225)
        kind = Kind::Speech;
    else if (t >= 110 && t < 130)
        kind = Kind::Overmodulation;
    else if (t >= SilenceStart && t < SilenceEnd)
        kind = Kind::Silence;

    RawReading r;
    // Carrier: 0 dB (position 40, raw 196-199) with a dip below the window
    // and a swell above it.
    if (t >= 135 && t < 145)
        r.carrier = rawFor(30.0 + 3.0 * smooth(c + 2, t, 1.0));
    else if (t >= 150 && t < 154)
        r.carrier = rawFor(46.0 + 1.5 * smooth(c + 2, t, 1.0));
    else
        r.carrier = 196 + int(noise(c + 1, std::int64_t(t * 5)) * 4);

    if (kind == Kind::Silence) {
        // Hiss below the first segment: raw 0-40 never shows.
        r.positive = int(noise(c + 3, std::int64_t(t * 20)) * 41);
        r.negative = int(noise(c + 4, std::int64_t(t * 20)) * 41);
        return r;
    }

    double pos = 0;
    if (kind == Kind::Speech) {
        // Syllables at about five a second, short pauses between phrases.
        if (noise(c + 5, std::int64_t(t * 2)) < 0.12) {
            pos = 3.0 + 5.0 * noise(c + 6, std::int64_t(t * 20));
        } else {
            pos = 27.0 + 13.0 * smooth(c + 7, t, 5.0);
            if (noise(c + 8, std::int64_t(t * 4)) < 0.05) pos += 2.0;
        }
    } else {
        pos = 33.0 + 7.0 * smooth(c + 9, t, 2.0);
        // Now and then a loud beat past 110 %.
        if (noise(c + 10, std::int64_t(t * 2)) < 0.08) pos = 43.0 + 4.5 * noise(c + 11, std::int64_t(t * 20));
    }
    double neg = pos * (0.86 + 0.1 * smooth(c + 12, t, 3.0));

    if (kind == Kind::Overmodulation) {
        // A burst of 0.3 s at a random moment of every 1.5 s.
        const auto slot = std::int64_t(t / 1.5);
        const double start = double(slot) * 1.5 + noise(c + 13, slot) * 1.1;
        if (t >= start && t < start + 0.3) {
            pos = 52.0 + 3.0 * noise(c + 14, std::int64_t(t * 20));
            neg = 40.0 + 4.0 * noise(c + 15, std::int64_t(t * 20));
        }
    }
    r.positive = rawFor(pos);
    r.negative = rawFor(neg);
    return r;
}

RawReading DayProgramme::at(double seconds) const {
    if (!(seconds >= 0)) seconds = 0;
    const double t = std::fmod(seconds, CycleSeconds);
    const auto slot = std::int64_t(seconds * 20);
    const double n = double(mix(m_seed * 0x9e3779b97f4a7c15ULL ^ std::uint64_t(slot)) >> 11) * 0x1.0p-53;
    double pos = 30.0 + 9.0 * n; // 80-98 %
    double neg = pos * 0.9;
    if (t >= 8 && t < 10) {
        pos = 53.0 + 2.0 * n;
        neg = 34.0;
    } else if (t >= 12 && t < 14) {
        pos = 36.0;
        neg = 41.0 + 2.0 * n;
    } else if (t >= 16 && t < 19) {
        pos = 46.0 + 3.0 * n;
        neg = 38.0;
    }
    RawReading r;
    r.carrier = (t >= 22 && t < 30) ? rawFor(30.0) : 196 + int(n * 4);
    if (t >= 32 && t < 50) {
        r.positive = int(n * 41); // hiss below the first segment
        r.negative = int((1.0 - n) * 41);
        return r;
    }
    r.positive = rawFor(pos);
    r.negative = rawFor(neg);
    return r;
}

std::optional<ReadingScript> ReadingScript::parse(std::string_view text, std::string* error) {
    ReadingScript script;
    std::size_t lineNo = 0;
    while (!text.empty()) {
        ++lineNo;
        const std::size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        if (const std::size_t hash = line.find('#'); hash != std::string_view::npos)
            line = line.substr(0, hash);
        while (!line.empty() && std::strchr(" \t\r", line.front()))
            line.remove_prefix(1);
        while (!line.empty() && std::strchr(" \t\r", line.back()))
            line.remove_suffix(1);
        if (line.empty()) continue;
        std::string_view data = line;
        if (data.size() == 10 && data.front() == 'x') data.remove_prefix(1);
        if (data.size() != 9 || !isDigits(data)) {
            if (error)
                *error = "line " + std::to_string(lineNo) + ": \"" + std::string(line) +
                         "\" is not a reading (nine digits, or x and nine digits)";
            return std::nullopt;
        }
        script.m_data.emplace_back(data);
    }
    if (script.m_data.empty()) {
        if (error) *error = "the script holds no readings";
        return std::nullopt;
    }
    return script;
}

std::optional<ReadingScript> ReadingScript::load(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::ostringstream all;
    all << in.rdbuf();
    auto script = parse(all.str(), error);
    if (!script && error) *error = path + ": " + *error;
    return script;
}

std::string ReadingScript::next() {
    if (m_data.empty()) return formatPacket({});
    if (m_next >= m_data.size()) {
        if (!m_loop) return "x" + m_data.back();
        m_next = 0;
    }
    return "x" + m_data[m_next++];
}

std::optional<FaultRate> FaultRate::parse(std::string_view text) {
    FaultRate rate;
    if (text.empty()) return std::nullopt;
    if (text.find('.') != std::string_view::npos) {
        // Probability; std::from_chars for double is not in every library
        // yet, so strtod on a copy.
        const std::string copy(text);
        char* end = nullptr;
        errno = 0;
        const double p = std::strtod(copy.c_str(), &end);
        if (errno != 0 || end != copy.c_str() + copy.size() || !(p >= 0 && p <= 1)) return std::nullopt;
        if (p > 0) {
            rate.kind = Kind::Probability;
            rate.probability = p;
        }
        return rate;
    }
    std::uint64_t n = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || ptr != text.data() + text.size() || n == 0) return std::nullopt;
    rate.kind = Kind::EveryNth;
    rate.every = n;
    return rate;
}

bool FaultRate::hits(std::uint64_t index, SimRandom& rng) const {
    switch (kind) {
    case Kind::Never:
        return false;
    case Kind::EveryNth:
        return index % every == 0;
    case Kind::Probability:
        return rng.uniform() < probability;
    }
    return false;
}

std::string ReplyPlan::status() const {
    if (dropped) return "dropped";
    std::string s;
    const auto add = [&s](const char* tag) { s += s.empty() ? tag : std::string("+") + tag; };
    if (garbled) add("garbled");
    if (!noise.empty()) add("noise");
    if (splitAt > 0) add("split");
    return s.empty() ? "ok" : s;
}

ReplyPlan FaultInjector::plan(std::uint64_t index, const std::string& packet) {
    // Every rate is asked every time so a run stays reproducible whatever
    // hits first.
    const bool drop = m_plan.drop.hits(index, m_rng);
    const bool garble = m_plan.garble.hits(index, m_rng);
    const bool split = m_plan.split.hits(index, m_rng);
    const bool noise = m_plan.noise.hits(index, m_rng);
    ReplyPlan r;
    r.text = packet;
    if (drop) {
        r.dropped = true;
        return r;
    }
    if (garble) {
        r.text = garblePacket(packet, m_rng);
        r.garbled = true;
    }
    if (split && r.text.size() > 1) r.splitAt = std::size_t(m_rng.between(1, int(r.text.size()) - 1));
    if (noise) r.noise = noiseBytes(m_rng);
    return r;
}

std::string garblePacket(const std::string& packet, SimRandom& rng) {
    static constexpr std::string_view junk = "?#*!%&@/:;<=>ABCDEFGHJKLMNPQRSTUVWYZabcdefghjkmnpqrstuvwyz";
    std::string out = packet;
    if (out.size() < 10) out.resize(10, '0');
    const int count = rng.between(1, 3);
    for (int i = 0; i < count; ++i) {
        const auto at = std::size_t(rng.between(1, 9));
        out[at] = junk[std::size_t(rng.between(0, int(junk.size()) - 1))];
    }
    return out;
}

std::string noiseBytes(SimRandom& rng) {
    std::string out;
    const int count = rng.between(1, 8);
    while (int(out.size()) < count) {
        const char c = char(rng.between(0, 255));
        if (c != 'x') out += c;
    }
    return out;
}

} // namespace zel::sim
