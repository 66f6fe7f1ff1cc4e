#include "core/types/text.h"

namespace zel {

QString escapeControl(const QString& text) {
    const auto isControl = [](char16_t c) { return c < 0x20 || (c >= 0x7f && c <= 0x9f); };
    qsizetype i = 0;
    while (i < text.size() && !isControl(text[i].unicode()))
        ++i;
    if (i == text.size()) return text; // the usual case: nothing to copy
    QString out = text.left(i);
    out.reserve(text.size() + 8);
    static const char hex[] = "0123456789abcdef";
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (!isControl(c)) {
            out += QChar(c);
        } else if (c == u'\t') {
            out += QLatin1String("\\t");
        } else if (c == u'\n') {
            out += QLatin1String("\\n");
        } else if (c == u'\r') {
            out += QLatin1String("\\r");
        } else {
            out += QLatin1String("\\x");
            out += QLatin1Char(hex[(c >> 4) & 0xf]);
            out += QLatin1Char(hex[c & 0xf]);
        }
    }
    return out;
}

} // namespace zel
