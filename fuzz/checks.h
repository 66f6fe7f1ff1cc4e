#pragma once
// What must hold for any input, whatever the line or the disk delivers. The
// fuzz targets run these on generated inputs and stop at the first broken
// rule; tests/fuzzregress runs them on the seed corpus and on every input a
// fuzzer ever found, so a fixed fault stays fixed. Each check returns an
// empty string when all is well, else what went wrong.
#include "core/protocol/modemdial.h"
#include "core/protocol/packetdecoder.h"
#include "core/protocol/packetframer.h"
#include "core/settings/diskfile.h"

#include <QByteArray>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelfuzz {

inline std::string printable(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 32 && c < 127 && c != '\\') {
            out += char(c);
        } else {
            static const char hex[] = "0123456789abcdef";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

inline bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// A decoded bar position: a whole number 0..55.
inline bool isPosition(float p) {
    return std::isfinite(p) && p >= 0 && p <= 55 && p == std::floor(p);
}

// The decoding of a field of three digits, by integer arithmetic.
inline float digitsPosition(std::string_view field) {
    const int v = (field[0] - '0') * 100 + (field[1] - '0') * 10 + (field[2] - '0');
    return v <= 39 || v > 255 ? 0.0f : float((v - 39) * 25 / 98);
}

// --- Framing and decoding --------------------------------------------------
//
// Input: byte 0 gives how many of the following bytes are piece lengths
// (0..15); the rest is the byte stream, fed to the framer in pieces of those
// lengths, used in turn (the last piece takes what is left).
inline std::string checkFraming(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return {};
    std::size_t splitCount = std::min<std::size_t>(data[0] % 16, size - 1);
    std::vector<std::size_t> lengths(data + 1, data + 1 + splitCount);
    const std::string_view stream(reinterpret_cast<const char*>(data) + 1 + splitCount,
                                  size - 1 - splitCount);

    zel::PacketFramer framer;
    std::size_t fed = 0;
    // Empty reads are fed too, but the last possible piece takes the rest.
    const std::size_t maxPieces = stream.size() + 1;
    for (std::size_t piece = 0; piece == 0 || fed < stream.size(); ++piece) {
        const std::size_t rest = stream.size() - fed;
        const std::size_t len = lengths.empty() || piece + 1 >= maxPieces
                                    ? rest
                                    : std::min(lengths[piece % lengths.size()], rest);
        const std::string_view read = stream.substr(fed, len);
        const std::size_t before = fed;
        fed += len;
        const std::optional<zel::PacketFramer::Data> got = framer.feed(read);

        // Expected: the last "x" and nine digits that ends inside this read.
        std::optional<std::string_view> want;
        for (std::size_t end = fed; end > before && end >= 10 && !want; --end) {
            const std::string_view candidate = stream.substr(end - 10, 10);
            bool digits = candidate[0] == 'x';
            for (std::size_t i = 1; i < 10 && digits; ++i)
                digits = isDigit(candidate[i]);
            if (digits) want = candidate.substr(1);
        }
        const std::string gotText = got ? std::string(got->data(), got->size()) : std::string();
        if (bool(got) != bool(want) || (want && gotText != *want))
            return "framer handed on \"" + printable(gotText) + "\" for the read \"" + printable(read) +
                   "\" at offset " + std::to_string(before) + ", expected \"" +
                   printable(want ? *want : std::string_view()) + "\"";

        // Kept: only an "x" and fewer than nine digits at the very end.
        std::string_view keep;
        const std::size_t from = fed > 9 ? fed - 9 : 0;
        const std::size_t x = stream.substr(from, fed - from).rfind('x');
        if (x != std::string_view::npos) {
            keep = stream.substr(from + x, fed - from - x);
            for (std::size_t i = 1; i < keep.size(); ++i)
                if (!isDigit(keep[i])) keep = {};
        }
        if (framer.pending().size() >= zel::PacketFramer::PacketSize)
            return "framer keeps " + std::to_string(framer.pending().size()) + " characters";
        if (framer.pending() != keep)
            return "framer keeps \"" + printable(framer.pending()) + "\" after offset " +
                   std::to_string(fed) + ", expected \"" + printable(keep) + "\"";

        if (got) {
            const zel::Readings r = zel::decodePacket(std::string_view(got->data(), got->size()));
            const float want3[] = {digitsPosition(gotText.substr(0, 3)), digitsPosition(gotText.substr(3, 3)),
                                   digitsPosition(gotText.substr(6, 3))};
            if (r.posPeak != want3[0] || r.negPeak != want3[1] || r.carrierLevel != want3[2])
                return "packet " + gotText + " decoded to " + std::to_string(r.posPeak) + " " +
                       std::to_string(r.negPeak) + " " + std::to_string(r.carrierLevel);
        }
    }

    // Any three characters at all decode to a position; never a fault.
    for (std::size_t i = 0; i + 3 <= stream.size() && i < 64; ++i) {
        const float p = zel::decodeField(stream.substr(i, 3));
        if (!isPosition(p))
            return "field \"" + printable(stream.substr(i, 3)) + "\" decoded to " + std::to_string(p);
    }
    if (stream.size() >= 9) {
        const zel::Readings r = zel::decodePacket(stream.substr(stream.size() - 9));
        if (!isPosition(r.posPeak) || !isPosition(r.negPeak) || !isPosition(r.carrierLevel))
            return "data \"" + printable(stream.substr(stream.size() - 9)) + "\" decoded out of range";
    }
    // The lenient number reader over the whole text: no fault, no NaN.
    const double n = zel::leadingNumber(stream);
    if (std::isnan(n)) return "leadingNumber(\"" + printable(stream) + "\") is NaN";
    return {};
}

// --- Settings file -----------------------------------------------------------

// The offset of the flag that byte `off` belongs to, or -1.
inline int flagStart(int off) {
    using D = zel::DiskFileDefinition;
    for (int f : {D::OffDirectCable, D::OffModemLink, D::OffToneDial, D::OffPulseDial, D::OffSpeakerOff,
                  D::OffSpeakerLow, D::OffSpeakerLoud, D::OffBeepOffShown, D::OffBeepOnShown})
        if (off == f || off == f + 1) return f;
    return -1;
}

inline std::string checkSettings(const std::uint8_t* data, std::size_t size) {
    using D = zel::DiskFileDefinition;
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const std::optional<D> record = D::decode(bytes);
    if (size < std::size_t(D::Size) && record)
        return "a record was read from " + std::to_string(size) + " bytes";
    if (size >= std::size_t(D::Size) && !record)
        return "no record read from " + std::to_string(size) + " bytes";

    if (record) {
        const QByteArray encoded = record->encode();
        if (encoded.size() != D::Size) return "encode gave " + std::to_string(encoded.size()) + " bytes";
        for (int i = 0; i < D::Size; ++i) {
            char want = bytes[i];
            // A flag reads as true when either byte is set and is written
            // back as FF FF; every other byte is kept as it stood.
            if (const int f = flagStart(i); f >= 0)
                want = bytes[f] != 0 || bytes[f + 1] != 0 ? char(0xff) : char(0);
            if (encoded[i] != want)
                return "encode(decode(x)) differs at byte " + std::to_string(i) + " of \"" +
                       printable(std::string_view(bytes.constData(), D::Size)) + "\"";
        }
        const std::optional<D> again = D::decode(encoded);
        if (!again || again->encode() != encoded) return "a written record does not read back the same";
    }

    // The number fields read any text without fault; a value they give is
    // the one written.
    const QByteArray head = bytes.left(12);
    const std::optional<short> check = zel::checkStateValue(head);
    const std::optional<short> level = zel::levelValue(head);
    (void)check;
    (void)level;
    if (size >= 2) {
        const short n = short(data[0] | (data[1] << 8));
        const QByteArray text = zel::checkStateText(n);
        const std::optional<short> back = zel::checkStateValue(text);
        if (!back || *back != n) return "check state " + std::to_string(n) + " does not read back";
        if (text.size() <= D::CheckWidth) {
            const std::optional<short> padded = zel::checkStateValue(text.leftJustified(D::CheckWidth));
            if (!padded || *padded != n)
                return "padded check state " + std::to_string(n) + " does not read back";
        }
        const int percent = data[0] % 100 + (data[1] % 2) * 100;
        const std::optional<short> lv = zel::levelValue(QByteArray::number(percent));
        if (!lv || *lv != percent) return "level " + std::to_string(percent) + " does not read back";
    }
    return {};
}

// --- Modem replies -------------------------------------------------------------

// The decisive line of the modem's text (the nine zeros first, as at a dial)
// by the plain rule: lines end at CR or LF, are cut at the reader's limit,
// and the first non-empty one that is a CONNECT, BUSY or NO ... decides; with
// `quiet`, an unended last line counts too.
inline std::optional<std::pair<zel::ModemOutcome, QByteArray>> modemReference(const QByteArray& received,
                                                                              bool quiet) {
    const QByteArray text = "000000000" + received;
    QByteArray line;
    const auto decide = [&]() -> std::optional<std::pair<zel::ModemOutcome, QByteArray>> {
        const QByteArray whole = std::exchange(line, QByteArray());
        if (whole.startsWith("CONNECT")) return std::pair(zel::ModemOutcome::Connected, whole);
        if (whole.contains("BUSY")) return std::pair(zel::ModemOutcome::Busy, whole);
        if (whole.startsWith("NO")) return std::pair(zel::ModemOutcome::NoDialTone, whole);
        return std::nullopt;
    };
    for (const char c : text) {
        if (c == '\r' || c == '\n') {
            if (auto d = decide()) return d;
        } else if (line.size() < zel::ModemLineReader::LineLimit) {
            line += c;
        }
    }
    if (quiet) return decide();
    return std::nullopt;
}

inline std::string checkModem(const std::uint8_t* data, std::size_t size) {
    const QByteArray received(reinterpret_cast<const char*>(data), qsizetype(size));

    // The same reply whether the text comes at once or a character a read.
    for (const bool oneByOne : {false, true}) {
        zel::ModemLineReader reader;
        reader.reset("000000000");
        std::optional<zel::ModemLineReader::Reply> reply;
        if (oneByOne) {
            for (qsizetype i = 0; i < received.size() && !reply; ++i)
                reply = reader.feed(QByteArrayView(received).sliced(i, 1));
        } else {
            reply = reader.feed(received);
        }
        const bool quiet = !reply;
        if (!reply) reply = reader.flush();
        const auto want = modemReference(received, quiet);
        const bool same =
            reply ? want && reply->outcome == want->first && reply->line == want->second : !want;
        if (!same)
            return "\"" + printable(received.toStdString()) + "\" read " +
                   (oneByOne ? "a character a time" : "at once") + " gave \"" +
                   (reply ? printable(reply->line.toStdString()) : std::string("nothing")) + "\", want \"" +
                   (want ? printable(want->second.toStdString()) : std::string("nothing")) + "\"";
    }

    // NO CARRIER among the packets is found where it first ends, however the
    // text is cut: here once where the first byte says, then a byte a read.
    const qsizetype end = received.contains("NO CARRIER") ? received.indexOf("NO CARRIER") + 10 : -1;
    const qsizetype cut = received.isEmpty() ? 0 : data[0] % received.size();
    zel::StreamWordFinder finder("NO CARRIER");
    qsizetype found = -1;
    if (finder.feed(QByteArrayView(received).first(cut))) found = end >= 0 && end <= cut ? end : cut;
    for (qsizetype i = cut; i < received.size() && found < 0; ++i)
        if (finder.feed(QByteArrayView(received).sliced(i, 1))) found = i + 1;
    if (found != end)
        return "NO CARRIER in \"" + printable(received.toStdString()) + "\" found at " +
               std::to_string(found) + ", not " + std::to_string(end);
    return {};
}

} // namespace zelfuzz
