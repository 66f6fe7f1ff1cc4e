// The status server: where it may listen, who gets an answer, what a client
// cannot do to it, the API's JSON for many monitors, and the stream (peaks
// between pushes, client limit, slow clients).
#include "support/httptest.h"
#include "support/testmain.h"

#include "core/outputs/web/statusserver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebSocket>
#include <ctime>

using zel::StatusServer;
using namespace httptest;

namespace {

const QString Token = "s3cret-Token_42";

QJsonObject json(const QByteArray& body) {
    return QJsonDocument::fromJson(body).object();
}

struct Client {
    QWebSocket socket;
    QList<QJsonObject> messages;
    explicit Client(quint16 port) {
        QObject::connect(&socket, &QWebSocket::textMessageReceived,
                         [this](const QString& m) { messages << json(m.toUtf8()); });
        socket.open(QUrl(QString("ws://127.0.0.1:%1/ws").arg(port)));
    }
};

// A server on a free loopback port, optionally with Token, serving monitors
// "a" (COM 2) and "b".
struct Server : StatusServer {
    explicit Server(const QString& token = {}) {
        addMonitor("a", "WZEL 1230 AM", "COM 2");
        addMonitor("b", "WZEL backup", "tcp://127.0.0.1:4001");
        QVERIFY(listen(QHostAddress::LocalHost, 0, token));
    }
    QJsonObject getJson(const QByteArray& target) { return json(get(serverPort(), target).body); }
};

QTcpSocket* open(quint16 port, QObject* parent) {
    auto* s = new QTcpSocket(parent);
    s->connectToHost(QHostAddress::LocalHost, port);
    return s;
}

bool closedByServer(QTcpSocket* s, int timeoutMs = 10000) {
    QElapsedTimer clock;
    for (clock.start(); s->state() != QAbstractSocket::UnconnectedState && clock.elapsed() < timeoutMs;)
        QTest::qWait(5);
    return s->state() == QAbstractSocket::UnconnectedState;
}

// Runs `body` with the local time zone set to `zone`.
template <typename F> void inZone(const char* zone, F body) {
    const QByteArray saved = qgetenv("TZ");
    qputenv("TZ", zone);
    tzset();
    body();
    saved.isNull() ? qunsetenv("TZ") : qputenv("TZ", saved);
    tzset();
}

} // namespace

class StatusServerTest : public QObject {
    Q_OBJECT
private slots:
    void whereItListens() {
        const QList<std::tuple<QString, QString, bool>> cases{{"127.0.0.1", "", true},
                                                              {"::1", "", true},
                                                              {"0.0.0.0", "", false},
                                                              {"0.0.0.0", Token.left(7), false},
                                                              {"0.0.0.0", Token.left(8), true}};
        for (const auto& [address, token, listens] : cases) {
            StatusServer server;
            QCOMPARE(server.listen(QHostAddress(address), 0, token), listens);
            QCOMPARE(server.errorString().contains("token"), !listens);
            if (!listens) continue;
            StatusServer second; // the same port again is busy, and says which
            QVERIFY(!second.listen(QHostAddress(address), server.serverPort(), token));
            QVERIFY(second.errorString().contains(QString::number(server.serverPort())));
        }
    }

