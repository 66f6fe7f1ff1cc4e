#include "core/protocol/packetdecoder.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace zel {

namespace {

// Walks a text while skipping blanks, tabs and line feeds wherever they stand.
class Cursor {
public:
    explicit Cursor(std::string_view text)
        : m_text(text) {
        skip();
    }
    bool atEnd() const { return m_pos >= m_text.size(); }
    char peek() const { return atEnd() ? '\0' : m_text[m_pos]; }
    void advance() {
        ++m_pos;
        skip();
    }

private:
    void skip() {
        while (m_pos < m_text.size() &&
               (m_text[m_pos] == ' ' || m_text[m_pos] == '\t' || m_text[m_pos] == '\n'))
            ++m_pos;
    }
    std::string_view m_text;
    std::size_t m_pos = 0;
};

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

int digitValue(char c, int base) {
    int v = -1;
    if (c >= '0' && c <= '9')
        v = c - '0';
    else if (c >= 'a' && c <= 'f')
        v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        v = c - 'A' + 10;
    return v >= 0 && v < base ? v : -1;
}

double radixNumber(Cursor c, int base) {
    double value = 0;
    for (int d; (d = digitValue(c.peek(), base)) >= 0; c.advance())
        value = value * base + d;
    return value;
}

} // namespace

double leadingNumber(std::string_view text) {
    Cursor c(text);
    if (c.peek() == '&') {
        Cursor r = c;
        r.advance();
        const char kind = r.peek();
        if (kind == 'H' || kind == 'h' || kind == 'O' || kind == 'o') {
            r.advance();
            return radixNumber(r, kind == 'H' || kind == 'h' ? 16 : 8);
        }
        return 0;
    }

    // Gather the number without its blanks, then convert it exactly. Fields
    // are short, so the string stays in its small buffer.
    std::string number;
    bool negative = false;
    if (c.peek() == '+' || c.peek() == '-') {
        negative = c.peek() == '-';
        c.advance();
    }
    // Decimal order of magnitude, to tell overflow from underflow.
    long long order = 0;
    bool significant = false;
    int mantissaDigits = 0;
    for (; isDigit(c.peek()); c.advance()) {
        number += c.peek();
        ++mantissaDigits;
        significant = significant || c.peek() != '0';
        if (significant) ++order;
    }
    if (c.peek() == '.') {
        number += '.';
        c.advance();
        for (; isDigit(c.peek()); c.advance()) {
            number += c.peek();
            ++mantissaDigits;
            if (!significant && c.peek() == '0') --order;
            significant = significant || c.peek() != '0';
        }
    }
    if (mantissaDigits == 0) return 0;

    // The exponent counts only when it forms a number: "1E" is 1, "1E+" is 1.
    const char e = c.peek();
    if (e == 'E' || e == 'e' || e == 'D' || e == 'd') {
        Cursor x = c;
        x.advance();
        std::string exponent = "e";
        if (x.peek() == '+' || x.peek() == '-') {
            exponent += x.peek();
            x.advance();
        }
        if (isDigit(x.peek())) {
            long long value = 0;
            for (; isDigit(x.peek()); x.advance()) {
                exponent += x.peek();
                if (value < 1000000) value = value * 10 + (x.peek() - '0');
            }
            number += exponent;
            order += exponent[1] == '-' ? -value : value;
        }
    }

    double value = 0;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    (void)end;
    if (ec == std::errc::result_out_of_range)
        value = order > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -value : value;
}

float decodeField(std::string_view field) {
    const double value = std::floor(leadingNumber(field));
    if (!(value > 39 && value <= 255)) return 0;
    // Scaled in floating point, kept in single precision, then floored.
    const float scaled = float((value - 39) * 100 / 392);
    return std::floor(scaled);
}

Readings decodePacket(std::string_view data) {
    auto field = [data](std::size_t start) {
        return start < data.size() ? data.substr(start, 3) : std::string_view();
    };
    return {decodeField(field(0)), decodeField(field(3)), decodeField(field(6))};
}

} // namespace zel
