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

QByteArray dialCommand(const DialOptions& o) {
    return "AT" + QByteArray(o.tone ? "DT" : "DP") + withPause(o.outsideOn, o.outside) +
           withPause(o.waitingOn, o.waiting) + o.number;
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

QByteArray modemStatus(const QByteArray& received) {
    const qsizetype n = received.size() - 2;
    if (n < 1) return {};
    qsizetype start = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const char c = received[i];
        if (c == '\r' || c == '\n') start = i + 1;
    }
    return received.mid(start, n - start);
}

ModemOutcome classifyModemResponse(const QByteArray& response) {
    if (response.startsWith("CONNECT")) return ModemOutcome::Connected;
    if (response.contains("BUSY")) return ModemOutcome::Busy;
    if (response.startsWith("NO")) return ModemOutcome::NoDialTone;
    return ModemOutcome::Waiting;
}

} // namespace zel
