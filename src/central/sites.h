#pragma once
// What zel-central knows of the group: the sites, their monitors and each
// monitor's live state as the sites' loggers last wrote them, read from the
// central database in one transaction. Plain values, copied between the
// reading thread and the server.
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <optional>

namespace zel {

struct CentralMonitor {
    QString id, name;
    bool hasLive = false;                    // a live row exists
    QString link;                            // the link state's name, as the logger prints it
    QStringList alarms;                      // the alarms that are on
    std::optional<double> pos, neg, carrier; // percent
};

struct CentralSite {
    QString id, name;
    std::optional<qint64> lastSeenMs; // UTC ms of the last heartbeat; none: never
    qint64 ageMs = -1;                // now() - last_seen by the database's clock; -1: never
    QList<CentralMonitor> monitors;
};

struct CentralSnapshot {
    qint64 databaseNowMs = 0; // the database's now(), UTC ms
    QList<CentralSite> sites;
};

} // namespace zel

Q_DECLARE_METATYPE(zel::CentralSnapshot)
