#include "central/sitesview.h"

#include "core/types/types.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>

namespace zel {

namespace {

QJsonValue percentOrNull(const std::optional<double>& v) {
    return v ? QJsonValue(*v) : QJsonValue();
}

QJsonValue timeOrNull(const std::optional<qint64>& ms) {
    return ms ? QJsonValue(formatLocalTime(*ms)) : QJsonValue();
}

} // namespace

SitesView::SitesView(int staleAfterS)
    : m_staleAfterS(staleAfterS) {
    rebuild();
}

SitesView::State SitesView::stateOf(const CentralSite& site, bool stale) {
    if (stale) return State::Stale;
    State worst = State::Ok;
    for (const CentralMonitor& m : site.monitors) {
        // A monitor without a live row has told nothing: its link is not up.
        if (!m.hasLive || m.link != u"connected") return State::LinkDown;
        if (!m.alarms.isEmpty()) worst = State::Alarm;
    }
    return worst;
}

const char* SitesView::stateName(State s) {
    switch (s) {
    case State::Stale:
        return "stale";
    case State::LinkDown:
        return "link-down";
    case State::Alarm:
        return "alarm";
    case State::Ok:
        break;
    }
    return "ok";
}

QList<SitesView::StaleChange> SitesView::update(const CentralSnapshot& snapshot) {
    QHash<QString, bool> wasStale;
    for (const Shown& s : std::as_const(m_sites))
        wasStale.insert(s.site.id, s.stale);
    QList<StaleChange> changes;
    QList<Shown> shown;
    shown.reserve(snapshot.sites.size());
    const qint64 limitMs = qint64(m_staleAfterS) * 1000;
    for (const CentralSite& site : snapshot.sites) {
        Shown s;
        s.site = site;
        s.stale = site.ageMs < 0 || site.ageMs > limitMs;
        s.state = stateOf(site, s.stale);
        const auto before = wasStale.constFind(site.id);
        if (before == wasStale.cend() ? s.stale : *before != s.stale)
            changes.append({site.id, site.name, s.stale, snapshot.databaseNowMs, site.lastSeenMs});
        shown.append(std::move(s));
    }
    // Worst first; then by name, so that a wall screen keeps its order.
    std::stable_sort(shown.begin(), shown.end(), [](const Shown& a, const Shown& b) {
        if (a.state != b.state) return a.state < b.state;
        const QString& an = a.site.name.isEmpty() ? a.site.id : a.site.name;
        const QString& bn = b.site.name.isEmpty() ? b.site.id : b.site.name;
        if (const int c = an.localeAwareCompare(bn); c != 0) return c < 0;
        return a.site.id < b.site.id;
    });
    m_sites = std::move(shown);
    m_databaseNowMs = snapshot.databaseNowMs;
    m_problemSinceMs = -1;
    m_problem.clear();
    rebuild();
    return changes;
}

void SitesView::setDatabaseProblem(const QString& reason, qint64 sinceMs) {
    if (m_problemSinceMs < 0) m_problemSinceMs = sinceMs;
    if (reason == m_problem) return;
    m_problem = reason;
    rebuild();
}

void SitesView::rebuild() {
    QJsonArray sites;
    for (const Shown& s : std::as_const(m_sites)) {
        QJsonArray monitors;
        for (const CentralMonitor& m : s.site.monitors) {
            const QJsonValue readings = m.hasLive && (m.pos || m.neg || m.carrier)
                                            ? QJsonValue(QJsonObject{{"pos", percentOrNull(m.pos)},
                                                                     {"neg", percentOrNull(m.neg)},
                                                                     {"carrier", percentOrNull(m.carrier)}})
                                            : QJsonValue();
            monitors.append(QJsonObject{{"id", m.id},
                                        {"name", m.name},
                                        {"link", m.hasLive ? QJsonValue(m.link) : QJsonValue()},
                                        {"alarms", QJsonArray::fromStringList(m.alarms)},
                                        {"readings", readings}});
        }
        sites.append(QJsonObject{{"id", s.site.id},
                                 {"name", s.site.name},
                                 {"stale", s.stale},
                                 {"state", QString::fromLatin1(stateName(s.state))},
                                 {"lastSeen", timeOrNull(s.site.lastSeenMs)},
                                 {"monitors", monitors}});
    }
    const bool away = m_problemSinceMs >= 0;
    const QJsonObject database{
        {"reachable", !away},
        {"unreachableSince", away ? QJsonValue(formatLocalTime(m_problemSinceMs)) : QJsonValue()},
        {"reason", away ? QJsonValue(m_problem) : QJsonValue()}};
    const QJsonObject o{
        {"sites", sites},
        {"staleAfterS", m_staleAfterS},
        {"asOf", m_databaseNowMs > 0 ? QJsonValue(formatLocalTime(m_databaseNowMs)) : QJsonValue()},
        {"database", database},
        {"banner", away ? QJsonValue(QStringLiteral("database unreachable since %1: %2")
                                         .arg(formatLocalTime(m_problemSinceMs), m_problem))
                        : QJsonValue()}};
    m_json = QJsonDocument(o).toJson(QJsonDocument::Compact);
}

} // namespace zel
