#include "modem.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>

namespace {

constexpr std::size_t MaxCommandLength = 255;

bool listed(const std::vector<std::string>& numbers, const std::string& number) {
    return std::find(numbers.begin(), numbers.end(), number) != numbers.end();
}

// Skips the decimal digits at `i`, returning their value (0 if none).
int digitsAt(const std::string& s, std::size_t& i) {
    int v = 0;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])))
        v = std::min(v * 10 + (s[i++] - '0'), 100000);
    return v;
}

} // namespace

void Modem::hangUp() {
    m_state = State::Command;
    m_echo = true;
    m_buffer.clear();
    m_dialDue = INT64_MAX;
    m_dialResult.clear();
}

void Modem::input(std::string_view data, std::int64_t now, Line& line, Monitor& monitor, std::FILE* log) {
    for (const char c : data) {
        switch (m_state) {
        case State::Online:
            if (c == 'x') {
                // A request the monitor answered puts its reply on the line.
                const std::int64_t before = line.freeAt();
                monitor.request(now, line, log);
                if (line.freeAt() != before && ++m_replies == m_options.dropCallAfter) {
                    // The far end hangs up: the modem says so once the
                    // reply is out, and takes commands again.
                    line.send(now, "\r\nNO CARRIER\r\n");
                    m_state = State::Command;
                }
            }
            break;
        case State::Dialling:
            break;
        case State::Command:
            if (m_echo) line.send(now, std::string_view(&c, 1));
            if (c == '\r') {
                const std::string text = m_buffer;
                m_buffer.clear();
                command(text, now, line);
            } else if (c == '\b' || c == 127) {
                if (!m_buffer.empty()) m_buffer.pop_back();
            } else if (c != '\n' && m_buffer.size() < MaxCommandLength) {
                m_buffer += c;
            }
            break;
        }
    }
}

void Modem::command(const std::string& text, std::int64_t now, Line& line) {
    // Everything before "AT" is line noise to a modem.
    std::size_t at = std::string::npos;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(text[i])) == 'A' &&
            std::toupper(static_cast<unsigned char>(text[i + 1])) == 'T') {
            at = i;
            break;
        }
    }
    if (at == std::string::npos) return;
    const std::string cmds = text.substr(at + 2);
    std::size_t i = 0;
    while (i < cmds.size()) {
        const char c = char(std::toupper(static_cast<unsigned char>(cmds[i++])));
        switch (c) {
        case 'D':
            dial(std::string_view(cmds).substr(i), now);
            return; // the result comes when the call does
        case 'E':
            m_echo = digitsAt(cmds, i) != 0;
            break;
        case 'Z':
            digitsAt(cmds, i);
            m_echo = true;
            break;
        case '&':
            if (i < cmds.size()) ++i;
            digitsAt(cmds, i);
            break;
        case 'S':
            digitsAt(cmds, i);
            if (i < cmds.size() && cmds[i] == '=') {
                ++i;
                digitsAt(cmds, i);
            } else if (i < cmds.size() && cmds[i] == '?') {
                ++i;
            }
            break;
        default:
            // Speaker (M, L), result codes (V, Q, X) and the rest: accepted.
            digitsAt(cmds, i);
            break;
        }
    }
    line.send(now, "OK\r\n");
}

void Modem::dial(std::string_view dialString, std::int64_t now) {
    if (const std::size_t comma = dialString.rfind(','); comma != std::string_view::npos)
        dialString.remove_prefix(comma + 1);
    else if (!dialString.empty() && std::strchr("TtPp", dialString.front()))
        dialString.remove_prefix(1);
    // Taken as it is, like an emulator that dials a host name: a blank or
    // any other character makes it a number that nobody answers.
    const std::string number(dialString);
    const bool digits = std::all_of(number.begin(), number.end(),
                                    [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
    m_state = State::Dialling;
    m_dialDue = now + std::int64_t(m_options.dialDelayMs) * 1'000'000;
    if (number.empty() || !digits || listed(m_options.noCarrierNumbers, number))
        m_dialResult = "NO CARRIER";
    else if (listed(m_options.busyNumbers, number))
        m_dialResult = "BUSY";
    else if (listed(m_options.noDialtoneNumbers, number))
        m_dialResult = "NO DIALTONE";
    else if (listed(m_options.noAnswerNumbers, number))
        m_dialResult = "NO ANSWER";
    else if (listed(m_options.silentNumbers, number))
        m_dialDue = INT64_MAX; // rings for ever
    else
        m_dialResult.clear();
}

void Modem::tick(std::int64_t now, Line& line) {
    if (m_state != State::Dialling || now < m_dialDue) return;
    m_dialDue = INT64_MAX;
    if (m_dialResult.empty()) {
        line.send(now, "\r\nCONNECT 9600\r\n");
        m_state = State::Online;
        m_replies = 0;
    } else {
        line.send(now, "\r\n" + m_dialResult + "\r\n");
        m_state = State::Command;
    }
}
