// zel-central against a real PostgreSQL 15 cluster on loopback, its rows
// written with SQL as a site's forwarder writes them: the API's shape and
// order, stale sites both ways and their alerts, a database away and back,
// the program's options, bind and token rules.
#include "central/centralservice.h"
#include "core/outputs/alerts/alertmanager.h"
#include "support/httptest.h"
#include "support/pgcluster.h"
#include "support/testmain.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <csignal>

using zeltest::PgCluster;

namespace {

QJsonObject json(const QByteArray& body) {
    return QJsonDocument::fromJson(body).object();
}

zel::CentralConfig configFor(const QString& url, int staleAfterS = 30) {
    zel::CentralConfig c;
    c.databaseUrl = url;
    c.httpAddress = QHostAddress(QHostAddress::LocalHost);
    c.httpSet = true;
    c.staleAfterS = staleAfterS;
    return c;
}

// A read of the database begun now, finished, then /api/sites as served. A
// round already under way (the reader's own timer) may finish first, so two
// are asked for: the second ends after the first one begun now.
QJsonObject readSites(zel::CentralService& service) {
    const int before = service.rounds();
    service.refreshNow();
    service.refreshNow();
    [&] { QTRY_VERIFY_WITH_TIMEOUT(service.rounds() >= before + 2, 20000); }();
    return json(httptest::get(service.serverPort(), "/api/sites").body);
}

QStringList siteIds(const QJsonObject& o) {
    QStringList ids;
    for (const QJsonValue& s : o["sites"].toArray())
        ids << s["id"].toString();
    return ids;
}

} // namespace

class CentralViewTest : public QObject {
    Q_OBJECT

    PgCluster m_pg;
    int m_databases = 0;

    // A fresh database with the schema, for one test.
    QString freshDatabase() {
        const QString name = QStringLiteral("central%1").arg(++m_databases);
        [&] { QVERIFY2(m_pg.createDatabase(name), qPrintable(m_pg.errorText())); }();
        return name;
    }
    void sql(const QString& db, const QString& statement) {
        QVERIFY2(m_pg.exec(db, statement), qPrintable(m_pg.errorText()));
    }

private slots:
    void initTestCase() {
        if (PgCluster::binDir().isEmpty()) QSKIP("PostgreSQL 15 is not installed");
        QVERIFY2(m_pg.start(), qPrintable(m_pg.errorText()));
    }

    // Worst first (stale, a link down, an alarm, ok), then by name; the
    // fields as the API promises them.
    void apiShapeAndOrder() {
        const QString db = freshDatabase();
        zel::CentralService service(configFor(m_pg.url(db)));
        QString error;
        QVERIFY2(service.start(&error), qPrintable(error));
        QCOMPARE(readSites(service)["sites"].toArray().size(), 0); // migrated: a fresh database works
        sql(db,
            "INSERT INTO sites VALUES ('north', 'North', now()), ('south', 'South', now()),"
            " ('east', 'East', now()), ('west', 'West', now() - interval '5 minutes'), ('zulu', '', now())");
        sql(db, "INSERT INTO monitors VALUES ('north', 'n1', 'WZEL 1230 AM'), ('north', 'n2', 'WZEL aux'),"
                " ('south', 's1', 'KZEL'), ('east', 'e1', 'East 1'), ('west', 'w1', 'West 1'), ('zulu', "
                "'z1', '')");
        sql(db, "INSERT INTO live (site, monitor, link, alarms, pos_pct, neg_pct, carrier_pct) VALUES"
                " ('north', 'n1', 'connected', '', 96, 80, 100), ('north', 'n2', 'connected', '', NULL, "
                "NULL, NULL),"
                " ('south', 's1', 'reconnecting', 'link-lost', NULL, NULL, NULL),"
                " ('east', 'e1', 'connected', 'carrier-alarm,audio-loss', 110, 90.5, 86),"
                " ('west', 'w1', 'connected', '', 96, 80, 100)");
        const QJsonObject o = readSites(service);
        QCOMPARE(siteIds(o), QStringList({"west", "south", "zulu", "east", "north"}));
        const QJsonArray sites = o["sites"].toArray();
        QCOMPARE(httptest::pick(o, {"sites/0/stale", "sites/0/state", "sites/1/state", "sites/2/state",
                                    "sites/3/state", "sites/4/state", "sites/4/stale", "sites/4/name"}),
                 QStringList({"true", "stale", "link-down", "link-down", "alarm", "ok", "false", "North"}));
        const QRegularExpression localTime(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$)");
        QVERIFY2(localTime.match(sites[4]["lastSeen"].toString()).hasMatch(),
                 qPrintable(sites[4]["lastSeen"].toString()));
        const QJsonObject east = sites[3]["monitors"][0].toObject();
        QCOMPARE(
            QJsonDocument(east).toJson(QJsonDocument::Compact),
            QByteArray(
                R"({"alarms":["carrier-alarm","audio-loss"],"id":"e1","link":"connected","name":"East 1",)"
                R"("readings":{"carrier":86,"neg":90.5,"pos":110}})"));
        // No reading yet, and a monitor that never reported its state.
        QCOMPARE(httptest::pick(
                     o, {"sites/4/monitors/1/readings", "sites/2/monitors/0/link", "database/reachable"}),
                 QStringList({"", "", "true"}));
        QVERIFY(sites[4]["monitors"][1]["readings"].isNull() && sites[2]["monitors"][0]["link"].isNull());
    }

