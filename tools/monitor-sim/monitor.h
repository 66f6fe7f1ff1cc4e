#pragma once
// The monitor itself: answers each request with the next reading as a
// packet, through the fault plan, onto the line.
#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>

#include "core/transport/programmemodel.h"
#include "line.h"
#include "options.h"

class Monitor {
public:
    // A request that finds this many replies waiting for the line is ignored.
    static constexpr std::size_t MaxBacklog = 8;
    // Time between the last reply and a vanishing device going away.
    static constexpr std::int64_t VanishGraceNs = 100'000'000;

    Monitor(const SimOptions& options, std::int64_t startNs);
    // Loads the script, if any.
    bool init(std::string* error);

    // A request ("x") arrived at `now`.
    void request(std::int64_t now, Line& line, std::FILE* log);
    // The line was hung up: replies not yet sent are gone.
    void hangUp() { m_backlog.clear(); }

    // When the device is to vanish (INT64_MAX: not now), and that it did.
    std::int64_t vanishAt() const { return m_vanishAt; }
    void vanished() {
        m_vanishAt = INT64_MAX;
        m_vanishing = false;
    }

private:
    std::string nextPacket(std::int64_t now);

    const SimOptions& m_options;
    std::int64_t m_start;
    zel::sim::ProgrammeModel m_model;
    zel::sim::DayProgramme m_day;
    std::optional<zel::sim::ReadingScript> m_script;
    zel::sim::FaultInjector m_faults;
    std::uint64_t m_count = 0;          // requests taken
    std::deque<std::int64_t> m_backlog; // end times of replies still on the line
    std::int64_t m_silentUntil = -1;
    std::int64_t m_vanishAt = INT64_MAX;
    bool m_vanishing = false;
};
