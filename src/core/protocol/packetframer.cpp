#include "core/protocol/packetframer.h"

namespace zel {

namespace {

constexpr char Start = 'x';
constexpr std::size_t DataSize = PacketFramer::PacketSize - 1;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The kept tail and the new read seen as one text, without joining them:
// a read can be long and joining would allocate on every packet.
class Joined {
public:
    Joined(std::string_view head, std::string_view tail)
        : m_head(head)
        , m_tail(tail) {}
    std::size_t size() const { return m_head.size() + m_tail.size(); }
    char operator[](std::size_t i) const { return i < m_head.size() ? m_head[i] : m_tail[i - m_head.size()]; }

private:
    std::string_view m_head;
    std::string_view m_tail;
};

// Digits only from `from` up to (not including) `to`.
bool allDigits(const Joined& text, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i)
        if (!isDigit(text[i])) return false;
    return true;
}

} // namespace

std::optional<PacketFramer::Data> PacketFramer::feed(std::string_view read) {
    const Joined text(m_pending, read);
    const std::size_t n = text.size();

    // The most recent complete packet: the last "x" that nine digits follow.
    std::optional<Data> found;
    for (std::size_t k = n >= PacketSize ? n - PacketSize + 1 : 0; k-- > 0;) {
        if (text[k] == Start && allDigits(text, k + 1, k + PacketSize)) {
            Data data;
            for (std::size_t i = 0; i < DataSize; ++i)
                data[i] = text[k + 1 + i];
            found = data;
            break;
        }
    }

    // Keep the start of a reply that the next read will complete: an "x" and
    // fewer than nine digits at the very end. Anything else is dropped, so
    // noise never accumulates.
    std::size_t start = n;
    for (std::size_t k = n; k-- > 0 && n - k <= DataSize;) {
        if (text[k] == Start) {
            start = k;
            break;
        }
    }
    std::string next;
    if (start < n && allDigits(text, start + 1, n))
        for (std::size_t i = start; i < n; ++i)
            next += text[i];
    m_pending.swap(next);
    return found;
}

} // namespace zel