    // Request in, status out; "tokened" servers require Token. Every answer
    // but the upgrade carries nosniff and no-store.
    void whoGetsAnAnswer_data() {
        QTest::addColumn<bool>("tokened");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        const QByteArray t = Token.toUtf8();
        const QByteArray bearer = "Authorization: Bearer " + t + "\r\n";
        const auto host = [](const QByteArray& h) {
            return "GET /api/status HTTP/1.1\r\nHost: " + h + "\r\nConnection: close\r\n\r\n";
        };
        const auto row = [](const char* name, bool tokened, const QByteArray& request, int status) {
            QTest::newRow(name) << tokened << request << status;
        };
        row("no token", true, request("/api/status"), 401);
        row("no token, unknown path", true, request("/etc/passwd"), 401);
        row("token prefix", true, request("/api/status?token=" + t.chopped(1)), 401);
        row("token and more", true, request("/api/status?token=" + t + "x"), 401);
        row("token in URL", true, request("/api/status?token=" + t), 200);
        row("bearer, lower case", true, request("/api/events", "authorization: bearer " + t + "\r\n"), 200);
        row("wrong bearer", true, request("/", "Authorization: Bearer x\r\n"), 401);
        row("basic", true, request("/", "Authorization: Basic " + t + "\r\n"), 401);
        row("ws, no token", true, upgrade("/ws"), 401);
        row("ws, token", true, upgrade("/ws?token=" + t), 101);
        row("ws, bearer", true, upgrade("/ws", bearer), 101);
        row("ws, other path", true, upgrade("/api/status?token=" + t), 404);
        row("ws, foreign page", true, upgrade("/ws?token=" + t, "Origin: http://evil.example\r\n"), 403);
        row("localhost", false, host("LOCALHOST"), 200);
        row("::1", false, host("[::1]:8080"), 200);
        row("other name", false, host("attacker.example:8080"), 403);
        row("unknown", false, request("/settings"), 404);
        row("unknown monitor", false, request("/api/status?monitor=zz"), 404);
        row("ws without upgrade", false, request("/ws"), 400);
        row("not HTTP", false, "GET /\r\n\r\n", 400);
        row("huge head", false, "GET / HTTP/1.1\r\nX: " + QByteArray(20000, 'a') + "\r\n\r\n", 431);
        // Answered on the head alone: the announced body never comes.
        row("POST", false, request("/api/status", "Content-Length: 1500000000\r\n", "POST"), 405);
        row("POST, tokened", true, request("/?token=" + t, "Content-Length: 1500000000\r\n", "POST"), 405);
        row("GET with a body", false, request("/api/status", "Content-Length: 1500000000\r\n"), 413);
        row("chunked GET", false, request("/api/status", "Transfer-Encoding: chunked\r\n"), 413);
    }
    void whoGetsAnAnswer() {
        QFETCH(bool, tokened);
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        Server server(tokened ? Token : QString());
        const Reply reply = exchange(server.serverPort(), request);
        QCOMPARE(reply.status, status);
        if (status == 401) QVERIFY2(reply.body.isEmpty(), reply.body.constData()); // nothing else
        if (status == 200) QVERIFY(!reply.body.isEmpty());
        if (status != 101)
            QCOMPARE(QList<QByteArray>({reply.headers.value("x-content-type-options"),
                                        reply.headers.value("cache-control")}),
                     QList<QByteArray>({"nosniff", "no-store"}));
        QTRY_COMPARE(server.clientCount(), status == 101 ? 1 : 0);
        if (!tokened) QCOMPARE(get(server.serverPort(), "/api/status").status, 200); // still serving
    }

    // Idle connections neither lock out a token holder nor stay for long;
    // Connection: close is honoured, a kept-alive connection answers in turn.
    void connections() {
        Server server(Token);
        const quint16 port = server.serverPort();
        QObject owner;
        QList<QTcpSocket*> idle;
        for (int i = 0; i < 32; ++i)
            idle << open(port, &owner);
        QTRY_VERIFY(std::none_of(idle.begin(), idle.end(), [](QTcpSocket* s) {
            return s->state() == QAbstractSocket::ConnectingState;
        }));
        QTest::qWait(StatusServer::UnauthenticatedGraceMs + 50); // idle for longer than a request takes
        QCOMPARE(get(port, "/api/status?token=" + Token.toUtf8()).status, 200);
        QTRY_VERIFY(server.findChildren<QTimer*>("tmrIdle").size() <= StatusServer::MaxUnauthenticated);

        const auto timers = server.findChildren<QTimer*>("tmrIdle");
        QVERIFY(!timers.isEmpty());
        for (QTimer* t : timers)
            QVERIFY(t->isActive() && t->interval() <= 5000);
        QVERIFY(QMetaObject::invokeMethod(timers.first(), "timeout"));
        QTRY_COMPARE(
            std::count_if(idle.begin(), idle.end(),
                          [](QTcpSocket* s) { return s->state() == QAbstractSocket::ConnectedState; }),
            qsizetype(timers.size() - 1));

        QTcpSocket* kept = open(port, &owner);
        const QByteArray r = "GET /api/monitors HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
                             Token.toUtf8() + "\r\n\r\n";
        kept->write(r + r);
        QTRY_COMPARE(kept->peek(1 << 20).count("HTTP/1.1 200"), 2);
        QTest::qWait(50);
        QCOMPARE(kept->state(), QAbstractSocket::ConnectedState);
        kept->write(QByteArray(r).replace("\r\n\r\n", "\r\nConnection: close\r\n\r\n"));
        QVERIFY(closedByServer(kept, 2000)); // not the idle timeout
        QCOMPARE(kept->readAll().count("HTTP/1.1 200"), 3);
    }

