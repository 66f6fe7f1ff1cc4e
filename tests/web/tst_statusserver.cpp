// The status server: where it may listen, who gets an answer, the API's JSON
// and the stream (peaks between pushes, client limit, slow clients).
#include "support/httptest.h"
#include "support/testmain.h"

#include "core/outputs/web/statusserver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTimer>
#include <QWebSocket>

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

// A server on a free loopback port, optionally with Token.
struct Server : StatusServer {
    explicit Server(const QString& token = {}) { QVERIFY(listen(QHostAddress::LocalHost, 0, token)); }
    QJsonObject getJson(const QByteArray& target) { return json(get(serverPort(), target).body); }
};

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

    // Request in, status out; "tokened" servers require Token.
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
        row("POST", false, request("/api/status", "Content-Length: 2\r\n", "POST") + "{}", 405);
        row("unknown", false, request("/settings"), 404);
        row("ws without upgrade", false, request("/ws"), 400);
        row("huge head", false, "GET / HTTP/1.1\r\nX: " + QByteArray(20000, 'a') + "\r\n\r\n", 431);
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
        QTRY_COMPARE(server.clientCount(), status == 101 ? 1 : 0);
        if (!tokened) QCOMPARE(get(server.serverPort(), "/api/status").status, 200); // still serving
    }

    void statusJson() {
        Server server;
        server.setPortText("COM 2");
        server.onLinkEvent({zel::LinkState::Connected, 1'700'000'000'000, {}});
        for (int i = 0; i < 7; ++i)
            server.onReadings({float(30 + i), 25, 40});
        server.onAlarmEvent({zel::AlarmKind::Carrier, true, 1'700'000'001'000, {36, 25, 30}});
        server.onAlarmEvent({zel::AlarmKind::Pos125, true, 1'700'000'001'000, {53, 25, 30}});
        const Reply reply = get(server.serverPort(), "/api/status");
        QCOMPARE(reply.headers.value("content-type"), "application/json");
        QCOMPARE(
            pick(json(reply.body), {"port", "link", "readings/pos/percent", "readings/pos/position",
                                    "readings/carrier/percent", "packets/total", "alarms/carrier-alarm",
                                    "alarms/pos125", "alarms/audio-loss", "alarms/neg100"}),
            QStringList({"COM 2", "connected", "92", "36", "100", "7", "true", "true", "false", "false"}));
        QVERIFY(json(reply.body)["packets"].toObject()["lastAgeMs"].toDouble(-1) >= 0);
        server.onLinkEvent({zel::LinkState::Reconnecting, 1'700'000'002'000, "PORT ERROR"});
        QCOMPARE(pick(server.getJson("/api/status"), {"alarms/link-lost", "linkDetail"}),
                 QStringList({"true", "PORT ERROR"}));
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
        server.onLinkEvent({zel::LinkState::Connected, 1'700'000'000'000, {}});
        server.onAlarmEvent({zel::AlarmKind::AudioLoss, true, 1'700'000'002'000, {}});
        server.onAlarmEvent({zel::AlarmKind::PosVariable, true, 1'700'000'002'500, {}}); // live only
        server.onAlarmEvent({zel::AlarmKind::AudioLoss, false, 1'700'000'003'000, {}});
        server.onLinkEvent({zel::LinkState::Reconnecting, 1'700'000'003'600, "PORT ERROR"});
        const Reply reply = get(server.serverPort(), "/api/events" + query);
        QCOMPARE(reply.status, count < 0 ? 400 : 200);
        const QJsonArray events = json(reply.body)["events"].toArray();
        QCOMPARE(events.size(), std::max(count, 0));
        if (count != 4) return;
        QCOMPARE(
            pick(json(reply.body), {"events/1/event", "events/1/state", "events/3/state", "events/3/detail"}),
            QStringList({"audio-loss", "on", "reconnecting", "PORT ERROR"}));
        QCOMPARE(QDateTime::fromString(events[0]["time"].toString(), Qt::ISODateWithMs).toMSecsSinceEpoch(),
                 1'700'000'000'000);
    }

    void keepsTheLastHundredOrAsksTheHistory() {
        Server server;
        for (int i = 0; i < 150; ++i)
            server.onLinkEvent(
                {i % 2 ? zel::LinkState::Connected : zel::LinkState::Reconnecting, 1000 + i, {}});
        QJsonArray events = json(server.eventsJson(0))["events"].toArray();
        QCOMPARE(QList<qint64>({events.size(), events.first()["timeMs"].toInteger()}),
                 QList<qint64>({100, 1050}));
        qint64 asked = -1;
        server.setEventSource([&asked](qint64 since) {
            asked = since;
            return QList<zel::StatusEvent>{zel::StatusEvent{since + 5, "carrier-alarm", "on", {}}};
        });
        events = server.getJson("/api/events?since=777")["events"].toArray();
        QCOMPARE(QList<qint64>({asked, events.size(), events.last()["timeMs"].toInteger()}),
                 QList<qint64>({777, 1, 782}));
    }

    // A push carries the peaks of every packet since the last one, so a single
    // overmodulated packet is not lost between updates.
    void pushCarriesThePeaksSinceTheLast() {
        Server server;
        server.onReadings({55, 50, 40}); // before anyone watched: not a peak of the first update
        server.onReadings({21, 12, 40});
        auto* push = server.findChild<QTimer*>("tmrPush");
        QVERIFY(!push->isActive()); // nothing to do without clients
        Client client(server.serverPort());
        QTRY_VERIFY_WITH_TIMEOUT(!client.messages.isEmpty(), 10000);
        QVERIFY(push->isActive());
        push->stop(); // the test pushes by hand
        QCOMPARE(pick(client.messages.takeFirst(), {"n", "pos"}), QStringList({"0", "21"}));
        const auto next = [&](const QStringList& paths) {
            server.pushUpdates();
            [&] { QTRY_COMPARE_WITH_TIMEOUT(client.messages.size(), 1, 10000); }();
            return client.messages.isEmpty() ? QStringList() : pick(client.messages.takeFirst(), paths);
        };

        for (float pos : {30.f, 54.f, 20.f, 31.f})
            server.onReadings({pos, 40 - pos / 2, 38});
        server.onAlarmEvent({zel::AlarmKind::Pos125, true, 0, {54, 13, 38}});
        server.pushUpdates(); // and nothing new in the second: no message until the heartbeat
        // The highest negative is 40 - 20/2.
        QCOMPARE(next({"n", "pos", "neg", "car", "total", "flash/pos125"}),
                 QStringList({"4", "54", "30", "38", "6", "true"}));
        QVERIFY(client.messages.isEmpty());
        server.onReadings({22, 10, 40});
        QCOMPARE(next({"n", "pos"}), QStringList({"1", "22"}));
        server.onAlarmEvent({zel::AlarmKind::Carrier, true, 1'700'000'000'000, {}});
        QCOMPARE(next({"alarms/carrier-alarm", "events/0/event"}), QStringList({"true", "carrier-alarm"}));
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
            server.onReadings({float(pushes % 55), 10, 40});
            server.onLinkEvent({zel::LinkState::Connected, pushes, detail});
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
