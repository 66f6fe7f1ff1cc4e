#pragma once
// The monitor's telemetry packet: "x" and nine decimal digits, three 3-digit
// fields (positive peak, negative peak, carrier level), each decoded into a
// bar position 0 to 55.
#include <string_view>

#include "core/types/readings.h"

namespace zel {

// The numeric value a text begins with, read the lenient way the panel has
// always read its fields: blanks, tabs and line feeds are skipped wherever
// they stand; a sign, digits, a decimal point and an exponent (E or D and
// digits) as far as they form a number; "&H" / "&O" introduce hexadecimal /
// octal digits; anything else ends the number; no number gives 0.
double leadingNumber(std::string_view text);

// One 3-character field to a bar position: floor of the value; 39 or less
// and above 255 give 0; otherwise floor((value - 39) * 100 / 392) computed in
// single precision.
float decodeField(std::string_view field);

// The nine data characters of a packet (without the leading "x").
Readings decodePacket(std::string_view data);

} // namespace zel
