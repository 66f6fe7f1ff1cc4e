#include "core/outputs/central/centralreader.h"

#include "core/outputs/central/centraldb.h"
#include "core/outputs/history/historystore.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QStringList>
#include <atomic>

namespace zel {

bool isCentralUrl(const QString& text) {
    return text.startsWith(QLatin1String("postgresql://")) || text.startsWith(QLatin1String("postgres://"));
}

bool openCentralHistory(HistoryStore& store, const QString& url, const QString& site, QString* siteName,
                        QString* error) {
    static std::atomic<int> counter{0};
    const QString connection = QStringLiteral("zel-central-read-%1").arg(++counter);
    if (!openCentralDatabase(url, connection, error)) return false;
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    const QString where = maskedCentralUrl(url);
    const auto fail = [&](const QString& why) {
        if (error) *error = QStringLiteral("%1: %2").arg(where, why);
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(connection);
        return false;
    };
    QString why;
    const int version = centralSchemaVersion(db, &why);
    if (version < 0) return fail(why);
    if (version == 0) return fail(QStringLiteral("it holds no central record"));
    if (version > CentralSchemaVersion)
        return fail(
            QStringLiteral("its schema version %1 is newer than this program's %2; update the program")
                .arg(version)
                .arg(CentralSchemaVersion));
    QSqlField field(QString(), QMetaType::fromType<QString>());
    field.setValue(site);
    const QString siteLiteral = db.driver()->formatValue(field);
    QSqlQuery q(db);
    if (!site.isEmpty()) {
        if (!q.exec(QStringLiteral("SELECT name FROM sites WHERE id = %1").arg(siteLiteral)))
            return fail(q.lastError().text());
        if (!q.next()) {
            QStringList sites;
            if (q.exec(QStringLiteral("SELECT id FROM sites ORDER BY id")))
                while (q.next())
                    sites << q.value(0).toString();
            return fail(
                QStringLiteral("no site \"%1\" in the central record (sites: %2)")
                    .arg(site, sites.isEmpty() ? QStringLiteral("none") : sites.join(QStringLiteral(", "))));
        }
        if (siteName) *siteName = q.value(0).toString();
    }
    // The monitor sorts as in the file (byte order, whatever the server's
    // collation).
    const QString monitor = site.isEmpty() ? QStringLiteral("(site || '/' || monitor) COLLATE \"C\"")
                                           : QStringLiteral("monitor COLLATE \"C\"");
    const QString filter = site.isEmpty() ? QString() : QStringLiteral(" WHERE site = ") + siteLiteral;
    const QString views[] = {
        QStringLiteral(
            "CREATE TEMP VIEW events AS SELECT local_id AS id, time_ms, end_ms, %1 AS monitor, kind,"
            " on_off, detail, packets, extreme, threshold, pos_pct, neg_pct, carrier, seq, hash"
            " FROM public.events%2"),
        QStringLiteral(
            "CREATE TEMP VIEW minutes AS SELECT %1 AS monitor, minute_ms, packets, rejected, pos_max,"
            " neg_max, carrier_min, carrier_max, carrier_mean, pos125_packets, pos125_episodes,"
            " neg100_packets, neg100_episodes, carrier_alarm_s, audio_loss_s, link_down_s, up_s"
            " FROM public.minutes%2"),
        QStringLiteral(
            "CREATE TEMP VIEW notes AS SELECT local_id AS id, event_id, time_ms, by_name, text, hash"
            " FROM public.notes%2"),
        QStringLiteral("CREATE TEMP VIEW signoffs AS SELECT local_id AS id, from_ms, to_ms, time_ms, by_name,"
                       " text, hash FROM public.signoffs%2"),
    };
    for (const QString& view : views) {
        const QString sql = view.contains(QLatin1String("%2")) && view.contains(QLatin1String("%1"))
                                ? view.arg(monitor, filter)
                                : view.arg(filter);
        if (!q.exec(sql)) return fail(q.lastError().text());
    }
    if (!q.exec(QStringLiteral("SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY")))
        return fail(q.lastError().text());
    q.finish();
    return store.adoptConnection(connection,
                                 site.isEmpty() ? where : QStringLiteral("%1 (site %2)").arg(where, site));
}

} // namespace zel
