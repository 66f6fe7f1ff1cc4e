#include "core/settings/settings.h"

#include "core/settings/settingsfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

namespace zel {

namespace {

constexpr int ThresholdMin = 70;
constexpr int ThresholdMax = 130;

std::optional<int> checkState(const QByteArray& field) {
    const std::optional<short> v = checkStateValue(field);
    if (!v || *v < 0 || *v > 2) return std::nullopt;
    return *v;
}

std::optional<int> level(const QByteArray& field) {
    const std::optional<short> v = levelValue(field);
    if (!v || *v < ThresholdMin || *v > ThresholdMax) return std::nullopt;
    return *v;
}

QString text(const QByteArray& field) {
    return QString::fromLatin1(field);
}

// The whole port text from zel.conf where the record's field still holds
// its first five characters: a record written by something else wins.
QString fullPort(const QString& stored, const QString& full) {
    if (full.isEmpty()) return stored;
    return fieldText(full, DiskFileDefinition::PortWidth) == fieldText(stored, DiskFileDefinition::PortWidth)
               ? full
               : stored;
}

} // namespace

DialOptions ConnectionSettings::dialOptions() const {
    DialOptions o;
    o.speakerOff = speakerOff;
    o.speakerLow = speakerLow;
    o.speakerLoud = speakerLoud;
    o.iniOn = modemIniOn == 1;
    o.ini = modemIni.toLatin1();
    o.tone = toneDial;
    o.outsideOn = outsideLineOn == 1;
    o.outside = outsideLineCode.toLatin1();
    o.waitingOn = callWaitingOn == 1;
    o.waiting = callWaitingCode.toLatin1();
    o.number = phoneNumber.toLatin1();
    return o;
}

std::optional<Settings> settingsFromRecord(const DiskFileDefinition& r) {
    Settings s;
    ConnectionSettings& c = s.connection;
    c.directCable = r.DirectCable;
    c.modemLink = r.ModemLink;
    c.directPort = text(r.DirectPort);
    c.toneDial = r.ToneDial;
    c.pulseDial = r.PulseDial;
    c.phoneNumber = text(r.PhoneNumber);
    c.outsideLineCode = text(r.OutsideLineCode);
    c.callWaitingCode = text(r.CallWaitingCode);
    c.modemPort = text(r.ModemPortName);
    c.speakerOff = r.SpeakerOff;
    c.speakerLow = r.SpeakerLow;
    c.speakerLoud = r.SpeakerLoud;
    c.modemIni = text(r.ModemIniString);
    s.panel.speakerOffShown = r.BeepOffShown;
    s.panel.speakerOnShown = r.BeepOnShown;
    const auto outside = checkState(r.OutsideLineOn);
    const auto waiting = checkState(r.CallWaitingOn);
    const auto ini = checkState(r.ModemIniOn);
    const auto pos = level(r.PkPosLevel);
    const auto neg = level(r.PkNegLevel);
    if (!outside || !waiting || !ini || !pos || !neg) return std::nullopt;
    c.outsideLineOn = *outside;
    c.callWaitingOn = *waiting;
    c.modemIniOn = *ini;
    s.panel.positiveThreshold = *pos;
    s.panel.negativeThreshold = *neg;
    return s;
}

DiskFileDefinition recordFromSettings(const Settings& s) {
    using R = DiskFileDefinition;
    const ConnectionSettings& c = s.connection;
    R r;
    r.DirectCable = c.directCable;
    r.ModemLink = c.modemLink;
    r.DirectPort = fieldText(c.directPort, R::PortWidth);
    r.ToneDial = c.toneDial;
    r.PulseDial = c.pulseDial;
    r.PhoneNumber = fieldText(c.phoneNumber, R::PhoneWidth);
    r.OutsideLineOn = checkStateText(c.outsideLineOn);
    r.OutsideLineCode = fieldText(c.outsideLineCode, R::CodeWidth);
    r.CallWaitingOn = checkStateText(c.callWaitingOn);
    r.CallWaitingCode = fieldText(c.callWaitingCode, R::CodeWidth);
    r.ModemPortName = fieldText(c.modemPort, R::PortWidth);
    r.SpeakerOff = c.speakerOff;
    r.SpeakerLow = c.speakerLow;
    r.SpeakerLoud = c.speakerLoud;
    r.ModemIniOn = checkStateText(c.modemIniOn);
    r.ModemIniString = fieldText(c.modemIni, R::IniWidth);
    r.BeepOffShown = s.panel.speakerOffShown;
    r.BeepOnShown = s.panel.speakerOnShown;
    r.PkPosLevel = fieldText(QString::number(s.panel.positiveThreshold), R::LevelWidth);
    r.PkNegLevel = fieldText(QString::number(s.panel.negativeThreshold), R::LevelWidth);
    return r;
}

QString SettingsStore::recordPath() {
    return settingsFilePath();
}

QString SettingsStore::confPath() {
    return QFileInfo(settingsFilePath()).absolutePath() + QStringLiteral("/zel.conf");
}

SettingsStore::Loaded SettingsStore::load() {
    Loaded out;
    const QString path = recordPath();
    const QString shown = QDir::toNativeSeparators(path);
    if (!QFileInfo::exists(path)) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile created(path);
        created.open(QIODevice::WriteOnly | QIODevice::NewOnly);
        out.problem = QStringLiteral("%1: the file did not exist; an empty one was created.").arg(shown);
        return out;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        out.problem = QStringLiteral("%1: %2").arg(shown, file.errorString());
        return out;
    }
    // A longer file (not one the program wrote) is read by its first record.
    const QByteArray bytes = file.read(DiskFileDefinition::Size);
    const std::optional<DiskFileDefinition> record = DiskFileDefinition::decode(bytes);
    if (!record) {
        out.problem = QStringLiteral("%1: the file holds %2 bytes, fewer than the %3 of a settings record.")
                          .arg(shown)
                          .arg(bytes.size())
                          .arg(DiskFileDefinition::Size);
        return out;
    }
    out.settings = settingsFromRecord(*record);
    if (!out.settings) {
        out.problem = QStringLiteral("%1: a check box state or a peak threshold is out of range.").arg(shown);
        return out;
    }
    QSettings conf(confPath(), QSettings::IniFormat);
    ConnectionSettings& c = out.settings->connection;
    c.directPort = fullPort(c.directPort, conf.value(QStringLiteral("connection/directPort")).toString());
    c.modemPort = fullPort(c.modemPort, conf.value(QStringLiteral("connection/modemPort")).toString());
    return out;
}

bool SettingsStore::save(const Settings& settings, QString* error) {
    // Written whole or not at all: a failed save leaves the last good file.
    if (!writeFileAtomically(recordPath(), recordFromSettings(settings).encode(), error)) return false;
    QSettings conf(confPath(), QSettings::IniFormat);
    conf.setValue(QStringLiteral("connection/directPort"), settings.connection.directPort);
    conf.setValue(QStringLiteral("connection/modemPort"), settings.connection.modemPort);
    conf.sync();
    if (conf.status() != QSettings::NoError) {
        if (error)
            *error = QStringLiteral("%1 could not be written.").arg(QDir::toNativeSeparators(confPath()));
        return false;
    }
    return true;
}

} // namespace zel
