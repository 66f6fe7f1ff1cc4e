#pragma once
// One headless Chromium showing one page, driven over DevTools on loopback;
// stopped with the object. The page tests use it and leave build/*.png.
#include "support/httptest.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QWebSocket>
#include <unistd.h>

namespace httptest {

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
    QString start(const QString& url, const QString& size = "1000,760") {
        const QString program = QStandardPaths::findExecutable("chromium");
        if (program.isEmpty()) return "chromium is not installed (scripts/install-deps installs it)";
        QStringList args = QString("--headless --disable-gpu --no-first-run --disable-background-networking "
                                   "--disable-component-update --disable-sync --disable-extensions "
                                   "--remote-debugging-address=127.0.0.1 --remote-debugging-port=0 "
                                   "--remote-allow-origins=* --hide-scrollbars")
                               .split(' ')
                           << "--window-size=" + size << "--user-data-dir=" + m_profile.path() << url;
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

    // The page as far as it goes (no empty window below it), into `name`.
    void screenshot(int width, const QString& name) {
        const int height = eval("Math.ceil(document.documentElement.getBoundingClientRect().height)").toInt();
        QVERIFY(height > 300);
        const QJsonObject clip{{"x", 0}, {"y", 0}, {"width", width}, {"height", height}, {"scale", 1}};
        const QByteArray png =
            QByteArray::fromBase64(call("Page.captureScreenshot", {{"format", "png"}, {"clip", clip}})["data"]
                                       .toString()
                                       .toLatin1());
        QFile out(QString(ZEL_TEST_OUTPUT_DIR) + "/" + name);
        QVERIFY(png.startsWith("\x89PNG") && out.open(QIODevice::WriteOnly) && out.write(png) == png.size());
    }

private:
    QTemporaryDir m_profile;
    QProcess m_proc;
    QWebSocket m_devtools;
    QJsonObject m_answer;
};

} // namespace httptest
