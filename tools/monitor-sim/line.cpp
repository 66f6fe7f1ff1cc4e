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
        m_queue.push_back({start + charsNs(std::int64_t(i) + 1), text[i], {}});
    m_queue.back().logLine = std::move(logLine);
    m_free = start + charsNs(std::int64_t(text.size()));
}

std::int64_t Line::nextDeadline() const {
    return m_queue.empty() ? INT64_MAX : m_queue.front().due;
}

void Line::writeDue(int fd, std::int64_t now, std::FILE* log) {
    // A line never runs faster than its baud rate. When the simulator was not
    // scheduled for longer than a character, what was due waits, as if the
    // line had been idle, instead of leaving in a burst.
    if (const std::int64_t late = m_queue.empty() ? 0 : now - m_queue.front().due; late > charsNs(1)) {
        for (Byte& b : m_queue)
            b.due += late;
        m_free += late;
    }
    while (!m_queue.empty() && m_queue.front().due <= now) {
        const Byte& b = m_queue.front();
        // A full buffer means nobody reads: the byte is lost, as on a line.
        while (::write(fd, &b.byte, 1) < 0 && errno == EINTR) {
        }
        if (log && !b.logLine.empty())
            std::fprintf(log, "%lld %s\n", static_cast<long long>(monotonicNs()), b.logLine.c_str());
        m_queue.pop_front();
    }
}

void Line::clear() {
    m_queue.clear();
    m_free = 0;
}
