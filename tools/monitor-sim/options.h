#pragma once
// Command line of zel-monitor-sim.
#include <cstdint>
#include <string>
#include <vector>

#include "core/transport/programmemodel.h"

struct SimOptions {
    std::uint64_t seed = 1;
    std::string programme = "broadcast"; // or "day"
    std::string scriptPath;
    bool loop = false;
    bool realtime = false;
    int delayMs = 0;
    std::string logPath;
    std::string linkPath;
    zel::sim::FaultPlan faults;

    // --tcp ADDR:PORT --count N: N monitors on TCP ports PORT... (PORT 0:
    // the first free run of N ports); empty host: the pseudo-terminal.
    std::string tcpHost;
    int tcpPort = 0;
    int count = 0; // 0: not given (1)

    bool modem = false;
    int dialDelayMs = 1000;
    std::uint64_t dropCallAfter = 0; // 0: the far end never hangs up
    std::vector<std::string> busyNumbers;
    std::vector<std::string> noDialtoneNumbers;
    std::vector<std::string> noCarrierNumbers;
    std::vector<std::string> noAnswerNumbers;
    std::vector<std::string> silentNumbers;
};

constexpr int MaxTcpMonitors = 256;

// Parses argv. Returns GoOn, or the exit code when the run ends here (--help
// printed: 0; a bad option, reported on stderr: 2).
constexpr int GoOn = -1;
int parseOptions(int argc, char** argv, SimOptions* out);
