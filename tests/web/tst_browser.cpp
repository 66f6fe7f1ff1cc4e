// The status page in a real browser: headless Chromium loads it from the
// server on loopback, driven over the DevTools protocol; the bars, values
// and lamps it draws must match the readings the test fed the server.
// Leaves the browser's screenshot in build/status-page.png.
#include "support/testmain.h"

#include "core/protocol/packetdecoder.h"
#include "core/session/monitorsession.h"
#include "core/web/statusserver.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QWebSocket>
#include <unistd.h>

namespace {

QString chromiumProgram() {
    for (const char* name : {"chromium", "chromium-browser", "google-chrome"})
        if (const QString path = QStandardPaths::findExecutable(name); !path.isEmpty()) return path;
    return {};
}

// One browser with one page, stopped with the object.
class Browser {
public:
    ~Browser() {
        m_devtools.abort();
        if (m_proc.state() != QProcess::NotRunning) {
            m_proc.terminate();
            if (!m_proc.waitForFinished(10000)) {
                m_proc.kill();
                m_proc.waitForFinished(10000);
            }
        }
        // The profile holds read-only files the temporary folder cannot remove.
        QDirIterator it(m_profile.path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            QFile::setPermissions(it.next(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    bool start(const QString& url, QString* error) {
        const QString program = chromiumProgram();
        if (program.isEmpty()) {
            *error = "chromium is not installed (scripts/install-deps installs it)";
            return false;
        }
        QStringList args{"--headless",
                         "--disable-gpu",
                         "--no-first-run",
                         "--disable-background-networking",
                         "--disable-component-update",
                         "--disable-sync",
                         "--disable-extensions",
                         "--user-data-dir=" + m_profile.path(),
                         "--remote-debugging-address=127.0.0.1",
                         "--remote-debugging-port=0",
                         "--remote-allow-origins=*",
                         "--window-size=1000,760",
                         "--hide-scrollbars",
                         url};
        if (geteuid() == 0) args.prepend("--no-sandbox");
        // The browser complains a lot about a desktop it does not have.
        m_proc.setStandardOutputFile(QProcess::nullDevice());
        m_proc.setStandardErrorFile(QProcess::nullDevice());
        m_proc.start(program, args);
        if (!m_proc.waitForStarted(30000)) {
            *error = "chromium did not start: " + m_proc.errorString();
            return false;
        }
        // The browser writes the port it chose into its profile.
        QFile portFile(m_profile.filePath("DevToolsActivePort"));
        QElapsedTimer clock;
        clock.start();
        while (!portFile.exists() || portFile.size() == 0) {
            if (clock.elapsed() > 60000 || m_proc.state() == QProcess::NotRunning) {
                *error = "chromium did not open its DevTools port";
                return false;
            }
            QTest::qWait(100);
        }
        QTest::qWait(50);
        portFile.open(QIODevice::ReadOnly);
        const int port = portFile.readLine().trimmed().toInt();
        // The page's own DevTools socket.
        QNetworkAccessManager net;
        QString wsUrl;
        while (wsUrl.isEmpty() && clock.elapsed() < 60000) {
            QNetworkReply* reply =
                net.get(QNetworkRequest(QUrl(QString("http://127.0.0.1:%1/json/list").arg(port))));
            for (int i = 0; i < 400 && !reply->isFinished(); ++i)
                QTest::qWait(50);
            for (const QJsonValue& v : QJsonDocument::fromJson(reply->readAll()).array())
                if (v["type"].toString() == "page") wsUrl = v["webSocketDebuggerUrl"].toString();
            reply->deleteLater();
            if (wsUrl.isEmpty()) QTest::qWait(200);
        }
        if (wsUrl.isEmpty()) {
            *error = "chromium shows no page";
            return false;
        }
        QObject::connect(&m_devtools, &QWebSocket::textMessageReceived, [this](const QString& text) {
            const QJsonObject o = QJsonDocument::fromJson(text.toUtf8()).object();
            if (o.contains("id")) m_answers[o["id"].toInt()] = o;
        });
        m_devtools.open(QUrl(wsUrl));
        for (int i = 0; i < 300 && m_devtools.state() != QAbstractSocket::ConnectedState; ++i)
            QTest::qWait(100);
        if (m_devtools.state() != QAbstractSocket::ConnectedState) {
            *error = "cannot reach chromium's DevTools socket: " + m_devtools.errorString();
            return false;
        }
        return true;
    }

    QJsonObject call(const QString& method, const QJsonObject& params = {}) {
        const int id = ++m_lastId;
        m_devtools.sendTextMessage(
            QJsonDocument(QJsonObject{{"id", id}, {"method", method}, {"params", params}})
                .toJson(QJsonDocument::Compact));
        QElapsedTimer clock;
        clock.start();
        while (!m_answers.contains(id) && clock.elapsed() < 30000)
            QTest::qWait(20);
        return m_answers.take(id);
    }

    // The value of a script expression in the page (JSON-able values).
    QJsonValue eval(const QString& expression) {
        const QJsonObject r =
            call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}})["result"]
                .toObject();
        return r["result"].toObject()["value"];
    }

private:
    QTemporaryDir m_profile;
    QProcess m_proc;
    QWebSocket m_devtools;
    QHash<int, QJsonObject> m_answers;
    int m_lastId = 0;
};

// What the page shows, read back from its elements.
const char* shownScript = R"JS(JSON.stringify({
  link: document.getElementById('link').textContent,
  pos: document.getElementById('posValue').textContent,
  neg: document.getElementById('negValue').textContent,
  car: document.getElementById('carValue').textContent,
  posLit: document.querySelectorAll('#bar-pos .seg.on').length,
  negLit: document.querySelectorAll('#bar-neg .seg.on').length,
  carLit: document.querySelectorAll('#bar-car .seg.on').length,
  posHold: [...document.querySelectorAll('#bar-pos .seg')].findIndex(s => s.classList.contains('hold')) + 1,
  carrierLed: document.getElementById('led-carrier-alarm').classList.contains('lit'),
  audioLed: document.getElementById('led-audio-loss').classList.contains('lit'),
  pos125Led: document.getElementById('led-pos125').classList.contains('lit'),
  events: document.querySelectorAll('#events tr').length,
  updates: window.zel ? window.zel.updates : 0
}))JS";

} // namespace

