#include "core/protocol/modemdial.h"

namespace zel {

QByteArray speakerCommand(const DialOptions& o) {
    if (o.speakerOff) return QByteArrayLiteral("ATM0");
    if (o.speakerLow) return QByteArrayLiteral("ATM1L1");
    if (o.speakerLoud) return QByteArrayLiteral("ATM1L3");
    return {};
}

static QByteArray withPause(bool on, const QByteArray& code) {
    return on ? code + ",," : QByteArray();
}

static QByteArray withoutTrailingBlanks(const QByteArray& text) {
    qsizetype n = text.size();
    while (n > 0 && text[n - 1] == ' ')
        --n;
    return text.left(n);
}

QByteArray dialCommand(const DialOptions& o) {
    return "AT" + QByteArray(o.tone ? "DT" : "DP") +
           withPause(o.outsideOn, withoutTrailingBlanks(o.outside)) +
           withPause(o.waitingOn, withoutTrailingBlanks(o.waiting)) + withoutTrailingBlanks(o.number);
}

QString dialingCaption(const DialOptions& o) {
    return QStringLiteral("             Dialing  ") +
           QString::fromLatin1(withPause(o.outsideOn, o.outside) + withPause(o.waitingOn, o.waiting) +
                               o.number);
}

QList<QByteArray> modemCommands(const DialOptions& o) {
    QList<QByteArray> commands;
    const QByteArray speaker = speakerCommand(o);
    if (!speaker.isEmpty()) commands << speaker + '\r';
    commands << QByteArrayLiteral("ate0\r");
    if (o.iniOn) commands << o.ini + '\r';
    commands << dialCommand(o) + '\r';
    return commands;
}

ModemOutcome classifyModemResponse(const QByteArray& response) {
    if (response.startsWith("CONNECT")) return ModemOutcome::Connected;
    if (response.contains("BUSY")) return ModemOutcome::Busy;
    if (response.startsWith("NO")) return ModemOutcome::NoDialTone;
    return ModemOutcome::Waiting;
}

void ModemLineReader::reset(const QByteArray& start) {
    m_line = start.left(LineLimit);
    m_last.clear();
}

std::optional<ModemLineReader::Reply> ModemLineReader::feed(QByteArrayView text) {
    for (const char c : text) {
        if (c == '\r' || c == '\n') {
            if (auto reply = endLine()) return reply;
        } else if (m_line.size() < LineLimit) {
            m_line += c;
        }
    }
    return std::nullopt;
}

std::optional<ModemLineReader::Reply> ModemLineReader::flush() {
    return endLine();
}

std::optional<ModemLineReader::Reply> ModemLineReader::endLine() {
    // The blank line before every verbose reply is no reply.
    if (m_line.isEmpty()) return std::nullopt;
    m_last = std::exchange(m_line, QByteArray());
    const ModemOutcome outcome = classifyModemResponse(m_last);
    if (outcome == ModemOutcome::Waiting) return std::nullopt;
    return Reply{outcome, m_last};
}

StreamWordFinder::StreamWordFinder(QByteArrayView word)
    : m_word(word.toByteArray())
    , m_fallback(m_word.size() + 1, 0) {
    for (int i = 1, k = 0; i < m_word.size(); ++i) {
        while (k > 0 && m_word[i] != m_word[k])
            k = m_fallback[k];
        if (m_word[i] == m_word[k]) ++k;
        m_fallback[i + 1] = k;
    }
}

bool StreamWordFinder::feed(QByteArrayView text) {
    if (m_word.isEmpty()) return false;
    for (const char c : text) {
        while (m_matched > 0 && c != m_word[m_matched])
            m_matched = m_fallback[m_matched];
        if (c == m_word[m_matched]) ++m_matched;
        if (m_matched == m_word.size()) {
            m_matched = 0;
            return true;
        }
    }
    return false;
}

} // namespace zel
