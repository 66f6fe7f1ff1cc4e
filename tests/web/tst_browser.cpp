// The status page in headless Chromium, driven over DevTools on loopback.
// Leaves build/status-page.png.
#include "support/httptest.h"
#include "support/testmain.h"

#include "core/outputs/web/statusserver.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QWebSocket>
#include <unistd.h>

namespace {

// One headless browser showing one page; stopped with the object.
class Browser {
public:
    ~Browser() {
        m_devtools.abort();
        m_proc.terminate();
        if (!m_proc.waitForFinished(10000)) m_proc.kill();
        m_proc.waitForFinished(10000);
        // The profile holds read-only files the temporary folder cannot remove.
        QDirIterator it(m_profile.path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            QFile::setPermissions(it.next(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    // Empty when the page is up and DevTools connected, else why not.
    QString start(const QString& url) {
        const QString program = QStandardPaths::findExecutable("chromium");
        if (program.isEmpty()) return "chromium is not installed (scripts/install-deps installs it)";
        QStringList args = QString("--headless --disable-gpu --no-first-run --disable-background-networking "
                                   "--disable-component-update --disable-sync --disable-extensions "
                                   "--remote-debugging-address=127.0.0.1 --remote-debugging-port=0 "
                                   "--remote-allow-origins=* --window-size=1000,760 --hide-scrollbars")
                               .split(' ')
                           << "--user-data-dir=" + m_profile.path() << url;
        if (geteuid() == 0) args.prepend("--no-sandbox");
        m_proc.setStandardOutputFile(QProcess::nullDevice());
        m_proc.setStandardErrorFile(QProcess::nullDevice());
        m_proc.start(program, args);
        // The browser writes the port it chose into its profile.
        QFile portFile(m_profile.filePath("DevToolsActivePort"));
        QString wsUrl;
        for (int i = 0; i < 600 && wsUrl.isEmpty() && m_proc.state() != QProcess::NotRunning; ++i) {
            QTest::qWait(100);
            if (!portFile.open(QIODevice::ReadOnly)) continue;
            const auto port = quint16(portFile.readLine().trimmed().toInt());
            portFile.close();
            for (const QJsonValue& v :
                 QJsonDocument::fromJson(httptest::get(port, "/json/list").body).array())
                if (port && v["type"].toString() == "page") wsUrl = v["webSocketDebuggerUrl"].toString();
        }
        if (wsUrl.isEmpty()) return "chromium shows no page: " + m_proc.errorString();
        QObject::connect(&m_devtools, &QWebSocket::textMessageReceived, [this](const QString& text) {
            const QJsonObject o = QJsonDocument::fromJson(text.toUtf8()).object();
            if (o.contains("id")) m_answer = o;
        });
        m_devtools.open(QUrl(wsUrl));
        for (int i = 0; i < 300 && m_devtools.state() != QAbstractSocket::ConnectedState; ++i)
            QTest::qWait(100);
        return m_devtools.state() == QAbstractSocket::ConnectedState ? QString() : m_devtools.errorString();
    }

    // One call at a time: the next answer is its own.
    QJsonValue call(const QString& method, const QJsonObject& params) {
        m_answer = {};
        m_devtools.sendTextMessage(
            QJsonDocument(QJsonObject{{"id", 1}, {"method", method}, {"params", params}})
                .toJson(QJsonDocument::Compact));
        for (int i = 0; i < 1500 && m_answer.isEmpty(); ++i)
            QTest::qWait(20);
        return m_answer["result"];
    }

    QJsonValue eval(const QString& expression) {
        return call("Runtime.evaluate",
                    {{"expression", expression}, {"returnByValue", true}})["result"]["value"];
    }

    // What the page shows, read back from its elements.
    QJsonObject shown() {
        return QJsonDocument::fromJson(eval(R"JS(JSON.stringify((() => {
  const $ = id => document.getElementById(id), lit = q => document.querySelectorAll(q + ' .seg.on').length;
  const led = k => $('led-' + k).classList.contains('lit');
  return {link: $('link').textContent, pos: $('posValue').textContent, neg: $('negValue').textContent,
    car: $('carValue').textContent, posLit: lit('#bar-pos'), negLit: lit('#bar-neg'), carLit: lit('#bar-car'),
    posHold: [...document.querySelectorAll('#bar-pos .seg')].findIndex(s => s.classList.contains('hold')) + 1,
    carrierLed: led('carrier-alarm'), audioLed: led('audio-loss'), pos125Led: led('pos125'),
    events: document.querySelectorAll('#events tr').length};
})()))JS")
                                           .toString()
                                           .toUtf8())
            .object();
    }

private:
    QTemporaryDir m_profile;
    QProcess m_proc;
    QWebSocket m_devtools;
    QJsonObject m_answer;
};

} // namespace

class BrowserPageTest : public QObject {
    Q_OBJECT
private slots:
    void pageShowsTheStream() {
        zel::StatusServer server;
        const QString token = "page-test-token-1";
        QVERIFY2(server.listen(QHostAddress::LocalHost, 0, token), qPrintable(server.errorString()));
        const qint64 t = QDateTime::currentMSecsSinceEpoch();
        server.onLinkEvent({zel::LinkState::Connected, t - 3000, {}});
        server.onAlarmEvent({zel::AlarmKind::AudioLoss, true, t - 2000, {}});
        server.onAlarmEvent({zel::AlarmKind::AudioLoss, false, t - 1000, {}});
        Browser browser;
        // The page passes its token on to the stream's socket.
        const QString error =
            browser.start(QString("http://127.0.0.1:%1/?token=%2").arg(server.serverPort()).arg(token));
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), 1, 60000);
        QTRY_COMPARE_WITH_TIMEOUT(browser.shown()["link"].toString(), "Connected", 30000);
        server.findChild<QTimer*>("tmrPush")->stop();

