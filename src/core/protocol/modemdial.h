#pragma once
// The Hayes side of dialling the monitor's site: the commands sent in one
// burst (speaker, echo off, the operator's initialisation text, the dial
// command), the dialling caption, and the reading of the modem's replies.
#include <QByteArray>
#include <QList>
#include <QString>

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
QByteArray dialCommand(const DialOptions& o);
// The caption of the dialling label: 13 blanks, "Dialing", 2 blanks, then
// the outside prefix, call-waiting code and number as dialled.
QString dialingCaption(const DialOptions& o);
// Every command of the burst, each ending in a single carriage return.
QList<QByteArray> modemCommands(const DialOptions& o);

// The modem's last reply line: the text after the last line break among all
// but the last two characters received (a complete reply ends in CR LF).
QByteArray modemStatus(const QByteArray& received);

enum class ModemOutcome { Waiting, Connected, Busy, NoDialTone };
// Case-sensitive: a line beginning "CONNECT", a line containing "BUSY", a
// line beginning "NO" (no carrier, no dial tone and no answer alike).
ModemOutcome classifyModemResponse(const QByteArray& response);

} // namespace zel
