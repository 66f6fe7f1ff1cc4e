#pragma once
// The Hayes side of dialling the monitor's site: the commands sent in one
// burst (speaker, echo off, the operator's initialisation text, the dial
// command), the dialling caption, and the reading of the modem's replies.
#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

namespace zel {

struct DialOptions {
    bool speakerOff = false;
    bool speakerLow = false;
    bool speakerLoud = false;
    bool iniOn = false;
    QByteArray ini;
    bool tone = true;
    bool outsideOn = false;
    QByteArray outside;
    bool waitingOn = false;
    QByteArray waiting;
    QByteArray number;
};

// "ATM0", "ATM1L1" or "ATM1L3" for the first speaker option selected, in
// that order of testing; empty when none is.
QByteArray speakerCommand(const DialOptions& o);
// "AT" + "DT"/"DP" + outside",," + waiting",," + number, without the CR.
// Trailing blanks of each part (a stored record pads its fields) are left
// out: Hayes modems skip them, but some emulators and VoIP adapters dial
// them.
QByteArray dialCommand(const DialOptions& o);
// The caption of the dialling label: 13 blanks, "Dialing", 2 blanks, then
// the outside prefix, call-waiting code and number as dialled.
QString dialingCaption(const DialOptions& o);
// Every command of the burst, each ending in a single carriage return.
QList<QByteArray> modemCommands(const DialOptions& o);

enum class ModemOutcome { Waiting, Connected, Busy, NoDialTone };
// Case-sensitive: a line beginning "CONNECT", a line containing "BUSY", a
// line beginning "NO" (no carrier, no dial tone and no answer alike).
ModemOutcome classifyModemResponse(const QByteArray& response);

// The modem's replies as whole lines, however the line cuts them into reads.
// A line ends at CR or LF; a line still open when the line falls quiet is
// taken as it is (flush()). A reply is classed only once it is whole, so
// "NO CA" is never taken for a NO CARRIER and the words kept are the line's.
class ModemLineReader {
public:
    // Longest line kept; the rest of a longer one is dropped.
    static constexpr qsizetype LineLimit = 1024;

    struct Reply {
        ModemOutcome outcome;
        QByteArray line; // the whole line, without its line break
    };

    // Starts afresh; `start` begins the first line (the nine zeros the
    // received text starts with, so a first reply with no line break before
    // it is not taken for a CONNECT or a NO).
    void reset(const QByteArray& start = {});
    // Reads the text; the first whole line that decides the call, if any
    // (what follows it is not read).
    std::optional<Reply> feed(QByteArrayView text);
    // The line falls quiet: the open line, if any, is taken whole.
    std::optional<Reply> flush();
    // Part of a line is in, its end not yet.
    bool hasOpenLine() const { return !m_line.isEmpty(); }
    // The last whole line read, decisive or not (the diagnostic list).
    const QByteArray& lastLine() const { return m_last; }

private:
    std::optional<Reply> endLine();

    QByteArray m_line;
    QByteArray m_last;
};

// Finds a word in a stream read in pieces ("NO CARRIER" among the packets),
// however the pieces cut it, without keeping the stream.
class StreamWordFinder {
public:
    explicit StreamWordFinder(QByteArrayView word);
    // True when the word ends within `text`; the match then starts afresh.
    bool feed(QByteArrayView text);
    void reset() { m_matched = 0; }

private:
    QByteArray m_word;
    QList<int> m_fallback; // KMP: matched length to fall back to on a mismatch
    int m_matched = 0;
};

} // namespace zel
