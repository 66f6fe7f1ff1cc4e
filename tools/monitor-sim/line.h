#pragma once
// The simulator's side of a 9600-baud line: bytes are queued with the moment
// their last bit would have crossed the line (one character every 1.04 ms,
// one after another) and written to the pseudo-terminal at that moment.
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <string_view>

std::int64_t monotonicNs();

class Line {
public:
    // Bytes leave one by one when due, as on a serial line; or, with
    // wholeReplies, each text given to send() leaves in one write when its
    // last byte is due, as a device server passes a reply on.
    explicit Line(bool wholeReplies = false)
        : m_whole(wholeReplies) {}

    // 10 bits (start, 8 data, stop) at 9600 baud.
    static std::int64_t charsNs(std::int64_t chars) { return chars * 10'000'000'000LL / 9600; }

    // Queues `text` to start no earlier than `earliest` and not before what
    // is queued already. `logLine`, when given, is logged with the time its
    // last byte is written.
    void send(std::int64_t earliest, std::string_view text, std::string logLine = {});
    // When the line is free again (the end of the last queued byte).
    std::int64_t freeAt() const { return m_free; }
    // Deadline of the next byte, or INT64_MAX.
    std::int64_t nextDeadline() const;
    // Writes every byte that is due; log lines go to `log` (may be null).
    void writeDue(int fd, std::int64_t now, std::FILE* log);
    // Drops everything queued (line hung up).
    void clear();
    // Replies (texts sent with a log line) whose last byte was written.
    std::uint64_t repliesWritten() const { return m_replies; }

private:
    struct Byte {
        std::int64_t due;
        char byte;
        std::string logLine;
        bool last; // of a send()
        bool reply;
    };
    std::deque<Byte> m_queue;
    std::int64_t m_free = 0;
    std::uint64_t m_replies = 0;
    bool m_whole = false;
};
