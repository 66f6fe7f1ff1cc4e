#include "core/outputs/central/centraldb.h"

#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QUrlQuery>

namespace zel {

namespace {

// Keys the whole group's rows by site and monitor. A minute carries the
// site's totals for it and replaces the central row; an event is keyed by
// its start, kind and local id, so a row sent twice stays one row, an
// episode's update (same start, kind and id) replaces it, and a site whose
// local file was started afresh (ids from 1 again) never overwrites an older
// row. seq and hash are the site's hash chain, so the copy verifies as the
// file does.
const char* const Version1[] = {
    "CREATE TABLE schema_version (version integer NOT NULL)",
    "INSERT INTO schema_version (version) VALUES (0)",
    "CREATE TABLE sites (id text PRIMARY KEY, name text NOT NULL DEFAULT '', last_seen timestamptz)",
    "CREATE TABLE monitors (site text NOT NULL REFERENCES sites (id), id text NOT NULL,"
    " name text NOT NULL DEFAULT '', PRIMARY KEY (site, id))",
    "CREATE TABLE events (site text NOT NULL, monitor text NOT NULL, local_id bigint NOT NULL,"
    " time_ms bigint NOT NULL, end_ms bigint, kind text NOT NULL, on_off integer, detail text,"
    " packets integer, extreme double precision, threshold integer, pos_pct double precision,"
    " neg_pct double precision, carrier double precision, seq bigint, hash text,"
    " PRIMARY KEY (site, monitor, time_ms, kind, local_id))",
    "CREATE INDEX events_time ON events (time_ms)",
    "CREATE TABLE minutes (site text NOT NULL, monitor text NOT NULL, minute_ms bigint NOT NULL,"
    " packets integer NOT NULL, rejected integer NOT NULL, pos_max double precision,"
    " neg_max double precision, carrier_min double precision, carrier_max double precision,"
    " carrier_mean double precision, pos125_packets integer NOT NULL, pos125_episodes integer NOT NULL,"
    " neg100_packets integer NOT NULL, neg100_episodes integer NOT NULL, carrier_alarm_s integer NOT NULL,"
    " audio_loss_s integer NOT NULL, link_down_s integer NOT NULL, up_s integer,"
    " PRIMARY KEY (site, monitor, minute_ms))",
    "CREATE INDEX minutes_time ON minutes (minute_ms)",
    "CREATE TABLE live (site text NOT NULL, monitor text NOT NULL, link text NOT NULL,"
    " alarms text NOT NULL DEFAULT '', pos_pct double precision, neg_pct double precision,"
    " carrier_pct double precision, packets bigint, updated timestamptz NOT NULL DEFAULT now(),"
    " PRIMARY KEY (site, monitor))",
    "CREATE TABLE notes (site text NOT NULL, local_id bigint NOT NULL, event_id bigint NOT NULL,"
    " time_ms bigint NOT NULL, by_name text NOT NULL, text text NOT NULL, hash text,"
    " PRIMARY KEY (site, local_id))",
    "CREATE TABLE signoffs (site text NOT NULL, local_id bigint NOT NULL, from_ms bigint NOT NULL,"
    " to_ms bigint NOT NULL, time_ms bigint NOT NULL, by_name text NOT NULL, text text NOT NULL DEFAULT '',"
    " hash text, PRIMARY KEY (site, local_id))",
};

struct Step {
    const char* const* statements;
    int count;
};

// Forward only: a new version is a new step appended here, never an edit.
const Step Steps[] = {
    {Version1, int(std::size(Version1))},
};
static_assert(std::size(Steps) == CentralSchemaVersion);

// Any number, the same in every program of the group: the migrations' lock.
constexpr qint64 MigrationLock = 0x7a656c0001;

QString reasonOf(const QSqlError& e) {
    QString text = e.databaseText().trimmed();
    if (text.isEmpty()) text = e.driverText().trimmed();
    return text.isEmpty() ? QStringLiteral("unknown error") : text;
}

bool exec(QSqlQuery& q, const QString& sql, QString* error) {
    if (q.exec(sql)) return true;
    if (error) *error = reasonOf(q.lastError());
    return false;
}

} // namespace

bool parseCentralUrl(const QString& text, CentralUrl* out, QString* error) {
    auto fail = [&](const QString& why) {
        if (error)
            *error = QStringLiteral("%1: %2 (expected postgresql://user@host:port/database)")
                         .arg(maskedCentralUrl(text), why);
        return false;
    };
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid()) return fail(QStringLiteral("not a URL"));
    if (url.scheme() != QLatin1String("postgresql") && url.scheme() != QLatin1String("postgres"))
        return fail(QStringLiteral("the scheme must be postgresql://"));
    CentralUrl u;
    u.user = url.userName(QUrl::FullyDecoded);
    u.password = url.password(QUrl::FullyDecoded);
    u.host = url.host(QUrl::FullyDecoded);
    u.port = url.port(5432);
    if (u.port <= 0 || u.port > 65535) return fail(QStringLiteral("the port is not 1 to 65535"));
    QString path = url.path(QUrl::FullyDecoded);
    if (path.startsWith(QLatin1Char('/'))) path.remove(0, 1);
    if (path.isEmpty() || path.contains(QLatin1Char('/'))) return fail(QStringLiteral("no database named"));
    u.database = path;
    if (u.user.isEmpty()) return fail(QStringLiteral("no user named"));
    QStringList options;
    bool timeoutSet = false;
    for (const auto& [key, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded)) {
        // libpq's conninfo takes key=value words; a value with a blank,
        // quote or separator would break the string Qt builds from them.
        static const QRegularExpression plainKey(QStringLiteral("^[a-z_]+$"));
        if (!plainKey.match(key).hasMatch())
            return fail(QStringLiteral("\"%1\" is not a connection option").arg(key));
        if (value.contains(QRegularExpression(QStringLiteral("[\\s;'\\\\]"))))
            return fail(QStringLiteral("the value of %1 holds a blank, quote or ';'").arg(key));
        if (key == QLatin1String("connect_timeout")) timeoutSet = true;
        options << key + QLatin1Char('=') + value;
    }
    if (!timeoutSet) options << QStringLiteral("connect_timeout=10");
    u.options = options.join(QLatin1Char(';'));
    *out = u;
    return true;
}

