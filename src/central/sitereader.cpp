#include "central/sitereader.h"

#include "core/outputs/central/centraldb.h"

#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

namespace zel {

namespace {

QString reasonOf(const QSqlError& e) {
    QString text = e.databaseText().trimmed();
    if (text.isEmpty()) text = e.driverText().trimmed();
    return text.isEmpty() ? QStringLiteral("unknown error") : text;
}

std::optional<double> optionalDouble(const QVariant& v) {
    return v.isNull() ? std::nullopt : std::optional<double>(v.toDouble());
}

} // namespace

SiteReader::SiteReader(const QString& url, QObject* parent)
    : QObject(parent)
    , m_url(withReaderOptions(url))
    , m_userUrl(url) {
    // Unique while this reader lives, which is as long as its connection.
    m_connection = QStringLiteral("zel-central-reader-%1").arg(quintptr(this), 0, 16);
    qRegisterMetaType<CentralSnapshot>();
}

SiteReader::~SiteReader() {
    closeConnection();
}

QString SiteReader::withReaderOptions(const QString& url) {
    QUrl u(url);
    if (!u.isValid()) return url; // opening reports it
    QUrlQuery query(u);
    const std::pair<const char*, const char*> defaults[] = {
        {"connect_timeout", "5"}, {"tcp_user_timeout", "10000"}, {"application_name", "zel-central"}};
    for (const auto& [key, value] : defaults)
        if (!query.hasQueryItem(QString::fromLatin1(key)))
            query.addQueryItem(QString::fromLatin1(key), QString::fromLatin1(value));
    u.setQuery(query);
    return u.toString(QUrl::FullyEncoded);
}

void SiteReader::start() {
    if (!m_timer) {
        m_timer = new QTimer(this);
        m_timer->setObjectName(QStringLiteral("tmrRead"));
        m_timer->setInterval(IntervalMs);
        connect(m_timer, &QTimer::timeout, this, &SiteReader::refresh);
    }
    m_timer->start();
    refresh();
}

void SiteReader::closeConnection() {
    m_open = false;
    if (QSqlDatabase::contains(m_connection)) QSqlDatabase::removeDatabase(m_connection);
}

bool SiteReader::connectAndMigrate(QString* reason, bool* refusedNewer) {
    if (!openCentralDatabase(m_url, m_connection, reason)) return false;
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("SET statement_timeout = %1").arg(QueryTimeoutMs))) {
            *reason = reasonOf(q.lastError());
            return false;
        }
        // A fresh database gets the schema; a newer one is left alone.
        if (!migrateCentral(db, reason)) {
            QString ignored;
            *refusedNewer = centralSchemaVersion(db, &ignored) > CentralSchemaVersion;
            return false;
        }
    }
    m_open = true;
    return true;
}

bool SiteReader::read(CentralSnapshot* out, QString* reason) {
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    // One transaction: the sites, their monitors and live rows of one moment.
    if (!db.transaction()) {
        *reason = reasonOf(db.lastError());
        return false;
    }
    QSqlQuery q(db);
    q.setForwardOnly(true);
    auto fail = [&] {
        *reason = reasonOf(q.lastError());
        db.rollback();
        return false;
    };
    if (!q.exec(QStringLiteral("SELECT (extract(epoch FROM now()) * 1000)::bigint")) || !q.next())
        return fail();
    out->databaseNowMs = q.value(0).toLongLong();
    if (!q.exec(QStringLiteral("SELECT id, name, (extract(epoch FROM last_seen) * 1000)::bigint,"
                               " (extract(epoch FROM now() - last_seen) * 1000)::bigint FROM sites")))
        return fail();
    QHash<QString, qsizetype> index;
    while (q.next()) {
        CentralSite s;
        s.id = q.value(0).toString();
        s.name = q.value(1).toString();
        if (!q.isNull(2)) {
            s.lastSeenMs = q.value(2).toLongLong();
            s.ageMs = std::max<qint64>(0, q.value(3).toLongLong()); // a clock set back
        }
        index.insert(s.id, out->sites.size());
        out->sites.append(s);
    }
    // A live row without its monitor row (or the reverse) still shows.
    if (!q.exec(
            QStringLiteral("SELECT coalesce(m.site, l.site), coalesce(m.id, l.monitor), coalesce(m.name, ''),"
                           " l.site IS NOT NULL, l.link, l.alarms, l.pos_pct, l.neg_pct, l.carrier_pct"
                           " FROM monitors m FULL JOIN live l ON l.site = m.site AND l.monitor = m.id"
                           " ORDER BY 1, 2")))
        return fail();
    while (q.next()) {
        const QString site = q.value(0).toString();
        auto at = index.constFind(site);
        if (at == index.cend()) { // a site never registered: never heard of
            CentralSite s;
            s.id = site;
            at = index.insert(site, out->sites.size());
            out->sites.append(s);
        }
        CentralMonitor m;
        m.id = q.value(1).toString();
        m.name = q.value(2).toString();
        m.hasLive = q.value(3).toBool();
        m.link = q.value(4).toString();
        for (const QString& a : q.value(5).toString().split(u',', Qt::SkipEmptyParts))
            if (const QString name = a.trimmed(); !name.isEmpty()) m.alarms << name;
        m.pos = optionalDouble(q.value(6));
        m.neg = optionalDouble(q.value(7));
        m.carrier = optionalDouble(q.value(8));
        out->sites[*at].monitors.append(m);
    }
    q.finish();
    db.commit();
    return true;
}

void SiteReader::refresh() {
    QString reason;
    // libpq's reasons run over lines ("...\n\tIs the server running"): one line.
    const auto told = [this](QString text) {
        return text.replace(maskedCentralUrl(m_url), maskedCentralUrl(m_userUrl)).simplified();
    };
    if (!m_open) {
        bool newer = false;
        if (!connectAndMigrate(&reason, &newer)) {
            closeConnection();
            if (newer)
                emit refused(told(reason));
            else
                emit problem(told(reason));
            return;
        }
    }
    CentralSnapshot s;
    if (!read(&s, &reason)) {
        // The connection may be gone (a restarted server): opened afresh
        // next round.
        closeConnection();
        emit problem(reason.simplified());
        return;
    }
    emit snapshot(s);
}

} // namespace zel