    // A client that asks and never reads is closed once its answers pile up.
    void unreadAnswersAreCapped() {
        Server server;
        QObject owner;
        QTcpSocket* s = open(server.serverPort(), &owner);
        s->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
        s->setReadBufferSize(1);
        QVERIFY(s->waitForConnected(10000));
        const QByteArray r = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        for (int i = 0; i < 100 && s->state() == QAbstractSocket::ConnectedState; ++i) {
            s->write(r.repeated(20));
            QTest::qWait(10);
        }
        // Well before the idle timeout would close it anyway.
        QTRY_VERIFY_WITH_TIMEOUT(server.findChildren<QTimer*>("tmrIdle").isEmpty(), 3000);
    }

    // A WebSocket client sending more than a few KB is closed.
    void bigWebSocketMessages() {
        Server server;
        Client client(server.serverPort());
        QTRY_COMPARE(server.clientCount(), 1);
        client.socket.sendTextMessage(QString(2000, u'x')); // small: ignored
        QTest::qWait(50);
        QCOMPARE(server.clientCount(), 1);
        // A frame announcing 1.5 GB, and the first MB of it.
        QByteArray frame("\x81\xff", 2);
        for (int shift = 56; shift >= 0; shift -= 8)
            frame += char((quint64(1'500'000'000) >> shift) & 0xff);
        frame += QByteArray(4, '\0'); // the mask
        QTcpSocket raw;
        raw.connectToHost(QHostAddress::LocalHost, server.serverPort());
        raw.write(upgrade("/ws"));
        QTRY_COMPARE(server.clientCount(), 2);
        raw.write(frame + QByteArray(1 << 20, 'x'));
        QTRY_COMPARE(server.clientCount(), 1);
        QVERIFY(closedByServer(&raw));
    }

    void secretFile() {
        QTemporaryDir dir;
        const auto file = [&](const char* name, const QByteArray& text, QFile::Permissions p) {
            QFile f(dir.filePath(name));
            f.open(QIODevice::WriteOnly);
            f.write(text);
            f.setPermissions(p);
            return f.fileName();
        };
        const QFile::Permissions owner = QFile::ReadOwner | QFile::WriteOwner;
        QString secret, error;
        QVERIFY(StatusServer::readSecretFile(file("t", "  tok en \nsecond\n", owner), &secret, &error));
        QCOMPARE(QStringList({secret, error}), QStringList({"tok en", ""}));
        QVERIFY(StatusServer::readSecretFile(file("w", "tok\n", owner | QFile::ReadOther), &secret, &error));
        QVERIFY2(error.contains("chmod 600"), qPrintable(error)); // a warning, still read
        for (const QString& bad : {file("e", " \n", owner), dir.filePath("missing"), dir.path()}) {
            secret = "kept";
            QVERIFY(!StatusServer::readSecretFile(bad, &secret, &error));
            QVERIFY2(error.contains(bad) && secret == "kept", qPrintable(error));
        }
    }

    // Every monitor, in order; the first answers /api/status without ?monitor.
    void monitorsAndStatus() {
        Server server;
        QCOMPARE(pick(server.getJson("/api/status"), {"id", "port", "link", "readings"}),
                 QStringList({"a", "COM 2", "off-line", ""})); // no reading yet: null
        QVERIFY(server.getJson("/api/status")["readings"].isNull());
        server.setSite("hq", "Main studio");
        server.onLinkStatus("b", {zel::LinkState::Connected, {}, false, {}});
        for (int i = 0; i < 7; ++i)
            server.onReadings("b", {float(30 + i), 25, 40});
        server.onPacketRejected("b");
        server.onAlarmEvent("b", {zel::AlarmKind::Carrier, true, 1'700'000'001'000, {36, 25, 30}});
        server.onEpisode("b",
                         {zel::AlarmKind::Pos125, true, 1'700'000'001'000, 1'700'000'001'000, 1, 53, 125});
        const Reply reply = get(server.serverPort(), "/api/status?monitor=b");
        QCOMPARE(reply.headers.value("content-type"), "application/json");
        QCOMPARE(pick(json(reply.body),
                      {"id", "site", "link", "readings/pos/percent", "readings/pos/position",
                       "readings/carrier/percent", "packets/total", "packets/rejected",
                       "alarms/carrier-alarm", "alarms/pos125", "episodes/pos125", "alarms/audio-loss"}),
                 QStringList({"b", "Main studio", "connected", "92", "36", "100", "7", "1", "true", "true",
                              "1", "false"}));
        // An episode is counted once, at its start.
        server.onEpisode("b",
                         {zel::AlarmKind::Pos125, false, 1'700'000'001'000, 1'700'000'001'500, 3, 54, 125});
        server.onEpisode("b",
                         {zel::AlarmKind::Pos125, true, 1'700'000'009'000, 1'700'000'009'000, 1, 53, 125});
        server.onLinkStatus("b", {zel::LinkState::Reconnecting, "PORT ERROR", false, {}});
        const QJsonObject all = server.getJson("/api/monitors");
        QCOMPARE(
            pick(all, {"site/name", "monitors/0/id", "monitors/0/name", "monitors/1/id",
                       "monitors/1/episodes/pos125", "monitors/1/alarms/link-lost", "monitors/1/linkDetail"}),
            QStringList({"Main studio", "a", "WZEL 1230 AM", "b", "2", "true", "PORT ERROR"}));
        QCOMPARE(get(server.serverPort(), "/api/events?monitor=zz").status, 404);
        QCOMPARE(pick(server.getJson("/api/events?monitor=b"),
                      {"events/1/title", "events/1/detail", "events/1/monitor", "events/3/state"}),
                 QStringList({"Past +125 %", "3 packets over 0.5 s, peak 128 % (threshold 125 %)", "b",
                              "reconnecting"}));
        QCOMPARE(server.getJson("/api/events")["events"].toArray().size(), 0); // "a" had none
    }

    // 2023-11-14T22:13:20Z and the four seconds after it; -1: refused.
    void eventsSince_data() {
        QTest::addColumn<QByteArray>("query");
        QTest::addColumn<int>("count");
        QTest::newRow("all") << QByteArray("") << 4;
        QTest::newRow("ms") << QByteArray("?since=1700000002000") << 3;
        QTest::newRow("iso utc") << QByteArray("?since=2023-11-14T22:13:23Z") << 2;
        QTest::newRow("iso offset") << QByteArray("?since=2023-11-15T00:13:23.500%2B02:00") << 1;
        QTest::newRow("garbage") << QByteArray("?since=yesterday") << -1;
    }
    void eventsSince() {
        QFETCH(QByteArray, query);
        QFETCH(int, count);
        Server server;
        // The history's order: newest first. The answer is oldest first.
        server.setEventSource([](const QString& monitor, qint64 since) {
            QList<zel::StatusEvent> all{{1'700'000'003'600, "link", "reconnecting", "PORT ERROR"},
                                        {1'700'000'003'000, "audio-loss", "off", {}},
                                        {1'700'000'002'000, "audio-loss", "on", {}},
                                        {1'700'000'000'000, "link", "connected", monitor}};
            all.removeIf([since](const zel::StatusEvent& e) { return e.timeMs < since; });
            return all;
        });
        const Reply reply = get(server.serverPort(), "/api/events?monitor=b&" + query.mid(1));
        QCOMPARE(reply.status, count < 0 ? 400 : 200);
        const QJsonArray events = json(reply.body)["events"].toArray();
        QCOMPARE(events.size(), std::max(count, 0));
        if (count != 4) return;
        QCOMPARE(pick(json(reply.body), {"events/0/detail", "events/1/event", "events/1/title",
                                         "events/1/state", "events/3/state"}),
                 QStringList({"b", "audio-loss", "Audio loss", "on", "reconnecting"}));
    }

    // One time text everywhere: the local offset, +00:00 rather than Z.
    void timesCarryTheirOffset() {
        for (const auto& [zone, text] : {std::pair{"UTC", "2023-11-14T22:13:20.000+00:00"},
                                         std::pair{"America/St_Johns", "2023-11-14T18:43:20.000-03:30"}})
            inZone(zone, [&, text = text] {
                Server server;
                server.onAlarmEvent("a", {zel::AlarmKind::AudioLoss, true, 1'700'000'000'000, {}});
                QCOMPARE(server.getJson("/api/events")["events"][0]["time"].toString(), QString(text));
                const QString now = server.getJson("/api/monitors")["time"].toString();
                QCOMPARE(now.right(6), QString(text).right(6));
            });
    }

    void keepsTheLastHundred() {
        Server server;
        for (int i = 0; i < 150; ++i)
            server.onAlarmEvent("a", {zel::AlarmKind::Carrier, i % 2 == 0, 1000 + i, {}});
        const QJsonArray events = json(server.eventsJson("a", 0))["events"].toArray();
        QCOMPARE(QList<qint64>({events.size(), events.first()["timeMs"].toInteger()}),
                 QList<qint64>({100, 1050}));
    }

    // A push carries the peaks of every packet since the last one, so a single
    // overmodulated packet is not lost between updates; only what changed.
    void pushCarriesThePeaksSinceTheLast() {
        Server server;
        server.onReadings("b", {55, 50, 40}); // before anyone watched: not a peak of the first update
        server.onReadings("b", {21, 12, 40});
        auto* push = server.findChild<QTimer*>("tmrPush");
        QVERIFY(!push->isActive()); // nothing to do without clients
        Client client(server.serverPort());
        QTRY_VERIFY_WITH_TIMEOUT(!client.messages.isEmpty(), 10000);
        QVERIFY(push->isActive());
        push->stop(); // the test pushes by hand
        QCOMPARE(
            pick(client.messages.takeFirst(), {"monitors/0/id", "monitors/0/pos", "monitors/1/id",
                                               "monitors/1/n", "monitors/1/pos", "monitors/1/carPercent"}),
            QStringList({"a", "", "b", "0", "21", "100"})); // "a": no reading, null
        const auto next = [&](const QStringList& paths) {
            server.pushUpdates();
            [&] { QTRY_COMPARE_WITH_TIMEOUT(client.messages.size(), 1, 10000); }();
            return client.messages.isEmpty() ? QStringList() : pick(client.messages.takeFirst(), paths);
        };

        for (float pos : {30.f, 54.f, 20.f, 31.f})
            server.onReadings("b", {pos, 40 - pos / 2, 38});
        server.onEpisode("b", {zel::AlarmKind::Pos125, true, 0, 0, 1, 54, 125});
        server.pushUpdates(); // and nothing new in the second: no message until the heartbeat
        // The highest negative is 40 - 20/2; "a" had nothing new.
        QCOMPARE(next({"monitors/0/id", "monitors/0/n", "monitors/0/pos", "monitors/0/neg", "monitors/0/car",
                       "monitors/0/total", "monitors/0/flash/pos125", "monitors/1/id"}),
                 QStringList({"b", "4", "54", "30", "38", "6", "true", ""}));
        QVERIFY(client.messages.isEmpty());
        server.onReadings("b", {22, 10, 40});
        QCOMPARE(next({"monitors/0/n", "monitors/0/pos"}), QStringList({"1", "22"}));
        server.onAlarmEvent("a", {zel::AlarmKind::Carrier, true, 1'700'000'000'000, {}});
        QCOMPARE(next({"monitors/0/id", "monitors/0/alarms/carrier-alarm", "monitors/0/events/0/title"}),
                 QStringList({"a", "true", "Carrier alarm"}));
    }

    // At most 16 clients; one that stops reading is dropped, the others keep
    // their updates, and its place is free again.
    void clientLimitAndSlowClients() {
        Server server;
        server.setMaxBacklogBytes(16 * 1024);
        const quint16 port = server.serverPort();
        QTcpSocket stuck;
        stuck.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
        stuck.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(stuck.waitForConnected(10000));
        stuck.write(upgrade("/ws"));
        QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), 1, 10000);
        stuck.setReadBufferSize(1); // from here on it reads nothing more
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 1; i < StatusServer::MaxClients; ++i)
            clients.push_back(std::make_unique<Client>(port));
        QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), StatusServer::MaxClients, 20000);
        QCOMPARE(exchange(port, upgrade("/ws")).status, 503);
        server.findChild<QTimer*>("tmrPush")->stop();
        QSignalSpy dropped(&server, &StatusServer::clientDropped);
        QElapsedTimer clock;
        clock.start();
        int pushes = 0;
        const QString detail(190, u'x'); // long events build the backlog fast
        for (; dropped.isEmpty() && clock.elapsed() < 60000; ++pushes) {
            server.onReadings("a", {float(pushes % 55), 10, 40});
            server.onLinkStatus("a",
                                {zel::LinkState::Connected, detail + QString::number(pushes), false, {}});
            server.pushUpdates();
            QCoreApplication::processEvents();
        }
        QCOMPARE(dropped.count(), 1);
        QVERIFY(dropped.first().at(1).toString().contains("not reading"));
        QCOMPARE(server.clientCount(), StatusServer::MaxClients - 1);
        QTRY_VERIFY_WITH_TIMEOUT(clients.back()->messages.size() >= pushes - 5, 20000);
        Client late(port);
        QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), StatusServer::MaxClients, 10000);
    }
};
ZEL_TEST(StatusServerTest)

#include "tst_statusserver.moc"
