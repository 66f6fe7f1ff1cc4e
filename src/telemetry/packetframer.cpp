#include "telemetry/packetframer.h"

namespace zel {
std::optional<PacketFramer::Data> PacketFramer::feed(std::string_view) {
    return std::nullopt;
}
} // namespace zel
