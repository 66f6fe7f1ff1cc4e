#include "core/station/stationconfig.h"

#include "core/outputs/history/historystore.h"
#include "core/outputs/web/statusserver.h"

#include <QSettings>

namespace zel {

MonitorId monitorIdFromPort(const QString& portText) {
    QString id;
    bool dash = false;
    for (QChar c : portText.trimmed()) {
        if (c.unicode() < 128 && c.isLetterOrNumber()) {
            if (dash && !id.isEmpty()) id += u'-';
            id += c;
            dash = false;
        } else {
            dash = true;
        }
    }
    return id.isEmpty() ? QStringLiteral("monitor") : id.left(64);
}

MonitorConfig monitorForPort(const QString& portText) {
    MonitorConfig m;
    m.id = monitorIdFromPort(portText);
    m.name = portText.trimmed();
    m.label = portText.trimmed();
    m.fromPort = true;
    m.settings.connection.directCable = true;
    m.settings.connection.modemLink = false;
    m.settings.connection.directPort = portText;
    return m;
}

void loadOutputSections(QSettings& ini, StationConfig* c, QStringList* problems, QStringList* notices) {
    if (ini.contains(QStringLiteral("site/id"))) c->siteId = ini.value(QStringLiteral("site/id")).toString();
    if (ini.contains(QStringLiteral("site/name")))
        c->siteName = ini.value(QStringLiteral("site/name")).toString();

    c->history.enabled = ini.value(QStringLiteral("history/enabled"), c->history.enabled).toBool();
    c->history.path = ini.value(QStringLiteral("history/file"), c->history.path).toString();
    if (ini.contains(QStringLiteral("history/retentionDays"))) {
        bool ok = false;
        const QString text = ini.value(QStringLiteral("history/retentionDays")).toString().trimmed();
        const int days = text.toInt(&ok);
        if (ok && days > 0) {
            QString warning, notice;
            c->history.retentionDays = checkRetentionDays(days, &warning, &notice);
            const QString key = QStringLiteral("history/retentionDays: ");
            if (!warning.isEmpty()) problems->append(key + warning);
            if (!notice.isEmpty()) (notices ? notices : problems)->append(key + notice);
        } else
            problems->append(
                QStringLiteral(
                    "history/retentionDays: \"%1\" is not a whole number of days; the default holds")
                    .arg(text));
    }

    c->alerts.load(ini);

    c->snmp.agentx = ini.value(QStringLiteral("snmp/agentx"), c->snmp.agentx).toString().trimmed();
    c->snmp.oid = ini.value(QStringLiteral("snmp/oid"), c->snmp.oid).toString().trimmed();
    c->central.url = ini.value(QStringLiteral("central/url"), c->central.url).toString().trimmed();

    c->http.enabled = ini.value(QStringLiteral("http/enabled"), c->http.enabled).toBool();
    if (ini.contains(QStringLiteral("http/address"))) {
        const QHostAddress a(ini.value(QStringLiteral("http/address")).toString());
        if (a.isNull())
            problems->append(QStringLiteral("http/address: not an address"));
        else
            c->http.address = a;
    }
    if (ini.contains(QStringLiteral("http/port"))) {
        bool ok = false;
        const int port = ini.value(QStringLiteral("http/port")).toString().toInt(&ok);
        if (!ok || port < 1 || port > 65535)
            problems->append(QStringLiteral("http/port: not a port number"));
        else
            c->http.port = quint16(port);
    }
    c->http.token = ini.value(QStringLiteral("http/token"), c->http.token).toString();
    // Secrets may stand in files of their own, readable by the service alone.
    if (ini.contains(QStringLiteral("http/tokenFile"))) {
        QString why;
        if (!StatusServer::readSecretFile(ini.value(QStringLiteral("http/tokenFile")).toString(),
                                          &c->http.token, &why) ||
            !why.isEmpty())
            problems->append(QStringLiteral("http/tokenFile: ") + why);
    }
    if (ini.contains(QStringLiteral("alerts/webhookFile"))) {
        QString why;
        if (!c->alerts.loadWebhookFile(ini.value(QStringLiteral("alerts/webhookFile")).toString(), &why) ||
            !why.isEmpty())
            problems->append(QStringLiteral("alerts/webhookFile: ") + why);
    }
}

} // namespace zel