class BrowserPageTest : public QObject {
    Q_OBJECT

    QJsonObject shown(Browser& b) {
        return QJsonDocument::fromJson(b.eval(shownScript).toString().toUtf8()).object();
    }

private slots:
    void pageShowsWhatWasSent() {
        zel::StatusServer server;
        const QString token = "page-test-token-1";
        QVERIFY2(server.listen(QHostAddress::LocalHost, 0, token), qPrintable(server.errorString()));
        server.setPortText("COM 1");
        server.onLinkEvent({zel::LinkState::Initializing, QDateTime::currentMSecsSinceEpoch() - 4000, {}});
        server.onLinkEvent({zel::LinkState::Connected, QDateTime::currentMSecsSinceEpoch() - 3000, {}});
        server.onAlarmEvent(
            {zel::AlarmKind::AudioLoss, true, QDateTime::currentMSecsSinceEpoch() - 2000, {}});
        server.onAlarmEvent(
            {zel::AlarmKind::AudioLoss, false, QDateTime::currentMSecsSinceEpoch() - 1000, {}});

        Browser browser;
        QString error;
        const QString url = QString("http://127.0.0.1:%1/?token=%2").arg(server.serverPort()).arg(token);
        QVERIFY2(browser.start(url, &error), qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(server.clientCount() == 1, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(shown(browser)["link"].toString() == "Connected", 30000);

        // One update with an overmodulated packet among ordinary ones.
        server.findChild<QTimer*>("tmrPush")->stop();
        for (float pos : {30.f, 41.f, 54.f, 44.f, 45.f})
            server.onReadings({pos, 38, 40});
        server.onAlarmEvent(
            {zel::AlarmKind::Pos125, true, QDateTime::currentMSecsSinceEpoch(), {54, 38, 40}});
        server.pushUpdates();
        QTRY_VERIFY_WITH_TIMEOUT(shown(browser)["posLit"].toInt() == 54, 30000);
        QJsonObject s = shown(browser);
        QCOMPARE(s["pos"].toString(), "128 %"); // the peak of the update: 2 * 54 + 20
        QCOMPARE(s["neg"].toString(), "96 %");
        QCOMPARE(s["car"].toString(), "100 %");
        QCOMPARE(s["negLit"].toInt(), 38);
        QCOMPARE(s["carLit"].toInt(), 40);
        QCOMPARE(s["pos125Led"].toBool(), true);

        // Lower readings: the bar falls, the hold marker stays at the peak.
        for (float pos : {44.f, 45.f})
            server.onReadings({pos, 30, 33});
        server.onAlarmEvent(
            {zel::AlarmKind::Carrier, true, QDateTime::currentMSecsSinceEpoch(), {45, 30, 33}});
        server.pushUpdates();
        QTRY_VERIFY_WITH_TIMEOUT(shown(browser)["posLit"].toInt() == 45, 30000);
        s = shown(browser);
        QCOMPARE(s["pos"].toString(), "110 %");
        QCOMPARE(s["posHold"].toInt(), 54);
        QCOMPARE(s["negLit"].toInt(), 30);
        QCOMPARE(s["car"].toString(), "86 %");
        QCOMPARE(s["carrierLed"].toBool(), true);
        QCOMPARE(s["audioLed"].toBool(), false);
        QCOMPARE(s["events"].toInt(), 5); // four from the start and the carrier alarm

        // 25 packets below the held peak release it to the current value.
        for (int i = 0; i < 25; ++i)
            server.onReadings({40, 30, 33});
        server.pushUpdates();
        QTRY_VERIFY_WITH_TIMEOUT(shown(browser)["posLit"].toInt() == 40, 30000);
        QCOMPARE(shown(browser)["posHold"].toInt(), 0);

        // The picture: a peak held above the bar, the carrier alarm lit.
        for (float pos : {47.f, 52.f, 46.f})
            server.onReadings({pos, 39, 33});
        server.onAlarmEvent(
            {zel::AlarmKind::Pos125, true, QDateTime::currentMSecsSinceEpoch(), {52, 39, 33}});
        server.pushUpdates();
        for (int i = 0; i < 3; ++i)
            server.onReadings({float(43 + i), 36, 33});
        server.pushUpdates();
        QTRY_VERIFY_WITH_TIMEOUT(shown(browser)["posLit"].toInt() == 45, 30000);
        QCOMPARE(shown(browser)["posHold"].toInt(), 52);
        // The page as far as it goes, no empty window below it.
        const int height =
            browser.eval("Math.ceil(document.documentElement.getBoundingClientRect().height)").toInt();
        QVERIFY(height > 300);
        const QJsonObject clip{{"x", 0}, {"y", 0}, {"width", 1000}, {"height", height}, {"scale", 1}};
        const QJsonObject shot = browser.call("Page.captureScreenshot", {{"format", "png"}, {"clip", clip}});
        const QByteArray png = QByteArray::fromBase64(shot["result"]["data"].toString().toLatin1());
        QVERIFY(png.startsWith("\x89PNG"));
        QFile out(QDir(ZEL_TEST_OUTPUT_DIR).filePath("status-page.png"));
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(png);
    }

    // Readings from the built-in stand-in, decoded as the poll decodes them:
    // the page shows the highest peaks of the packets since its last update.
    void pageFollowsTheStandIn() {
        zel::StatusServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        server.onLinkEvent({zel::LinkState::Connected, QDateTime::currentMSecsSinceEpoch(), {}});
        Browser browser;
        QString error;
        QVERIFY2(browser.start(QString("http://127.0.0.1:%1/").arg(server.serverPort()), &error),
                 qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(server.clientCount() == 1, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(shown(browser)["link"].toString() == "Connected", 30000);
        server.findChild<QTimer*>("tmrPush")->stop();

        // The built-in stand-in through a real session: what the page shows
        // must be what the session decoded from it.
        zel::MonitorSession session;
        zel::ConnectionSettings c;
        c.directPort = QStringLiteral("SIM");
        session.setConnectionSettings(c);
        zel::Readings peak;
        int packets = 0;
        QObject::connect(&session, &zel::MonitorSession::readingsReceived, [&](const zel::Readings& r) {
            server.onReadings(r);
            peak.posPeak = std::max(peak.posPeak, r.posPeak);
            peak.negPeak = std::max(peak.negPeak, r.negPeak);
            peak.carrierLevel = r.carrierLevel;
            if (++packets == 60) session.disconnectLink();
        });
        session.connectLink();
        QTRY_COMPARE_WITH_TIMEOUT(packets, 60, 30000);
        QVERIFY(peak.posPeak > 0);
        server.pushUpdates();
        QTRY_COMPARE_WITH_TIMEOUT(shown(browser)["posLit"].toInt(), int(peak.posPeak), 30000);
        const QJsonObject s = shown(browser);
        auto text = [](float p) {
            return p > 0 ? QString("%1 %").arg(zel::positionToPercent(p)) : QString("≤20 %");
        };
        QCOMPARE(s["pos"].toString(), text(peak.posPeak));
        QCOMPARE(s["neg"].toString(), text(peak.negPeak));
        QCOMPARE(s["car"].toString(), text(peak.carrierLevel));
        QCOMPARE(s["negLit"].toInt(), int(peak.negPeak));
        QCOMPARE(s["carLit"].toInt(), int(peak.carrierLevel));
    }

    void pageWithoutTokenGetsNothing() {
        zel::StatusServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0, "another-token-2"));
        Browser browser;
        QString error;
        QVERIFY2(browser.start(QString("http://127.0.0.1:%1/").arg(server.serverPort()), &error),
                 qPrintable(error));
        QElapsedTimer clock;
        clock.start();
        while (browser.eval("document.readyState").toString() != "complete" && clock.elapsed() < 15000)
            QTest::qWait(100);
        QCOMPARE(browser.eval("document.getElementById('link') === null").toBool(), true);
        QCOMPARE(server.clientCount(), 0);
        // The same browser with the token in the URL gets the page and its stream.
        browser.call(
            "Page.navigate",
            {{"url", QString("http://127.0.0.1:%1/?token=another-token-2").arg(server.serverPort())}});
        QTRY_VERIFY_WITH_TIMEOUT(browser.eval("document.getElementById('link') !== null").toBool(), 60000);
        QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), 1, 60000);
    }
};
ZEL_TEST(BrowserPageTest)

#include "tst_browser.moc"
