// The status page in headless Chromium, driven over DevTools on loopback.
// Leaves build/status-page.png.
#include "support/browser.h"
#include "support/httptest.h"
#include "support/testmain.h"

#include "core/outputs/web/statusserver.h"

#include <QRegularExpression>

namespace {

using httptest::Browser;

// What the page shows for monitor `id`, read back from its elements.
QJsonObject shown(httptest::Browser& browser, const QString& id = "a") {
    return QJsonDocument::fromJson(browser
                                       .eval(QString(R"JS(JSON.stringify((() => {
  const m = document.querySelector('[data-id="%1"]'), q = s => m.querySelector(s);
  const lit = k => m.querySelectorAll('.row.' + k + ' .seg.on').length, value = k => q('.row.' + k + ' .value').textContent;
  const led = k => q('.led[data-k="' + k + '"]').classList.contains('lit');
  const rows = [...document.querySelectorAll('#events tr')].map(tr => [...tr.cells].map(td => td.textContent).join(' | '));
  return {link: q('.link').textContent, name: q('h2').textContent, site: document.getElementById('site').textContent,
    pos: value('pos'), neg: value('neg'), car: value('car'), posLit: lit('pos'), negLit: lit('neg'), carLit: lit('car'),
    posHold: [...m.querySelectorAll('.row.pos .seg')].findIndex(s => s.classList.contains('hold')) + 1,
    carrierLed: led('carrier-alarm'), audioLed: led('audio-loss'), pos125Led: led('pos125'),
    events: rows.length, rows: rows, updates: window.zel.updates};
})()))JS")
                                                 .arg(id))
                                       .toString()
                                       .toUtf8())
        .object();
}

} // namespace

