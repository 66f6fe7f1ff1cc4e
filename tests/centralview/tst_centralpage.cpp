// The group's page in headless Chromium: 50 sites of two monitors on a
// 1920x1080 wall screen, worst first, all in view. Leaves
// build/central-page.png.
#include "central/centralservice.h"
#include "support/browser.h"
#include "support/pgcluster.h"
#include "support/testmain.h"

using zeltest::PgCluster;

class CentralPageTest : public QObject {
    Q_OBJECT
private slots:
    void fiftySitesOnAWall() {
        if (PgCluster::binDir().isEmpty()) QSKIP("PostgreSQL 15 is not installed");
        PgCluster pg;
        QVERIFY2(pg.start() && pg.createDatabase("central"), qPrintable(pg.errorText()));
        zel::CentralConfig config;
        config.databaseUrl = pg.url("central");
        config.httpAddress = QHostAddress(QHostAddress::LocalHost);
        config.token = "wall-token-123";
        zel::CentralService service(config);
        QString error;
        QVERIFY2(service.start(&error), qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(service.rounds() > 0, 20000); // the schema is in

        // Sites 1-3 silent, 4-8 with a link down, 9-14 with alarms, the rest well.
        const QStringList towns{"Aberdeen",  "Bakersfield", "Cheyenne", "Duluth",  "Eugene",
                                "Fargo",     "Galveston",   "Helena",   "Ithaca",  "Joplin",
                                "Kalispell", "Laredo",      "Missoula", "Natchez", "Odessa",
                                "Pueblo",    "Quincy",      "Roanoke",  "Spokane", "Tulsa",
                                "Utica",     "Valdosta",    "Wichita",  "Yakima",  "Zanesville"};
        QStringList sites, monitors, live;
        for (int i = 1; i <= 50; ++i) {
            const QString id = QString("site-%1").arg(i, 2, 10, QChar('0'));
            const QString name = towns[(i - 1) % 25] + (i > 25 ? " North" : "") + " transmitter";
            sites
                << QString("('%1', '%2', now() - interval '%3 seconds')").arg(id, name).arg(i <= 3 ? 600 : 2);
            for (int m = 1; m <= 2; ++m) {
                const QString mid = QString("m%1").arg(m);
                monitors << QString("('%1', '%2', 'W%3Z %4 AM')")
                                .arg(id, mid)
                                .arg(char('A' + i % 26))
                                .arg(540 + 10 * i + m);
                const bool down = i >= 4 && i <= 8 && m == 2;
                const QString alarms =
                    i >= 9 && i <= 14 ? (m == 1 ? "carrier-alarm,pos125" : "audio-loss") : "";
                live
                    << QString("('%1', '%2', '%3', '%4', %5)")
                           .arg(
                               id, mid, down ? "reconnecting" : "connected", down ? "link-lost" : alarms,
                               down
                                   ? "NULL, NULL, NULL"
                                   : QString("%1, %2, %3").arg(80 + i % 30).arg(70 + i % 20).arg(98 + i % 5));
            }
        }
        QVERIFY2(pg.exec("central", "INSERT INTO sites VALUES " + sites.join(", ")),
                 qPrintable(pg.errorText()));
        QVERIFY2(pg.exec("central", "INSERT INTO monitors VALUES " + monitors.join(", ")),
                 qPrintable(pg.errorText()));
        QVERIFY2(pg.exec("central",
                         "INSERT INTO live (site, monitor, link, alarms, pos_pct, neg_pct, carrier_pct) "
                         "VALUES " +
                             live.join(", ")),
                 qPrintable(pg.errorText()));
        const int before = service.rounds();
        service.refreshNow();
        QTRY_VERIFY_WITH_TIMEOUT(service.rounds() > before, 20000);

        httptest::Browser browser;
        error = browser.start(QString("http://127.0.0.1:%1/?token=wall-token-123").arg(service.serverPort()),
                              "1920,1080");
        QVERIFY2(error.isEmpty(), qPrintable(error));
        // The window's frame takes from its height: the wall screen's whole viewport.
        browser.call("Emulation.setDeviceMetricsOverride",
                     {{"width", 1920}, {"height", 1080}, {"deviceScaleFactor", 1}, {"mobile", false}});
        QTRY_VERIFY_WITH_TIMEOUT(
            browser.eval("window.zel.last && window.zel.last.sites.length").toInt() == 50, 60000);
        const QString order =
            browser
                .eval("[...document.querySelectorAll('.site')].map(s => s.className.replace('site ', ''))"
                      ".filter((c, i, a) => c !== a[i - 1]).join()")
                .toString();
        QCOMPARE(order, "stale,link-down,alarm,ok");
        browser.screenshot(1920, "central-page.png");
        // All fifty in view, no name cut short, type still readable across a room.
        QCOMPARE(browser
                     .eval("JSON.stringify([document.querySelectorAll('.site').length,"
                           " document.documentElement.scrollHeight <= innerHeight &&"
                           " Math.max(...[...document.querySelectorAll('.site')].map(c => "
                           "c.getBoundingClientRect().bottom))"
                           " <= document.querySelector('footer').getBoundingClientRect().top,"
                           " document.documentElement.scrollWidth <= innerWidth,"
                           " [...document.querySelectorAll('.site .name, .mon .mn')].every(e => "
                           "e.scrollWidth <= e.clientWidth),"
                           " parseFloat(getComputedStyle(document.documentElement).fontSize) >= 12])")
                     .toString(),
                 "[50,true,true,true,true]");
        QCOMPARE(browser.eval("document.querySelector('.site.link-down .lk.lost').textContent").toString(),
                 "Reconnecting");
    }
};
ZEL_TEST(CentralPageTest)

#include "tst_centralpage.moc"
