#include "core/settings/connectionkeys.h"

namespace zel {

namespace {

constexpr int NumberLimit = 24;
constexpr int CodeLimit = 5;
constexpr int InitLimit = 23;

bool fail(QString* error, const QString& reason) {
    if (error) *error = reason;
    return false;
}

// Text that goes to the modem as it is: a line break or another control
// character would end the command early and start another.
bool sendable(const QString& text, int limit, const QString& key, QString* error) {
    if (text.size() > limit)
        return fail(error, QStringLiteral("%1: at most %2 characters").arg(key).arg(limit));
    for (const QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c.unicode() > 0xff)
            return fail(error, QStringLiteral("%1: only printable characters").arg(key));
    return true;
}

// The index of `value` among `words` (any case), or -1.
int choice(const QString& value, const QStringList& words) {
    for (int i = 0; i < words.size(); ++i)
        if (value.compare(words[i], Qt::CaseInsensitive) == 0) return i;
    return -1;
}

} // namespace

QStringList monitorKeys() {
    return {QStringLiteral("link"),     QStringLiteral("port"),        QStringLiteral("number"),
            QStringLiteral("dialMode"), QStringLiteral("outsideLine"), QStringLiteral("callWaiting"),
            QStringLiteral("speaker"),  QStringLiteral("init")};
}

bool applyMonitorKey(ConnectionSettings& s, const QString& key, const QString& rawValue, QString* error) {
    const QString value = rawValue.trimmed();
    const auto pick = [&](const QStringList& words) {
        const int i = choice(value, words);
        if (i < 0)
            fail(error, QStringLiteral("%1: \"%2\" is not one of %3")
                            .arg(key, value, words.join(QStringLiteral(", "))));
        return i;
    };
    if (key == QLatin1String("link")) {
        const int i = pick({QStringLiteral("direct"), QStringLiteral("modem")});
        if (i < 0) return false;
        s.directCable = i == 0;
        s.modemLink = i == 1;
    } else if (key == QLatin1String("port")) {
        if (value.isEmpty()) return fail(error, QStringLiteral("port: empty"));
        // Whichever link is chosen, before or after this key.
        s.directPort = s.modemPort = value;
    } else if (key == QLatin1String("number")) {
        if (!sendable(value, NumberLimit, key, error)) return false;
        s.phoneNumber = value;
    } else if (key == QLatin1String("dialMode")) {
        const int i = pick({QStringLiteral("tone"), QStringLiteral("pulse")});
        if (i < 0) return false;
        s.toneDial = i == 0;
        s.pulseDial = i == 1;
    } else if (key == QLatin1String("outsideLine") || key == QLatin1String("callWaiting")) {
        if (!sendable(value, CodeLimit, key, error)) return false;
        const bool outside = key == QLatin1String("outsideLine");
        (outside ? s.outsideLineOn : s.callWaitingOn) = value.isEmpty() ? 0 : 1;
        if (!value.isEmpty()) (outside ? s.outsideLineCode : s.callWaitingCode) = value;
    } else if (key == QLatin1String("speaker")) {
        const int i = pick({QStringLiteral("off"), QStringLiteral("low"), QStringLiteral("loud"),
                            QStringLiteral("default")});
        if (i < 0) return false;
        s.speakerOff = i == 0;
        s.speakerLow = i == 1;
        s.speakerLoud = i == 2;
    } else if (key == QLatin1String("init")) {
        if (!sendable(value, InitLimit, key, error)) return false;
        s.modemIniOn = value.isEmpty() ? 0 : 1;
        if (!value.isEmpty()) s.modemIni = value;
    } else {
        return fail(error, QStringLiteral("%1: not a monitor setting").arg(key));
    }
    return true;
}

} // namespace zel
