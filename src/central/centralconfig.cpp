#include "central/centralconfig.h"

#include "core/outputs/alerts/alertsettings.h"
#include "core/outputs/web/statusserver.h"

#include <QFile>

namespace zel {

bool CentralConfig::setHttp(const QString& text, QString* error) {
    const qsizetype colon = text.lastIndexOf(u':');
    bool ok = false;
    const uint port = text.mid(colon + 1).toUInt(&ok);
    QString host = text.left(colon);
    if (host.startsWith(u'[') && host.endsWith(u']')) host = host.mid(1, host.size() - 2);
    const QHostAddress address(host);
    if (colon <= 0 || !ok || port > 65535 || address.isNull()) {
        *error = QStringLiteral("--http takes ADDR:PORT, such as 127.0.0.1:8090, not \"%1\"").arg(text);
        return false;
    }
    httpAddress = address;
    httpPort = quint16(port);
    httpSet = true;
    return true;
}

bool CentralConfig::setStaleAfter(const QString& text, QString* error) {
    bool ok = false;
    const int s = text.trimmed().toInt(&ok);
    if (!ok || s < 1 || s > 24 * 3600) {
        *error = QStringLiteral("the stale limit takes whole seconds, 1 to 86400, not \"%1\"").arg(text);
        return false;
    }
    staleAfterS = s;
    return true;
}

bool CentralConfig::readFile(const QString& path, QStringList* warnings, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("%1: cannot be read: %2").arg(path, file.errorString());
        return false;
    }
    const auto where = [&path](int line) { return QStringLiteral("%1:%2: ").arg(path).arg(line); };
    QString section;
    int number = 0;
    while (!file.atEnd()) {
        ++number;
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(u';') || line.startsWith(u'#')) continue;
        if (line.startsWith(u'[')) {
            if (!line.endsWith(u']')) {
                *error = where(number) + QStringLiteral("a section header must end with ]");
                return false;
            }
            section = line.mid(1, line.size() - 2).trimmed();
            if (section != u"central" && section != u"alerts")
                warnings->append(where(number) + QStringLiteral("unknown section [%1]").arg(section));
            continue;
        }
        const qsizetype eq = line.indexOf(u'=');
        if (eq <= 0) {
            *error = where(number) + QStringLiteral("not a key = value line");
            return false;
        }
        const QString key = line.left(eq).trimmed();
        QString value = line.mid(eq + 1).trimmed();
        if (value.size() >= 2 && value.startsWith(u'"') && value.endsWith(u'"'))
            value = value.mid(1, value.size() - 2);
        QString why;
        const QString at = section + u'/' + key;
        if (at == u"central/db") {
            databaseUrl = value;
        } else if (at == u"central/http") {
            if (!setHttp(value, &why)) {
                *error = where(number) + why.replace(QStringLiteral("--http"), QStringLiteral("http"));
                return false;
            }
        } else if (at == u"central/token") {
            token = value;
        } else if (at == u"central/tokenFile") {
            if (!StatusServer::readSecretFile(value, &token, &why)) {
                *error = where(number) + why;
                return false;
            }
            if (!why.isEmpty()) warnings->append(where(number) + why);
        } else if (at == u"central/staleAfter") {
            if (!setStaleAfter(value, &why))
                warnings->append(where(number) + why + QStringLiteral("; %1 s holds").arg(staleAfterS));
        } else if (at == u"alerts/command") {
            if (!AlertSettings::checkCommand(value, &why)) {
                *error = where(number) + why;
                return false;
            }
            alertCommand = value;
        } else if (at == u"alerts/webhook") {
            webhookUrl = value;
        } else if (at == u"alerts/webhookFile") {
            AlertSettings a;
            if (!a.loadWebhookFile(value, &why)) {
                *error = where(number) + why;
                return false;
            }
            if (!why.isEmpty()) warnings->append(where(number) + why);
            webhookUrl = a.webhookUrl;
        } else if (section == u"central" || section == u"alerts") {
            warnings->append(where(number) + QStringLiteral("unknown key \"%1\" in [%2]").arg(key, section));
        }
    }
    return true;
}

} // namespace zel
