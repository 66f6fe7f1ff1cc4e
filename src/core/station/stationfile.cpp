#include "core/station/stationfile.h"

#include "core/outputs/compliance/compliancesettings.h"
#include "core/settings/connectionkeys.h"
#include "core/transport/transportfactory.h"

#include <QFile>
#include <QSet>
#include <QSettings>

namespace zel {

namespace {

struct Line {
    int number = 0;
    QString key;
    QString value;
};

struct Section {
    QString name;
    int number = 0;
    QList<Line> lines;
};

QSet<QString> monitorSectionKeys() {
    const QStringList dialling = monitorKeys();
    QSet<QString> keys(dialling.cbegin(), dialling.cend());
    keys << QStringLiteral("name") << QStringLiteral("positiveThreshold")
         << QStringLiteral("negativeThreshold");
    return keys;
}

const QSet<QString>& knownKeys(const QString& section) {
    static const QSet<QString> none;
    static const QHash<QString, QSet<QString>> keys = {
        {QStringLiteral("site"), {QStringLiteral("id"), QStringLiteral("name")}},
        {QStringLiteral("monitor"), monitorSectionKeys()},
        {QStringLiteral("snmp"), {QStringLiteral("agentx"), QStringLiteral("oid")}},
        {QStringLiteral("compliance"), complianceKeys()},
        {QStringLiteral("central"), {QStringLiteral("url")}},
        {QStringLiteral("history"),
         {QStringLiteral("enabled"), QStringLiteral("file"), QStringLiteral("retentionDays")}},
        {QStringLiteral("http"),
         {QStringLiteral("enabled"), QStringLiteral("address"), QStringLiteral("port"),
          QStringLiteral("token"), QStringLiteral("tokenFile")}},
        {QStringLiteral("alerts"),
         {QStringLiteral("carrier"), QStringLiteral("audioLoss"), QStringLiteral("linkLost"),
          QStringLiteral("noData"), QStringLiteral("pos125"), QStringLiteral("neg100"),
          QStringLiteral("onDelay"), QStringLiteral("offDelay"), QStringLiteral("command"),
          QStringLiteral("webhook"), QStringLiteral("webhookFile")}},
    };
    const auto it = keys.constFind(section);
    return it == keys.constEnd() ? none : *it;
}

} // namespace

bool readStationFile(const QString& path, StationConfig* config, QStringList* warnings, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("%1: cannot be read: %2").arg(path, file.errorString());
        return false;
    }
    const auto where = [&path](int line) { return QStringLiteral("%1:%2: ").arg(path).arg(line); };

    QList<Section> sections;
    int number = 0;
    while (!file.atEnd()) {
        ++number;
        const QString raw = QString::fromUtf8(file.readLine());
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(u';') || line.startsWith(u'#')) continue;
        if (line.startsWith(u'[')) {
            if (!line.endsWith(u']')) {
                *error = where(number) + QStringLiteral("a section header must end with ]");
                return false;
            }
            sections.append({line.mid(1, line.size() - 2).trimmed(), number, {}});
            continue;
        }
        const int eq = line.indexOf(u'=');
        if (eq <= 0) {
            *error = where(number) + QStringLiteral("not a key = value line");
            return false;
        }
        if (sections.isEmpty()) sections.append({QString(), number, {}});
        QString value = line.mid(eq + 1).trimmed();
        if (value.size() >= 2 && value.startsWith(u'"') && value.endsWith(u'"'))
            value = value.mid(1, value.size() - 2);
        sections.last().lines.append({number, line.left(eq).trimmed(), value});
    }
    if (file.error() != QFile::NoError) {
        *error = QStringLiteral("%1: cannot be read: %2").arg(path, file.errorString());
        return false;
    }

    QSet<QString> ids;
    for (const MonitorConfig& m : config->monitors)
        ids.insert(m.id);
    for (const Section& s : sections) {
        const bool isMonitor = s.name.startsWith(QStringLiteral("monitor."));
        const QString kind = isMonitor ? QStringLiteral("monitor") : s.name;
        const QSet<QString>& known = knownKeys(kind);
        if (known.isEmpty() && !s.name.isEmpty()) {
            warnings->append(where(s.number) + QStringLiteral("unknown section [%1]").arg(s.name));
            continue;
        }
        for (const Line& l : s.lines)
            if (!known.contains(l.key))
                warnings->append(where(l.number) +
                                 QStringLiteral("unknown key \"%1\" in [%2]").arg(l.key, s.name));
        if (!isMonitor) continue;
        MonitorConfig m;
        m.id = s.name.mid(8);
        if (!isValidMonitorId(m.id)) {
            *error = where(s.number) +
                     QStringLiteral("\"%1\" is not a monitor id (letters, digits and -)").arg(m.id);
            return false;
        }
        if (ids.contains(m.id)) {
            *error = where(s.number) + QStringLiteral("monitor %1 is named twice").arg(m.id);
            return false;
        }
        ids.insert(m.id);
        m.label = m.id;
        m.name = m.id;
        int portLine = 0;
        QString port;
        ConnectionSettings& c = m.settings.connection;
        c.directCable = true;
        c.modemLink = false;
        for (const Line& l : s.lines) {
            if (l.key == QLatin1String("name")) {
                m.name = l.value;
            } else if (monitorKeys().contains(l.key)) {
                QString why;
                if (!applyMonitorKey(c, l.key, l.value, &why)) {
                    *error = where(l.number) + why;
                    return false;
                }
                if (l.key == QLatin1String("port")) {
                    port = l.value;
                    portLine = l.number;
                }
            } else if (l.key == QLatin1String("positiveThreshold") ||
                       l.key == QLatin1String("negativeThreshold")) {
                bool ok = false;
                const int v = l.value.toInt(&ok);
                if (!ok || v < 70 || v > 130) {
                    warnings->append(where(l.number) +
                                     QStringLiteral("%1 takes 70 to 130; the default holds").arg(l.key));
                    continue;
                }
                (l.key == QLatin1String("positiveThreshold") ? m.settings.panel.positiveThreshold
                                                             : m.settings.panel.negativeThreshold) = v;
            }
        }
        if (port.isEmpty()) {
            *error = where(s.number) + QStringLiteral("monitor %1 has no port").arg(m.id);
            return false;
        }
        QString why;
        if (!isPortText(port, &why)) {
            *error = where(portLine) + why;
            return false;
        }
        config->monitors.append(m);
    }

    QSettings ini(path, QSettings::IniFormat);
    QStringList problems;
    loadOutputSections(ini, config, &problems);
    for (const QString& p : problems) {
        const QString key = p.section(u':', 0, 0);
        int line = 0;
        for (const Section& s : sections)
            for (const Line& l : s.lines)
                if (s.name + u'/' + l.key == key) line = l.number;
        warnings->append(where(line) + p);
    }
    if (!config->siteId.isEmpty() && !isValidMonitorId(config->siteId)) {
        *error =
            path +
            QStringLiteral(": [site] id \"%1\" is not an id (letters, digits and -)").arg(config->siteId);
        return false;
    }
    return true;
}

} // namespace zel
