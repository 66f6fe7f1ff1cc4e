#pragma once
// Finds packets ("x" and nine digits) in what is read from the line. A read
// may hold several replies, noise, or end inside a reply: only the most
// recent complete packet is handed on, and an incomplete packet at the end
// is kept for the next read. Nothing is ever decoded from a torn packet.
#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace zel {

class PacketFramer {
public:
    static constexpr int PacketSize = 10;
    using Data = std::array<char, 9>;

    // Feeds one read; returns the data of the most recent complete packet
    // that the read completes, if any.
    std::optional<Data> feed(std::string_view read);
    // Forgets a kept incomplete packet (new connection).
    void reset() { m_pending.clear(); }
    const std::string& pending() const { return m_pending; }

private:
    std::string m_pending; // at most PacketSize - 1 characters
};

} // namespace zel
