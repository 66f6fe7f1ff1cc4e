#pragma once
// One alert as decided: which alarm, on or off, when, the readings of that
// moment and whose monitor. The alert manager decides it once, after the
// alarm's on/off delay, and every channel sends this same value: the command,
// the webhook, the desktop notification (and any later output).
#include <QMetaType>
#include <QString>
#include <optional>

#include "core/types/types.h"

namespace zel {

struct AlertDecision {
    std::optional<AlarmKind> kind; // none: a test alert
    bool on = false;               // the alarm came (true) or went; false for a test
    qint64 timeMs = 0;             // when it came or went (UTC ms); a test: when asked for
    // None before the first packet of a link: there is nothing to report
    // then, not the bottom of the bar.
    std::optional<Readings> readings;
    QString detail; // the link's reason or the modem's words, control characters escaped
    MonitorId monitorId;
    QString monitorName;
    QString port;
    QString station;
    // An event outside a monitor's alarms (a site gone silent,
    // "site-stale"): its name, sent on or off like an alarm.
    QString event;

    bool isTest() const { return !kind && event.isEmpty(); }
    // As ZEL_EVENT and ZEL_STATE give them: alarmKindName() or "test"; "on",
    // "off" or "test".
    QString eventName() const {
        if (!event.isEmpty()) return event;
        return kind ? QString::fromLatin1(alarmKindName(*kind)) : QStringLiteral("test");
    }
    QString stateName() const {
        return isTest() ? QStringLiteral("test") : on ? QStringLiteral("on") : QStringLiteral("off");
    }
};

} // namespace zel

Q_DECLARE_METATYPE(zel::AlertDecision)