    // A heartbeat older than the limit, by the database's clock, is stale;
    // going and coming back are alerted by the command and the webhook.
    void staleBothWays() {
        const QString db = freshDatabase();
        QTemporaryDir dir;
        const QString log = dir.filePath("alerts.log");
        httptest::Receiver hook({200});
        zel::CentralConfig config = configFor(m_pg.url(db), 30);
        config.alertCommand = QString("sh -c 'echo \"$ZEL_EVENT $ZEL_STATE $ZEL_STATION\" >> %1'").arg(log);
        config.webhookUrl = hook.url();
        zel::CentralService service(config);
        QSignalSpy sent(service.alerts(), &zel::AlertManager::alertSent);
        QString error;
        QVERIFY2(service.start(&error), qPrintable(error));
        readSites(service);
        sql(db, "INSERT INTO sites VALUES ('north', 'North', now()), ('ghost', 'Ghost', NULL)");
        // Never heard of: stale from the first sight.
        QCOMPARE(httptest::pick(readSites(service), {"sites/0/id", "sites/0/stale", "sites/1/stale"}),
                 QStringList({"ghost", "true", "false"}));
        sql(db, "UPDATE sites SET last_seen = now() - interval '31 seconds' WHERE id = 'north'");
        QCOMPARE(httptest::pick(readSites(service), {"sites/1/id", "sites/1/stale"}),
                 QStringList({"north", "true"}));
        sql(db, "UPDATE sites SET last_seen = now() WHERE id = 'north'");
        QCOMPARE(httptest::pick(readSites(service), {"sites/1/id", "sites/1/stale"}),
                 QStringList({"north", "false"}));
        QTRY_COMPARE_WITH_TIMEOUT(sent.size(), 6, 20000);
        QFile file(log);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(),
                 QByteArray("site-stale on Ghost\nsite-stale on North\nsite-stale off North\n"));
        QCOMPARE(hook.bodies.size(), 3);
        QCOMPARE(httptest::pick(json(hook.bodies[1]), {"event", "state", "station"}),
                 QStringList({"site-stale", "on", "North"}));
        QVERIFY(json(hook.bodies[1])["detail"].toString().contains("no heartbeat for over 30 s"));
    }

    // The database goes away: said once, a banner, the last state kept, the
    // page still served at once; then it comes back.
    void databaseAwayAndBack() {
        const QString db = freshDatabase();
        zel::CentralService service(configFor(m_pg.url(db)));
        QSignalSpy away(&service, &zel::CentralService::databaseProblem);
        QSignalSpy back(&service, &zel::CentralService::databaseBack);
        QString error;
        QVERIFY2(service.start(&error), qPrintable(error));
        readSites(service);
        sql(db, "INSERT INTO sites VALUES ('north', 'North', now())");
        readSites(service);
        m_pg.stop();
        QJsonObject o = readSites(service);
        readSites(service);
        QCOMPARE(away.size(), 1);
        QCOMPARE(httptest::pick(o, {"database/reachable", "sites/0/id"}), QStringList({"false", "north"}));
        QVERIFY2(o["banner"].toString().startsWith("database unreachable since "),
                 qPrintable(o["banner"].toString()));
        QVERIFY2(m_pg.start(), qPrintable(m_pg.errorText()));
        o = readSites(service);
        QCOMPARE(back.size(), 1);
        QCOMPARE(httptest::pick(o, {"database/reachable", "banner", "sites/0/stale"}),
                 QStringList({"true", "", "false"}));
    }

    // A server that takes the connection and never answers holds the reader;
    // the HTTP side answers meanwhile, and says so once the reader has been
    // silent too long.
    void silentDatabaseBlocksNothing() {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        zel::CentralService service(
            configFor(QString("postgresql://zel@127.0.0.1:%1/central").arg(silent.serverPort())));
        service.setWatchdogMs(1000);
        QSignalSpy away(&service, &zel::CentralService::databaseProblem);
        QString error;
        QVERIFY2(service.start(&error), qPrintable(error));
        QTRY_VERIFY(silent.hasPendingConnections() || silent.nextPendingConnection());
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(httptest::get(service.serverPort(), "/api/sites").status, 200);
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        QTRY_COMPARE_WITH_TIMEOUT(away.size(), 1, 4000); // before the reader's 5 s connect timeout
        QVERIFY2(away[0][0].toString().startsWith("the database has not answered for "),
                 qPrintable(away[0][0].toString()));
        QCOMPARE(httptest::pick(json(httptest::get(service.serverPort(), "/api/sites").body),
                                {"database/reachable"}),
                 QStringList({"false"}));
    }

    // The program: options and config file, the token, the newer schema.
    void program() {
        const QString db = freshDatabase();
        QTemporaryDir dir;
        const auto run = [](const QStringList& args, QByteArray* err = nullptr) {
            QProcess p;
            p.start(ZEL_CENTRAL, args);
            p.waitForFinished(30000);
            if (err) *err = p.readAllStandardError();
            return p.exitCode();
        };
        QByteArray err;
        QCOMPARE(run({"--db", m_pg.url(db), "--http", "0.0.0.0:8090"}, &err), 2);
        QVERIFY2(err.contains("only with an access token"), err.constData());
        QCOMPARE(run({"--http", "127.0.0.1:0"}, &err), 2);
        QVERIFY2(err.contains("no database"), err.constData());
        QCOMPARE(run({"--db", "mysql://zel@127.0.0.1/central", "--http", "127.0.0.1:0"}, &err), 2);
        QVERIFY2(err.contains("the scheme must be postgresql://"), err.constData());
        QCOMPARE(run({"--db", m_pg.url(db), "--http", "127.0.0.1:0", "--stale-after", "0"}, &err), 2);

        QFile conf(dir.filePath("central.conf"));
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write(
            QString("[central]\ndb = %1\nhttp = 127.0.0.1:0\ntoken = central-token-1\nstaleAfter = 10\n")
                .arg(m_pg.url(db))
                .toUtf8());
        conf.close();
        QProcess p;
        p.start(ZEL_CENTRAL, {"--config", conf.fileName()});
        QTRY_VERIFY_WITH_TIMEOUT(p.canReadLine(), 20000);
        const QRegularExpression serving(R"(serving url=http://127\.0\.0\.1:(\d+)/)");
        const auto m = serving.match(QString::fromUtf8(p.readLine()));
        QVERIFY(m.hasMatch());
        const auto port = quint16(m.captured(1).toUInt());
        QCOMPARE(httptest::get(port, "/api/sites").status, 401);
        const httptest::Reply ok = httptest::exchange(
            port, httptest::request("/api/sites", "Authorization: Bearer central-token-1\r\n"));
        QCOMPARE(ok.status, 200);
        QCOMPARE(json(ok.body)["staleAfterS"].toInt(), 10);
        ::kill(pid_t(p.processId()), SIGTERM);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);

        // Written by a newer program: refused with the reason.
        sql(db, "UPDATE schema_version SET version = 99");
        QCOMPARE(run({"--db", m_pg.url(db), "--http", "127.0.0.1:0"}, &err), 2);
        QVERIFY2(err.contains("schema version 99, newer than this program's 1"), err.constData());
    }
};
ZEL_TEST(CentralViewTest)

#include "tst_centralview.moc"
