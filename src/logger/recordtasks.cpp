#include "logger/recordtasks.h"

#include "core/outputs/central/centralreader.h"
#include "core/outputs/history/chain.h"
#include "core/outputs/history/csvexport.h"
#include "core/outputs/history/historystore.h"

#include <QDateTime>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <cstdio>

namespace zel {

namespace {

int complain(int status, const QString& why) {
    std::fprintf(stderr, "zel-logger: %s\n", qPrintable(why));
    return status;
}

// The history opened for writing a note or a sign-off; never a new file.
bool openExisting(HistoryStore& store, const QString& path) {
    if (!QFileInfo(path).isFile()) {
        complain(1, QStringLiteral("the history file %1 does not exist").arg(path));
        return false;
    }
    QObject::connect(&store, &HistoryStore::problem, [](const QString& m) { complain(1, m); });
    return store.open(path);
}

// Why the file cannot be checked, or empty when it can.
QString unverifiable(const QSqlDatabase& db, const QString& path) {
    QSqlQuery q(db);
    QString application, version;
    if (q.exec(QStringLiteral("SELECT key, value FROM meta WHERE key IN ('application', 'version')"))) {
        while (q.next())
            (q.value(0).toString() == QLatin1String("application") ? application : version) =
                q.value(1).toString();
    }
    if (application != QLatin1String("zel-history"))
        return QStringLiteral("%1 is not a history file of this program").arg(path);
    if (version.toInt() < 2)
        return QStringLiteral("%1 carries no hash chain yet: it was last opened by an earlier version, and "
                              "is chained when this version records into it")
            .arg(path);
    if (version.toInt() > 2)
        return QStringLiteral("%1 was written by a newer version (schema %2)").arg(path, version);
    return {};
}

} // namespace

bool parsePeriod(const QString& from, const QString& to, qint64* fromMs, qint64* toMs, QString* error) {
    if (!parseTimeArgument(from, fromMs)) {
        *error = QStringLiteral("not a date or time: %1").arg(from);
        return false;
    }
    if (!parseTimeArgument(to, toMs)) {
        *error = QStringLiteral("not a date or time: %1").arg(to);
        return false;
    }
    const QDate day = QDate::fromString(to.trimmed(), Qt::ISODate);
    if (to.trimmed().size() == 10 && day.isValid()) *toMs = day.addDays(1).startOfDay().toMSecsSinceEpoch();
    if (*toMs <= *fromMs) {
        *error = QStringLiteral("the period %1 to %2 ends before it begins").arg(from, to);
        return false;
    }
    return true;
}

int annotateRecord(const QString& historyPath, const QString& eventId, const QString& by,
                   const QString& text) {
    bool ok = false;
    const qint64 id = eventId.trimmed().toLongLong(&ok);
    if (!ok || id <= 0)
        return complain(2, QStringLiteral("--annotate takes an event's id (the id column of the events "
                                          "export), not \"%1\"")
                               .arg(eventId));
    if (by.isNull() || text.isNull())
        return complain(2, QStringLiteral("--annotate needs --by NAME and --text TEXT"));
    HistoryStore store;
    if (!openExisting(store, historyPath)) return 1;
    QString why;
    if (!store.addNote(id, by, text, &why)) return complain(1, QStringLiteral("no note added: %1").arg(why));
    std::printf("note added to event %lld\n", static_cast<long long>(id));
    return 0;
}

int signOffRecord(const QString& historyPath, const QString& from, const QString& to, const QString& by,
                  const QString& text) {
    if (to.isNull()) return complain(2, QStringLiteral("--sign-off takes FROM and TO"));
    if (by.isNull()) return complain(2, QStringLiteral("--sign-off needs --by NAME"));
    qint64 fromMs = 0, toMs = 0;
    QString why;
    if (!parsePeriod(from, to, &fromMs, &toMs, &why))
        return complain(2, QStringLiteral("--sign-off: ") + why);
    HistoryStore store;
    if (!openExisting(store, historyPath)) return 1;
    if (!store.signOff(fromMs, toMs, by, text.isNull() ? QString() : text, &why))
        return complain(1, QStringLiteral("not signed off: %1").arg(why));
    std::printf("signed off %s to %s by %s\n", qPrintable(csvTime(fromMs)), qPrintable(csvTime(toMs)),
                qPrintable(by.trimmed()));
    return 0;
}

namespace {

int report(const ChainVerdict& v) {
    if (v.intact) {
        std::printf("intact: %lld rows\n", static_cast<long long>(v.rows));
        if (v.open > 0)
            std::printf("%lld open episode%s not chained yet\n", static_cast<long long>(v.open),
                        v.open == 1 ? " is" : "s are");
        return 0;
    }
    if (v.rowId > 0)
        std::printf("broken at %s row %lld: %s\n", qPrintable(v.table), static_cast<long long>(v.rowId),
                    qPrintable(v.problem));
    else
        std::printf("broken in %s: %s\n", qPrintable(v.table), qPrintable(v.problem));
    return 1;
}

// A site's copy in the central record: each site keeps its own chains, so
// one site at a time, walked from their first rows (the copy keeps every
// row, retention's included, but not the file's note of its newest link).
int verifyCentral(const QString& url, const QString& site) {
    if (site.isEmpty())
        return complain(2, QStringLiteral("--verify of the central record needs --site ID: each site keeps "
                                          "its own chain"));
    HistoryStore store;
    QString why;
    if (!openCentralHistory(store, url, site, nullptr, &why)) return complain(1, why);
    QSqlDatabase db = QSqlDatabase::database(store.connectionName(), false);
    if (!db.transaction()) return complain(1, QStringLiteral("the central record cannot be read"));
    const int status = report(verifyChain(db, false));
    db.rollback();
    return status;
}

} // namespace

int verifyRecord(const QString& historyPath, const QString& site) {
    if (isCentralUrl(historyPath)) return verifyCentral(historyPath, site);
    if (!site.isEmpty()) return complain(2, QStringLiteral("--site goes with a postgresql:// --history"));
    if (!QFileInfo(historyPath).isFile())
        return complain(1, QStringLiteral("the history file %1 does not exist").arg(historyPath));
    const QString connection = QStringLiteral("zel-verify");
    int status = 1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(historyPath);
        // Read only, and one snapshot while a recorder goes on writing.
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000"));
        if (!db.open() || !db.transaction()) {
            complain(1, QStringLiteral("the history file %1 cannot be read").arg(historyPath));
        } else if (const QString why = unverifiable(db, historyPath); !why.isEmpty()) {
            complain(1, why);
        } else {
            status = report(verifyChain(db));
        }
        db.rollback();
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    return status;
}

} // namespace zel
