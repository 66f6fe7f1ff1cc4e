#pragma once
// The group's view as the page and /api/sites show it: every site ordered by
// its worst state (stale, a link down, an alarm, ok), whether its heartbeat
// is older than the stale limit, and whether the database answers. The JSON
// is built once per change, not per request: a wall of browsers asking every
// two seconds costs a copy each.
//
// Staleness is judged by the database's clock alone (now() - last_seen), so
// neither a site's clock nor this machine's matters. While the database is
// away nothing is known of the sites: their last state is shown as it was,
// and no site goes stale or comes back until it answers again.
#include <QByteArray>
#include <QList>
#include <QString>

#include "central/sites.h"

namespace zel {

class SitesView {
public:
    enum class State { Stale, LinkDown, Alarm, Ok }; // worst first

    // A site that went stale (stale) or came back.
    struct StaleChange {
        QString siteId, siteName;
        bool stale = false;
        qint64 timeMs = 0;                // the database's now() when it was seen
        std::optional<qint64> lastSeenMs; // the last heartbeat
    };

    explicit SitesView(int staleAfterS = 30);

    int staleAfterS() const { return m_staleAfterS; }

    // A fresh read of the database. Returns the sites whose staleness
    // changed; a site seen for the first time counts as a change only when
    // it is stale.
    QList<StaleChange> update(const CentralSnapshot& snapshot);
    // The database could not be read: since when (UTC ms, kept across
    // repeated failures) and why. Cleared by the next update().
    void setDatabaseProblem(const QString& reason, qint64 sinceMs);
    bool databaseReachable() const { return m_problemSinceMs < 0; }

    static State stateOf(const CentralSite& site, bool stale);
    static const char* stateName(State s);

    // {"sites":[{"id","name","stale","state","lastSeen","monitors":[{"id","name",
    // "link","alarms","readings"}]}], "database":{...}, "banner", "time"}
    const QByteArray& sitesJson() const { return m_json; }

private:
    struct Shown {
        CentralSite site;
        bool stale = false;
        State state = State::Ok;
    };
    void rebuild();

    int m_staleAfterS;
    QList<Shown> m_sites; // in the order shown
    qint64 m_databaseNowMs = 0;
    qint64 m_problemSinceMs = -1;
    QString m_problem;
    QByteArray m_json;
};

} // namespace zel
