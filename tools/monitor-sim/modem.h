#pragma once
// A Hayes modem in front of the monitor: command mode with echo, OK to every
// set-up command, a dial that connects (or is busy, finds no dial tone...)
// after a delay, then data passed through to the monitor until the panel
// closes the device, or until the far end drops the call (--drop-call-after).
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "line.h"
#include "monitor.h"
#include "options.h"

class Modem {
public:
    explicit Modem(const SimOptions& options)
        : m_options(options) {}

    // Bytes from the panel.
    void input(std::string_view data, std::int64_t now, Line& line, Monitor& monitor, std::FILE* log);
    // Ends a dial whose time has come.
    void tick(std::int64_t now, Line& line);
    std::int64_t nextDeadline() const { return m_dialDue; }
    // Line dropped: on-hook, command mode, echo on.
    void hangUp();

private:
    enum class State { Command, Dialling, Online };
    void command(const std::string& text, std::int64_t now, Line& line);
    void dial(std::string_view dialString, std::int64_t now);

    const SimOptions& m_options;
    State m_state = State::Command;
    bool m_echo = true;
    std::string m_buffer;
    std::int64_t m_dialDue = INT64_MAX;
    std::string m_dialResult;    // empty: CONNECT
    std::uint64_t m_replies = 0; // replies in this call
};
