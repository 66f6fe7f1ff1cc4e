#pragma once
// What a station is built from: its site, its monitors and its outputs, as
// one plain value. The panel makes one from the settings record and zel.conf
// (one monitor), the logger from its config file and/or --port options.
#include "core/outputs/alerts/alertsettings.h"
#include "core/settings/settings.h"
#include "core/types/types.h"

#include <QHostAddress>
#include <QList>
#include <QString>

class QSettings;

namespace zel {

struct MonitorConfig {
    MonitorId id;  // stable: keys the status page's rows and the API
    QString name;  // for people ("WZEL 1230 AM"); the port text when none is given
    QString label; // what prefixes its logger lines and keys its history rows:
                   // the id for a configured monitor, the port text for a --port one
    Settings settings;
    bool fromPort = false; // named by a port text rather than configured
};

struct HttpConfig {
    bool enabled = false;
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 8080;
    QString token;
};

struct HistoryConfig {
    bool enabled = true;
    QString path;          // empty: the default file
    int retentionDays = 0; // 0: the store's default
};

struct SnmpConfig {
    QString agentx; // the master's AgentX socket: a path or tcp:HOST:PORT; empty: no subagent
    QString oid;    // the MIB's base OID; empty: the default
};

struct CentralConfig {
    QString url; // postgresql://user@host:port/db; empty: nothing forwarded
};

struct StationConfig {
    QString siteId;
    QString siteName;
    QList<MonitorConfig> monitors;
    HistoryConfig history;
    AlertSettings alerts;
    bool alertsAlways = false; // alert managers even with no command or webhook (the panel's tray)
    HttpConfig http;
    SnmpConfig snmp;
    CentralConfig central;
    // An unattended station keeps trying a first connect that fails.
    bool unattended = false;
};

// A monitor id made from a port text: letters and digits kept, every other
// run of characters one '-' ("tcp://127.0.0.1:4000" gives
// "tcp-127-0-0-1-4000").
MonitorId monitorIdFromPort(const QString& portText);
// A monitor for a port text given on the command line.
MonitorConfig monitorForPort(const QString& portText);

// The outputs' sections of an INI file ([site], [history], [alerts], [http],
// [snmp], [central]),
// as zel.conf and a logger config file both hold them. Problems (a key with a
// value that cannot be used) are appended to `problems` with the key; the
// default holds for that key. Notices (a value taken differently from how
// it is written, e.g. the earlier default retention raised) go to `notices`,
// or with the problems when it is null.
void loadOutputSections(QSettings& ini, StationConfig* config, QStringList* problems,
                        QStringList* notices = nullptr);

} // namespace zel
