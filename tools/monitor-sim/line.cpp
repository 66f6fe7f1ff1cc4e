#include "line.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <unistd.h>

std::int64_t monotonicNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
}

void Line::send(std::int64_t earliest, std::string_view text, std::string logLine) {
    if (text.empty()) return;
    const std::int64_t start = std::max(earliest, m_free);
    for (std::size_t i = 0; i < text.size(); ++i)
        m_queue.push_back({start + charsNs(std::int64_t(i) + 1), text[i], {}, i + 1 == text.size(), false});
    m_queue.back().reply = !logLine.empty();
    m_queue.back().logLine = std::move(logLine);
    m_free = start + charsNs(std::int64_t(text.size()));
}

std::int64_t Line::nextDeadline() const {
    if (m_queue.empty()) return INT64_MAX;
    if (!m_whole) return m_queue.front().due;
    for (const Byte& b : m_queue)
        if (b.last) return b.due;
    return m_queue.back().due;
}

void Line::writeDue(int fd, std::int64_t now, std::FILE* log) {
    // A line never runs faster than its baud rate. When the simulator was not
    // scheduled for longer than a character, what was due waits, as if the
    // line had been idle, instead of leaving in a burst.
    if (const std::int64_t late = m_queue.empty() ? 0 : now - nextDeadline(); late > charsNs(1)) {
        for (Byte& b : m_queue)
            b.due += late;
        m_free += late;
    }
    // Byte by byte, or each text given to send() in one write.
    while (!m_queue.empty() && nextDeadline() <= now) {
        std::string out;
        Byte end{};
        do {
            end = std::move(m_queue.front());
            m_queue.pop_front();
            out += end.byte;
        } while (m_whole && !end.last && !m_queue.empty());
        // A full buffer means nobody reads: the bytes are lost, as on a line.
        ssize_t n;
        while ((n = ::write(fd, out.data(), out.size())) < 0 && errno == EINTR) {
        }
        if (end.reply && n == ssize_t(out.size())) ++m_replies;
        if (log && !end.logLine.empty())
            std::fprintf(log, "%lld %s\n", static_cast<long long>(monotonicNs()), end.logLine.c_str());
    }
}

void Line::clear() {
    m_queue.clear();
    m_free = 0;
}
