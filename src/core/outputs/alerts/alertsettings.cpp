#include "core/outputs/alerts/alertsettings.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QUrl>

namespace zel {

namespace {

template <typename S> auto flagOf(S& s, AlarmKind kind) -> decltype(&s.carrier) {
    switch (kind) {
    case AlarmKind::Carrier:
        return &s.carrier;
    case AlarmKind::AudioLoss:
        return &s.audioLoss;
    case AlarmKind::LinkLost:
        return &s.linkLost;
    case AlarmKind::NoData:
        return &s.noData;
    case AlarmKind::Pos125:
        return &s.pos125;
    case AlarmKind::Neg100:
        return &s.neg100;
    case AlarmKind::PosVariable:
    case AlarmKind::NegVariable:
        return nullptr;
    }
    return nullptr;
}

struct Key {
    const char* name;
    AlarmKind kind;
};
constexpr Key kindKeys[] = {{"carrier", AlarmKind::Carrier},   {"audioLoss", AlarmKind::AudioLoss},
                            {"linkLost", AlarmKind::LinkLost}, {"noData", AlarmKind::NoData},
                            {"pos125", AlarmKind::Pos125},     {"neg100", AlarmKind::Neg100}};

int readDelay(const QSettings& settings, const char* key, int fallback) {
    bool ok = false;
    const int v = settings.value(key).toString().trimmed().toInt(&ok);
    return ok && v >= 0 && v <= AlertSettings::MaxDelayS ? v : fallback;
}

} // namespace

bool AlertSettings::isEnabled(AlarmKind kind) const {
    const bool* flag = flagOf(*this, kind);
    return flag && *flag;
}

void AlertSettings::setEnabled(AlarmKind kind, bool on) {
    if (bool* flag = flagOf(*this, kind)) *flag = on;
}

void AlertSettings::load(QSettings& settings) {
    const AlertSettings defaults;
    settings.beginGroup(QStringLiteral("alerts"));
    for (const Key& k : kindKeys) {
        const QVariant v = settings.value(k.name);
        // A value that is not a boolean word keeps the default.
        const QString text = v.toString().trimmed().toLower();
        if (text == u"true" || text == u"1" || text == u"on")
            setEnabled(k.kind, true);
        else if (text == u"false" || text == u"0" || text == u"off")
            setEnabled(k.kind, false);
        else
            setEnabled(k.kind, defaults.isEnabled(k.kind));
    }
    onDelayS = readDelay(settings, "onDelay", DefaultOnDelayS);
    offDelayS = readDelay(settings, "offDelay", DefaultOffDelayS);
    command = settings.value("command").toString();
    webhookUrl = settings.value("webhook").toString().trimmed();
    settings.endGroup();
}

void AlertSettings::save(QSettings& settings) const {
    settings.beginGroup(QStringLiteral("alerts"));
    for (const Key& k : kindKeys)
        settings.setValue(k.name, isEnabled(k.kind));
    settings.setValue("onDelay", onDelayS);
    settings.setValue("offDelay", offDelayS);
    settings.setValue("command", command);
    settings.setValue("webhook", webhookUrl);
    settings.endGroup();
}

bool AlertSettings::parseDelays(const QString& text, QString* error) {
    const QStringList parts = text.split(u',');
    int values[2] = {onDelayS, offDelayS};
    bool good = parts.size() <= 2;
    for (int i = 0; good && i < parts.size(); ++i) {
        const int v = parts[i].trimmed().toInt(&good);
        good = good && v >= 0 && v <= MaxDelayS;
        if (good) values[i] = v;
    }
    if (!good) {
        if (error)
            *error = QStringLiteral("alert delay \"%1\": expected ON or ON,OFF in whole seconds (0 to %2)")
                         .arg(text)
                         .arg(MaxDelayS);
        return false;
    }
    onDelayS = values[0];
    offDelayS = values[1];
    return true;
}

QString AlertSettings::webhookProblem() const {
    if (webhookUrl.isEmpty()) return {};
    const QUrl url(webhookUrl, QUrl::StrictMode);
    if (url.isValid() && url.scheme() != u"http" && url.scheme() != u"https")
        return QStringLiteral("webhook \"%1\": only http:// and https:// are supported").arg(webhookUrl);
    if (!url.isValid() || url.host().isEmpty())
        return QStringLiteral("webhook \"%1\" is not a valid URL").arg(webhookUrl);
    return {};
}

bool AlertSettings::checkCommand(const QString& command, QString* error) {
    QString problem;
    if (command.trimmed().isEmpty() || !splitCommandLine(command, &problem).isEmpty()) return true;
    if (error) *error = QStringLiteral("alert command \"%1\": %2").arg(command, problem);
    return false;
}

bool AlertSettings::loadWebhookFile(const QString& path, QString* error) {
    error->clear();
    QFile file(path);
    // Not only a regular file: a pipe such as bash's <(...) serves as well.
    if (QFileInfo(path).isDir() || !file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("webhook file %1: %2")
                     .arg(path, !file.exists()            ? QStringLiteral("no such file")
                                : QFileInfo(path).isDir() ? QStringLiteral("not a file")
                                                          : file.errorString());
        return false;
    }
    const QString line = QString::fromUtf8(file.readLine(8192)).trimmed();
    if (line.isEmpty()) {
        *error = QStringLiteral("webhook file %1: the first line is empty").arg(path);
        return false;
    }
    webhookUrl = line;
    if (file.permissions() & QFileDevice::ReadOther)
        *error = QStringLiteral("webhook file %1 can be read by every user; make it readable by its owner "
                                "only (chmod 600)")
                     .arg(path);
    return true;
}

QStringList splitCommandLine(const QString& text, QString* error) {
    QStringList words;
    QString word;
    bool inWord = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'\'') {
            const qsizetype end = text.indexOf(u'\'', i + 1);
            if (end < 0) {
                if (error) *error = QStringLiteral("a single quote is not closed");
                return {};
            }
            word += text.mid(i + 1, end - i - 1);
            inWord = true;
            i = end;
        } else if (c == u'"') {
            qsizetype j = i + 1;
            for (; j < text.size() && text[j] != u'"'; ++j) {
                if (text[j] == u'\\' && j + 1 < text.size() && QStringLiteral("\"\\$`").contains(text[j + 1]))
                    ++j;
                word += text[j];
            }
            if (j >= text.size()) {
                if (error) *error = QStringLiteral("a double quote is not closed");
                return {};
            }
            inWord = true;
            i = j;
        } else if (c == u'\\' && i + 1 < text.size()) {
            word += text[++i];
            inWord = true;
        } else if (c.isSpace()) {
            if (inWord) words << word;
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words << word;
    if (words.isEmpty() && error) *error = QStringLiteral("the alert command is empty");
    return words;
}

} // namespace zel