QString maskedCentralUrl(const QString& text) {
    QUrl url(text);
    if (!url.isValid() || url.password().isEmpty()) return text;
    url.setPassword(QStringLiteral("***"));
    return url.toString();
}

bool openCentralDatabase(const QString& url, const QString& connectionName, QString* error) {
    CentralUrl u;
    if (!parseCentralUrl(url, &u, error)) return false;
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL"))) {
        if (error) *error = QStringLiteral("Qt's PostgreSQL driver (QPSQL) is not installed");
        return false;
    }
    if (QSqlDatabase::contains(connectionName)) QSqlDatabase::removeDatabase(connectionName);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName);
    db.setHostName(u.host);
    db.setPort(u.port);
    db.setDatabaseName(u.database);
    db.setUserName(u.user);
    if (!u.password.isEmpty()) db.setPassword(u.password);
    db.setConnectOptions(u.options);
    if (db.open()) return true;
    if (error) *error = QStringLiteral("%1: %2").arg(maskedCentralUrl(url), reasonOf(db.lastError()));
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(connectionName);
    return false;
}

int centralSchemaVersion(const QSqlDatabase& db, QString* error) {
    QSqlQuery q(db);
    if (!exec(q, QStringLiteral("SELECT to_regclass('schema_version') IS NOT NULL"), error) || !q.next())
        return -1;
    if (!q.value(0).toBool()) return 0;
    if (!exec(q, QStringLiteral("SELECT max(version) FROM schema_version"), error)) return -1;
    return q.next() ? q.value(0).toInt() : 0;
}

bool migrateCentral(const QSqlDatabase& constDb, QString* error) {
    QSqlDatabase db = constDb;
    QSqlQuery q(db);
    for (;;) {
        if (!db.transaction()) {
            if (error) *error = reasonOf(db.lastError());
            return false;
        }
        auto rollback = [&](const QString& why) {
            db.rollback();
            if (error) *error = why;
            return false;
        };
        QString why;
        if (!exec(q, QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(MigrationLock), &why))
            return rollback(why);
        const int version = centralSchemaVersion(db, &why);
        if (version < 0) return rollback(why);
        if (version > CentralSchemaVersion)
            return rollback(
                QStringLiteral("the central database has schema version %1, newer than this program's %2; "
                               "update the program")
                    .arg(version)
                    .arg(CentralSchemaVersion));
        if (version == CentralSchemaVersion) {
            db.commit();
            return true;
        }
        const Step& step = Steps[version];
        for (int i = 0; i < step.count; ++i)
            if (!exec(q, QString::fromLatin1(step.statements[i]), &why))
                return rollback(QStringLiteral("schema version %1: %2").arg(version + 1).arg(why));
        if (!exec(q, QStringLiteral("UPDATE schema_version SET version = %1").arg(version + 1), &why))
            return rollback(why);
        if (!db.commit()) return rollback(reasonOf(db.lastError()));
    }
}

} // namespace zel