        // The bar falls; the hold marker stays until 25 packets below it.
        const auto push = [&](QList<float> pos, float neg, float carrier) {
            for (float p : pos)
                server.onReadings({p, neg, carrier});
            server.pushUpdates();
        };
        push({30, 54, 44}, 38, 40);
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        server.onAlarmEvent({zel::AlarmKind::Carrier, true, now, {45, 30, 33}});
        server.onAlarmEvent({zel::AlarmKind::Pos125, true, now, {54, 38, 40}});
        push({44, 45}, 30, 33);
        QTRY_COMPARE_WITH_TIMEOUT(browser.shown()["posLit"].toInt(), 45, 30000);
        // Four events: three from the start and the carrier alarm.
        QCOMPARE(httptest::pick(browser.shown(), {"pos", "posHold", "neg", "negLit", "car", "carLit",
                                                  "carrierLed", "pos125Led", "audioLed", "events"}),
                 QStringList({"110 %", "54", "80 %", "30", "86 %", "33", "true", "true", "false", "4"}));
        // The page as far as it goes, no empty window below it.
        const int height =
            browser.eval("Math.ceil(document.documentElement.getBoundingClientRect().height)").toInt();
        QVERIFY(height > 300);
        const QJsonObject clip{{"x", 0}, {"y", 0}, {"width", 1000}, {"height", height}, {"scale", 1}};
        const QByteArray png = QByteArray::fromBase64(
            browser.call("Page.captureScreenshot", {{"format", "png"}, {"clip", clip}})["data"]
                .toString()
                .toLatin1());
        QFile out(ZEL_TEST_OUTPUT_DIR "/status-page.png");
        QVERIFY(png.startsWith("\x89PNG") && out.open(QIODevice::WriteOnly) && out.write(png) == png.size());

        push(QList<float>(25, 40), 30, 33);
        QTRY_COMPARE_WITH_TIMEOUT(browser.shown()["posLit"].toInt(), 40, 30000);
        QCOMPARE(browser.shown()["posHold"].toInt(), 0);
    }
};
ZEL_TEST(BrowserPageTest)

#include "tst_browser.moc"