class BrowserPageTest : public QObject {
    Q_OBJECT
private slots:
    void pageShowsTheStream() {
        zel::StatusServer server;
        const QString token = "page-test-token-1";
        server.setSite("hq", "Main studio");
        server.addMonitor("a", "WZEL 1230 AM", "COM 2");
        QVERIFY2(server.listen(QHostAddress::LocalHost, 0, token), qPrintable(server.errorString()));
        const qint64 t = QDateTime::currentMSecsSinceEpoch();
        server.onLinkStatus("a", {zel::LinkState::Connected, {}, false, {}});
        server.onReadings("a", {40, 30, 40});
        server.onAlarmEvent("a", {zel::AlarmKind::AudioLoss, true, t - 2000, {}});
        server.onAlarmEvent("a", {zel::AlarmKind::AudioLoss, false, t - 1000, {}});
        // With every stream place taken, the page still draws what the API says.
        QList<QTcpSocket*> crowd;
        for (int i = 0; i < zel::StatusServer::MaxClients; ++i) {
            crowd << new QTcpSocket(&server);
            crowd.last()->connectToHost(QHostAddress::LocalHost, server.serverPort());
            crowd.last()->write(httptest::upgrade("/ws?token=" + token.toUtf8()));
        }
        QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), zel::StatusServer::MaxClients, 20000);
        Browser browser;
        // The page passes its token on to the stream's socket.
        const QString error =
            browser.start(QString("http://127.0.0.1:%1/?token=%2").arg(server.serverPort()).arg(token));
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QTRY_COMPARE_WITH_TIMEOUT(shown(browser)["pos"].toString(), "100 %", 60000);
        QCOMPARE(httptest::pick(shown(browser), {"site", "name", "link", "neg", "car", "events", "updates"}),
                 QStringList({"Main studio", "WZEL 1230 AM", "Connected", "80 %", "100 %", "3", "0"}));
        qDeleteAll(crowd);
        QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), 1, 30000);
        QTRY_VERIFY_WITH_TIMEOUT(shown(browser)["updates"].toInt() > 0, 30000);
        server.findChild<QTimer*>("tmrPush")->stop();

        // The bar falls; the hold marker stays until 25 packets below it.
        const auto push = [&](QList<float> pos, float neg, float carrier) {
            for (float p : pos)
                server.onReadings("a", {p, neg, carrier});
            server.pushUpdates();
        };
        push({30, 54, 44}, 38, 40);
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        server.onAlarmEvent("a", {zel::AlarmKind::Carrier, true, now, {45, 30, 33}});
        server.onEpisode("a", {zel::AlarmKind::Pos125, true, now, now, 1, 54, 125});
        push({44, 45}, 30, 33);
        QTRY_COMPARE_WITH_TIMEOUT(shown(browser)["posLit"].toInt(), 45, 30000);
        const QRegularExpression stamp("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d [+-]\\d\\d:\\d\\d");
        // Four events: three from the start and the carrier alarm, newest first.
        QCOMPARE(
            httptest::pick(shown(browser), {"pos", "posHold", "neg", "negLit", "car", "carLit", "carrierLed",
                                            "pos125Led", "audioLed", "events", "rows/0", "rows/3"})
                .join(';')
                .replace(stamp, "T"),
            "110 %;54;80 %;30;86 %;33;true;true;false;4;T | Carrier alarm | on | ;T | Audio loss | on | ");
        browser.screenshot(1000, "status-page.png");

        push(QList<float>(25, 40), 30, 33);
        QTRY_COMPARE_WITH_TIMEOUT(shown(browser)["posLit"].toInt(), 40, 30000);
        QCOMPARE(shown(browser)["posHold"].toInt(), 0);

        // A lost link darkens the bars; the attempts to bring it back are one
        // row; a burst is named as the History window names it.
        server.onEpisode("a", {zel::AlarmKind::Pos125, false, now, now + 200, 3, 54, 125});
        for (int i = 0; i < 3; ++i) {
            server.onLinkStatus("a", {zel::LinkState::Reconnecting, "PORT ERROR", false, {}});
            server.onLinkStatus("a", {zel::LinkState::Initializing, {}, false, {}});
        }
        server.onLinkStatus("a", {zel::LinkState::Reconnecting, "PORT ERROR", false, {}});
        server.pushUpdates();
        QTRY_COMPARE_WITH_TIMEOUT(shown(browser)["link"].toString(), "Reconnecting", 30000);
        const QJsonObject dark = shown(browser);
        QCOMPARE(httptest::pick(dark, {"posLit", "negLit", "carLit", "pos", "posHold", "rows/0", "rows/1"})
                     .join(';')
                     .replace(stamp, "T"),
                 "0;0;0;–;0;T | Link | Reconnecting ×4 | PORT ERROR;"
                 "T | Past +125 % |  | 3 packets over 0.2 s, peak 128 % (threshold 125 %)");
    }

    // Four monitors: a row each, alarms standing out, across a wide screen.
    void fourMonitorsOnAWall() {
        zel::StatusServer server;
        server.setSite("hq", "Main studio");
        const QStringList names{"WZEL 1230 AM", "WZEL 1450 AM", "KZEL 690 AM", "Standby transmitter"};
        for (int i = 0; i < 4; ++i)
            server.addMonitor(QString("m%1").arg(i + 1), names[i],
                              QString("tcp://127.0.0.1:%1").arg(4001 + i));
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        for (const QString id : {"m1", "m2", "m4"}) {
            server.onLinkStatus(id, {zel::LinkState::Connected, {}, false, {}});
            server.onReadings(id, {38, 34, 40});
        }
        server.onReadings("m2", {54, 36, 33});
        server.onAlarmEvent("m2", {zel::AlarmKind::Carrier, true, now - 5000, {}});
        server.onEpisode("m2", {zel::AlarmKind::Pos125, true, now, now, 1, 54, 125});
        server.onLinkStatus("m3", {zel::LinkState::Reconnecting, "no answer from 127.0.0.1:4003", false, {}});
        server.onLinkStatus("m4", {zel::LinkState::Connected, {}, true, {}});
        server.onAlarmEvent("m4", {zel::AlarmKind::NoData, true, now - 3000, {}});
        Browser browser;
        const QString error =
            browser.start(QString("http://127.0.0.1:%1/").arg(server.serverPort()), "1600,900");
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), 1, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(browser.eval("window.zel.updates").toInt() > 0, 30000);
        const QString state =
            browser
                .eval("[...document.querySelectorAll('.mon')].map(m => m.dataset.id + ':' + "
                      "m.className + ':' + m.querySelector('.badges').textContent + ':' + "
                      "m.querySelector('.cell.pos .value').textContent).join(';')")
                .toString();
        QCOMPARE(state, "m1:mon:no alarm:96 %;m2:mon alarm flash:+125%CARRIER ALARM:128 %;"
                        "m3:mon dark alarm:LINK LOST:–;m4:mon dark alarm:NO DATA:–");
        // Rows fill the width and do not spill over it.
        QCOMPARE(browser
                     .eval("document.documentElement.scrollWidth <= innerWidth && "
                           "document.querySelector('.mon').getBoundingClientRect().width > 1400")
                     .toBool(),
                 true);
        browser.screenshot(1600, "status-page-4.png");
    }
};
ZEL_TEST(BrowserPageTest)

#include "tst_browser.moc"
