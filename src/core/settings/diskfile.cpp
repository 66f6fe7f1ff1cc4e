#include "core/settings/diskfile.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QtEndian>
#include <cmath>
#include <limits>

namespace zel {

namespace {

using Record = DiskFileDefinition;

void putFlag(QByteArray& out, int offset, bool value) {
    const qint16 v = value ? -1 : 0;
    qToLittleEndian<qint16>(v, out.data() + offset);
}

bool getFlag(const QByteArray& in, int offset) {
    return qFromLittleEndian<qint16>(in.constData() + offset) != 0;
}

void putText(QByteArray& out, int offset, const QByteArray& text, int width) {
    out.replace(offset, width, text.leftJustified(width, ' ', true));
}

// A decimal number: sign, digits with an optional point, optional exponent.
const QRegularExpression& numberPattern() {
    static const QRegularExpression re(QStringLiteral(R"([+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?)"));
    return re;
}

// Rounds halves to the even neighbour and checks the 16-bit range.
std::optional<short> toShort(double value) {
    if (!std::isfinite(value)) return std::nullopt;
    const double r = std::nearbyint(value); // the default rounding mode: to nearest, ties to even
    if (r < std::numeric_limits<short>::min() || r > std::numeric_limits<short>::max()) return std::nullopt;
    return short(r);
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

} // namespace

QByteArray DiskFileDefinition::encode() const {
    QByteArray out(Size, ' ');
    putFlag(out, OffDirectCable, DirectCable);
    putFlag(out, OffModemLink, ModemLink);
    putText(out, OffDirectPort, DirectPort, PortWidth);
    putFlag(out, OffToneDial, ToneDial);
    putFlag(out, OffPulseDial, PulseDial);
    putText(out, OffPhoneNumber, PhoneNumber, PhoneWidth);
    putText(out, OffOutsideLineOn, OutsideLineOn, CheckWidth);
    putText(out, OffOutsideLineCode, OutsideLineCode, CodeWidth);
    putText(out, OffCallWaitingOn, CallWaitingOn, CheckWidth);
    putText(out, OffCallWaitingCode, CallWaitingCode, CodeWidth);
    putText(out, OffModemPortName, ModemPortName, PortWidth);
    putFlag(out, OffSpeakerOff, SpeakerOff);
    putFlag(out, OffSpeakerLow, SpeakerLow);
    putFlag(out, OffSpeakerLoud, SpeakerLoud);
    putText(out, OffModemIniOn, ModemIniOn, CheckWidth);
    putText(out, OffModemIniString, ModemIniString, IniWidth);
    putFlag(out, OffBeepOffShown, BeepOffShown);
    putFlag(out, OffBeepOnShown, BeepOnShown);
    putText(out, OffPkPosLevel, PkPosLevel, LevelWidth);
    putText(out, OffPkNegLevel, PkNegLevel, LevelWidth);
    Q_ASSERT(out.size() == Size);
    return out;
}

std::optional<DiskFileDefinition> DiskFileDefinition::decode(const QByteArray& bytes) {
    if (bytes.size() < Size) return std::nullopt;
    Record r;
    r.DirectCable = getFlag(bytes, OffDirectCable);
    r.ModemLink = getFlag(bytes, OffModemLink);
    r.DirectPort = bytes.mid(OffDirectPort, PortWidth);
    r.ToneDial = getFlag(bytes, OffToneDial);
    r.PulseDial = getFlag(bytes, OffPulseDial);
    r.PhoneNumber = bytes.mid(OffPhoneNumber, PhoneWidth);
    r.OutsideLineOn = bytes.mid(OffOutsideLineOn, CheckWidth);
    r.OutsideLineCode = bytes.mid(OffOutsideLineCode, CodeWidth);
    r.CallWaitingOn = bytes.mid(OffCallWaitingOn, CheckWidth);
    r.CallWaitingCode = bytes.mid(OffCallWaitingCode, CodeWidth);
    r.ModemPortName = bytes.mid(OffModemPortName, PortWidth);
    r.SpeakerOff = getFlag(bytes, OffSpeakerOff);
    r.SpeakerLow = getFlag(bytes, OffSpeakerLow);
    r.SpeakerLoud = getFlag(bytes, OffSpeakerLoud);
    r.ModemIniOn = bytes.mid(OffModemIniOn, CheckWidth);
    r.ModemIniString = bytes.mid(OffModemIniString, IniWidth);
    r.BeepOffShown = getFlag(bytes, OffBeepOffShown);
    r.BeepOnShown = getFlag(bytes, OffBeepOnShown);
    r.PkPosLevel = bytes.mid(OffPkPosLevel, LevelWidth);
    r.PkNegLevel = bytes.mid(OffPkNegLevel, LevelWidth);
    return r;
}

QByteArray fieldText(const QString& text, int width) {
    return text.toLatin1().leftJustified(width, ' ', true);
}

QByteArray checkStateText(int value) {
    return QByteArray::number(value);
}

std::optional<short> checkStateValue(const QByteArray& text) {
    qsizetype begin = 0, end = text.size();
    while (begin < end && isBlank(text.at(begin)))
        ++begin;
    while (end > begin && isBlank(text.at(end - 1)))
        --end;
    const QString number = QString::fromLatin1(text.mid(begin, end - begin));
    if (number.isEmpty()) return std::nullopt;
    const auto m = numberPattern().match(number, 0, QRegularExpression::NormalMatch,
                                         QRegularExpression::AnchorAtOffsetMatchOption);
    if (!m.hasMatch() || m.capturedLength() != number.size()) return std::nullopt;
    bool ok = false;
    const double v = number.toDouble(&ok);
    if (!ok) return std::nullopt;
    return toShort(v);
}

std::optional<short> levelValue(const QByteArray& text) {
    // Blanks do not end the number; they are passed over wherever they are.
    QByteArray compact;
    for (char c : text)
        if (!isBlank(c)) compact += c;
    const QString s = QString::fromLatin1(compact);
    const auto m = numberPattern().match(s, 0, QRegularExpression::NormalMatch,
                                         QRegularExpression::AnchorAtOffsetMatchOption);
    if (!m.hasMatch()) return short(0);
    bool ok = false;
    const double v = m.captured().toDouble(&ok);
    if (!ok) return std::nullopt; // an exponent beyond double
    return toShort(v);
}

bool writeFileAtomically(const QString& path, const QByteArray& bytes, QString* error) {
    auto fail = [error](const QString& why) {
        if (error) *error = why;
        return false;
    };
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) return fail(QStringLiteral("The folder %1 cannot be created.").arg(folder));
    // The bytes go to a temporary file beside the target, which replaces it
    // only once they are all written and flushed. Unbuffered, so that a short
    // write (disk full, size limit) shows here: QSaveFile's commit does not
    // notice one that happens while it flushes its buffer.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) return fail(file.errorString());
    if (file.write(bytes) != bytes.size()) {
        QString why = file.errorString();
        if (file.error() == QFileDevice::NoError || why.isEmpty() || why == QLatin1String("Unknown error"))
            why = QStringLiteral("The disk is full or the file may not grow.");
        file.cancelWriting();
        return fail(why);
    }
    if (!file.commit()) return fail(file.errorString());
    return true;
}

} // namespace zel
