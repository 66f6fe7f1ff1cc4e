#include "core/types/types.h"

#include <QDateTime>

namespace zel {

const char* linkStateName(LinkState s) {
    switch (s) {
    case LinkState::OffLine:
        return "off-line";
    case LinkState::Initializing:
        return "initializing";
    case LinkState::Dialing:
        return "dialing";
    case LinkState::Connected:
        return "connected";
    case LinkState::Busy:
        return "busy";
    case LinkState::NoDialTone:
        return "no-dial-tone";
    case LinkState::HangingUp:
        return "hanging-up";
    case LinkState::Reconnecting:
        return "reconnecting";
    }
    return "unknown";
}

const char* alarmKindName(AlarmKind k) {
    switch (k) {
    case AlarmKind::Carrier:
        return "carrier-alarm";
    case AlarmKind::AudioLoss:
        return "audio-loss";
    case AlarmKind::Pos125:
        return "pos125";
    case AlarmKind::Neg100:
        return "neg100";
    case AlarmKind::PosVariable:
        return "pos-variable";
    case AlarmKind::NegVariable:
        return "neg-variable";
    case AlarmKind::NoData:
        return "no-data";
    case AlarmKind::LinkLost:
        return "link-lost";
    }
    return "unknown";
}

bool isValidMonitorId(const QString& id) {
    if (id.isEmpty() || id.size() > 64) return false;
    for (QChar c : id)
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != u'-') return false;
    return true;
}

QString pollStatsText(int depth, double roundTripMs) {
    return QStringLiteral("depth=%1 rtt=%2")
        .arg(depth)
        .arg(roundTripMs < 0 ? QStringLiteral("?")
                             : QString::number(roundTripMs, 'f', 1) + QStringLiteral("ms"));
}

QString formatLocalTime(qint64 msecsSinceEpoch) {
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch);
    const int offset = local.offsetFromUtc();
    const int minutes = qAbs(offset) / 60;
    return local.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) + (offset < 0 ? u'-' : u'+') +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QChar(u'0'))
               .arg(minutes % 60, 2, 10, QChar(u'0'));
}

} // namespace zel
