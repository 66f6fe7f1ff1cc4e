// The status server: who may listen where, the token rules, the API's JSON,
// and the stream (peaks between pushes, client limit, slow clients).
#include "support/testmain.h"

#include "core/web/statusserver.h"
#include "httpclient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTimer>
#include <QWebSocket>

using zel::StatusServer;

namespace {

const QString Token = "s3cret-Token_42";

QJsonObject json(const QByteArray& body) {
    return QJsonDocument::fromJson(body).object();
}

} // namespace

class StatusAccessTest : public QObject {
    Q_OBJECT
private slots:
    void whereItListens_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("token");
        QTest::addColumn<bool>("listens");
        QTest::newRow("loopback, no token") << "127.0.0.1"
                                            << "" << true;
        QTest::newRow("loopback v6, no token") << "::1"
                                               << "" << true;
        QTest::newRow("loopback with token") << "127.0.0.1" << Token << true;
        QTest::newRow("all addresses, no token") << "0.0.0.0"
                                                 << "" << false;
        QTest::newRow("all addresses, short token") << "0.0.0.0"
                                                    << "abc" << false;
        QTest::newRow("all addresses with token") << "0.0.0.0" << Token << true;
    }
    void whereItListens() {
        QFETCH(QString, address);
        QFETCH(QString, token);
        QFETCH(bool, listens);
        StatusServer server;
        QCOMPARE(server.listen(QHostAddress(address), 0, token), listens);
        QCOMPARE(server.isListening(), listens);
        QCOMPARE(server.errorString().isEmpty(), listens);
        if (!listens) QVERIFY(server.errorString().contains("token"));
    }

    void busyPortIsReported() {
        StatusServer first;
        QVERIFY(first.listen(QHostAddress::LocalHost, 0));
        StatusServer second;
        QVERIFY(!second.listen(QHostAddress::LocalHost, first.serverPort()));
        QVERIFY(second.errorString().contains(QString::number(first.serverPort())));
        QVERIFY(!second.isListening());
    }

    void tokenRules_data() {
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<QByteArray>("headers");
        QTest::addColumn<int>("status");
        const QByteArray t = Token.toUtf8();
        QTest::newRow("no token") << QByteArray("/api/status") << QByteArray() << 401;
        QTest::newRow("no token, page") << QByteArray("/") << QByteArray() << 401;
        QTest::newRow("no token, unknown path") << QByteArray("/etc/passwd") << QByteArray() << 401;
        QTest::newRow("wrong token") << QByteArray("/api/status?token=guess") << QByteArray() << 401;
        QTest::newRow("token prefix") << "/api/status?token=" + t.left(t.size() - 1) << QByteArray() << 401;
        QTest::newRow("token in URL") << "/api/status?token=" + t << QByteArray() << 200;
        QTest::newRow("bearer") << QByteArray("/api/status") << "Authorization: Bearer " + t + "\r\n" << 200;
        QTest::newRow("bearer, lower case") << QByteArray("/") << "authorization: bearer " + t + "\r\n"
                                            << 200;
        QTest::newRow("wrong bearer")
            << QByteArray("/api/events") << QByteArray("Authorization: Bearer x\r\n") << 401;
        QTest::newRow("basic") << QByteArray("/") << "Authorization: Basic " + t + "\r\n" << 401;
    }
    void tokenRules() {
        QFETCH(QByteArray, target);
        QFETCH(QByteArray, headers);
        QFETCH(int, status);
        StatusServer server;
        server.setPortText("COM 1");
        QVERIFY(server.listen(QHostAddress::LocalHost, 0, Token));
        const HttpReply reply = httpGet(server.serverPort(), target, headers);
        QCOMPARE(reply.status, status);
        if (status == 401)
            QVERIFY2(reply.body.isEmpty(), reply.body.constData()); // nothing else
        else
            QVERIFY(!reply.body.isEmpty());
    }

    void webSocketNeedsTheTokenToo_data() {
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<QByteArray>("headers");
        QTest::addColumn<int>("status");
        const QByteArray t = Token.toUtf8();
        QTest::newRow("no token") << QByteArray("/ws") << QByteArray() << 401;
        QTest::newRow("wrong token") << QByteArray("/ws?token=nope") << QByteArray() << 401;
        QTest::newRow("token") << "/ws?token=" + t << QByteArray() << 101;
        QTest::newRow("bearer") << QByteArray("/ws") << "Authorization: Bearer " + t + "\r\n" << 101;
        QTest::newRow("other path") << "/api/status?token=" + t << QByteArray() << 404;
        QTest::newRow("foreign page")
            << "/ws?token=" + t << QByteArray("Origin: http://evil.example\r\n") << 403;
    }
    void webSocketNeedsTheTokenToo() {
        QFETCH(QByteArray, target);
        QFETCH(QByteArray, headers);
        QFETCH(int, status);
        StatusServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0, Token));
        const HttpReply reply =
            httpExchange(server.serverPort(), upgradeRequest(server.serverPort(), target, headers));
        QCOMPARE(reply.status, status);
        QTRY_COMPARE(server.clientCount(), status == 101 ? 1 : 0);
    }

    // Without a token only loopback names are answered: a page elsewhere
    // cannot read the API through a name that resolves to 127.0.0.1.
    void loopbackNamesOnlyWithoutToken_data() {
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<int>("status");
        QTest::newRow("127.0.0.1") << QByteArray("127.0.0.1:8080") << 200;
        QTest::newRow("localhost") << QByteArray("LOCALHOST") << 200;
        QTest::newRow("::1") << QByteArray("[::1]:8080") << 200;
        QTest::newRow("other name") << QByteArray("attacker.example:8080") << 403;
    }
    void loopbackNamesOnlyWithoutToken() {
        QFETCH(QByteArray, host);
        QFETCH(int, status);
        StatusServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        const HttpReply reply =
            httpExchange(server.serverPort(),
                         "GET /api/status HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
        QCOMPARE(reply.status, status);
    }

    void readOnly_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::newRow("POST") << QByteArray(
                                     "POST /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 2\r\n"
                                     "Connection: close\r\n\r\n{}")
                              << 405;
        QTest::newRow("DELETE") << QByteArray(
                                       "DELETE / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
                                << 405;
        QTest::newRow("unknown")
            << QByteArray("GET /settings HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n") << 404;
        QTest::newRow("ws without upgrade")
            << QByteArray("GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n") << 400;
        QTest::newRow("huge head") << "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX: " + QByteArray(20000, 'a') +
                                          "\r\n\r\n"
                                   << 431;
    }
    void readOnly() {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        StatusServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        QCOMPARE(httpExchange(server.serverPort(), request).status, status);
        // Still serving afterwards.
        QCOMPARE(httpGet(server.serverPort(), "/api/status").status, 200);
    }
};
ZEL_TEST(StatusAccessTest)

class StatusApiTest : public QObject {
    Q_OBJECT
private slots:
    void statusJson() {
        StatusServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        server.setPortText("COM 2");
        server.onLinkEvent({zel::LinkState::Connected, 1'700'000'000'000, {}});
        for (int i = 0; i < 7; ++i)
            server.onReadings({float(30 + i), 25, 40});
        server.onAlarmEvent({zel::AlarmKind::Carrier, true, 1'700'000'001'000, {36, 25, 30}});
        server.onAlarmEvent({zel::AlarmKind::Pos125, true, 1'700'000'001'000, {53, 25, 30}});
        const HttpReply reply = httpGet(server.serverPort(), "/api/status");
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.headers.value("content-type"), "application/json");
        const QJsonObject o = json(reply.body);
        QCOMPARE(o["port"].toString(), "COM 2");
        QCOMPARE(o["link"].toString(), "connected");
        QCOMPARE(o["readings"]["pos"]["percent"].toInt(), 92); // the newest: 36 -> 92 %
        QCOMPARE(o["readings"]["pos"]["position"].toDouble(), 36.0);
        QCOMPARE(o["readings"]["carrier"]["percent"].toInt(), 100);
        QCOMPARE(o["packets"]["total"].toInt(), 7);
        QVERIFY(o["packets"]["lastAgeMs"].toDouble() >= 0);
        QCOMPARE(o["alarms"]["carrier-alarm"].toBool(), true);
        QCOMPARE(o["alarms"]["audio-loss"].toBool(), false);
        QCOMPARE(o["alarms"]["pos125"].toBool(), true);
        QCOMPARE(o["alarms"]["neg100"].toBool(), false);
        server.onLinkEvent({zel::LinkState::Reconnecting, 1'700'000'002'000, "PORT ERROR"});
        const QJsonObject lost = json(httpGet(server.serverPort(), "/api/status").body);
        QCOMPARE(lost["alarms"]["link-lost"].toBool(), true);
        QCOMPARE(lost["linkDetail"].toString(), "PORT ERROR");
    }

    void eventsSince_data() {
        QTest::addColumn<QByteArray>("query");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("count");
        QTest::newRow("all") << QByteArray("") << 200 << 4;
        QTest::newRow("ms") << QByteArray("?since=1700000002000") << 200 << 3;
        QTest::newRow("iso utc") << QByteArray("?since=2023-11-14T22:13:23Z") << 200 << 2;
        QTest::newRow("iso offset") << QByteArray("?since=2023-11-15T00:13:23.500%2B02:00") << 200 << 1;
        QTest::newRow("future") << QByteArray("?since=1800000000000") << 200 << 0;
        QTest::newRow("garbage") << QByteArray("?since=yesterday") << 400 << -1;
    }
    void eventsSince() {
        QFETCH(QByteArray, query);
        QFETCH(int, status);
        QFETCH(int, count);
        StatusServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        // 2023-11-14T22:13:20Z and the three seconds after it.
        server.onLinkEvent({zel::LinkState::Connected, 1'700'000'000'000, {}});
        server.onAlarmEvent({zel::AlarmKind::AudioLoss, true, 1'700'000'002'000, {}});
        server.onAlarmEvent({zel::AlarmKind::PosVariable, true, 1'700'000'002'500, {}}); // live only
        server.onAlarmEvent({zel::AlarmKind::AudioLoss, false, 1'700'000'003'000, {}});
        server.onLinkEvent({zel::LinkState::Reconnecting, 1'700'000'003'600, "PORT ERROR"});
        const HttpReply reply = httpGet(server.serverPort(), "/api/events" + query);
        QCOMPARE(reply.status, status);
        if (status != 200) return;
        const QJsonArray events = json(reply.body)["events"].toArray();
        QCOMPARE(events.size(), count);
        if (count == 4) {
            QCOMPARE(events[1].toObject()["event"].toString(), "audio-loss");
            QCOMPARE(events[1].toObject()["state"].toString(), "on");
            QCOMPARE(events[3].toObject()["state"].toString(), "reconnecting");
            QCOMPARE(events[3].toObject()["detail"].toString(), "PORT ERROR");
            QCOMPARE(QDateTime::fromString(events[0].toObject()["time"].toString(), Qt::ISODateWithMs)
                         .toMSecsSinceEpoch(),
                     1'700'000'000'000);
        }
    }

    void keepsTheLastHundredOrAsksTheHistory() {
        StatusServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        for (int i = 0; i < 150; ++i)
            server.onLinkEvent(
                {i % 2 ? zel::LinkState::Connected : zel::LinkState::Reconnecting, 1000 + i, {}});
        QJsonArray events = json(server.eventsJson(0))["events"].toArray();
        QCOMPARE(events.size(), StatusServer::KeptEvents);
        QCOMPARE(events.first().toObject()["timeMs"].toInteger(), 1050);
        qint64 asked = -1;
        server.setEventSource([&asked](qint64 since) {
            asked = since;
            return QList<zel::StatusEvent>{zel::StatusEvent{since + 5, "carrier-alarm", "on", {}}};
        });
        events = json(httpGet(server.serverPort(), "/api/events?since=777").body)["events"].toArray();
        QCOMPARE(asked, 777);
        QCOMPARE(events.size(), 1);
        QCOMPARE(events[0].toObject()["timeMs"].toInteger(), 782);
    }
};
ZEL_TEST(StatusApiTest)

class StatusStreamTest : public QObject {
    Q_OBJECT

    struct Client {
        QWebSocket socket;
        QList<QJsonObject> messages;
        explicit Client(quint16 port) {
            QObject::connect(&socket, &QWebSocket::textMessageReceived,
                             [this](const QString& m) { messages << json(m.toUtf8()); });
            socket.open(QUrl(QString("ws://127.0.0.1:%1/ws").arg(port)));
        }
    };

private slots:
    // Every packet between two pushes counts: the push carries their peaks,
    // so a single overmodulated packet is not lost between updates.
    void pushCarriesThePeaksSinceTheLast() {
        StatusServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        auto* push = server.findChild<QTimer*>("tmrPush");
        QVERIFY(!push->isActive()); // nothing to do without clients
        Client client(server.serverPort());
        QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), 1, 10000);
        QVERIFY(push->isActive());
        push->stop(); // the test pushes by hand
        QTRY_VERIFY(client.socket.state() == QAbstractSocket::ConnectedState);
        client.messages.clear();

        for (float pos : {30.f, 54.f, 20.f, 31.f})
            server.onReadings({pos, 40 - pos / 2, 38});
        server.onAlarmEvent({zel::AlarmKind::Pos125, true, 0, {54, 13, 38}});
        server.pushUpdates();
        QTRY_COMPARE_WITH_TIMEOUT(client.messages.size(), 1, 10000);
        const QJsonObject m = client.messages.first();
        QCOMPARE(m["n"].toInt(), 4);
        QCOMPARE(m["pos"].toDouble(), 54.0);
        QCOMPARE(m["neg"].toDouble(), 30.0); // 40 - 20/2, the highest negative
        QCOMPARE(m["car"].toDouble(), 38.0);
        QCOMPARE(m["total"].toInt(), 4);
        QCOMPARE(m["flash"]["pos125"].toBool(), true);

        // Nothing new: no message until the heartbeat is due.
        server.pushUpdates();
        QTest::qWait(100);
        QCOMPARE(client.messages.size(), 1);
        server.onReadings({22, 10, 40});
        server.pushUpdates();
        QTRY_COMPARE_WITH_TIMEOUT(client.messages.size(), 2, 10000);
        QCOMPARE(client.messages[1]["n"].toInt(), 1);
        QCOMPARE(client.messages[1]["pos"].toDouble(), 22.0);
    }

    // Peaks from before anyone watched are not shown as the first update.
    void firstClientStartsFresh() {
        StatusServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        server.onReadings({55, 50, 40});
        server.onReadings({21, 12, 40});
        Client client(server.serverPort());
        QTRY_VERIFY_WITH_TIMEOUT(!client.messages.isEmpty(), 10000);
        QCOMPARE(client.messages.first()["n"].toInt(), 0);
        QCOMPARE(client.messages.first()["pos"].toDouble(), 21.0);
        QCOMPARE(client.messages.first()["total"].toInt(), 2);
    }

    void newEventsReachTheClients() {
        StatusServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        Client client(server.serverPort());
        QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!client.messages.isEmpty(), 10000);
        server.onAlarmEvent({zel::AlarmKind::Carrier, true, 1'700'000'000'000, {}});
        QTRY_VERIFY_WITH_TIMEOUT(std::as_const(client.messages).last()["alarms"]["carrier-alarm"].toBool(),
                                 10000);
        const QJsonArray events = client.messages.last()["events"].toArray();
        QCOMPARE(events.size(), 1);
        QCOMPARE(events[0].toObject()["event"].toString(), "carrier-alarm");
    }

    void atMostSixteenClients() {
        StatusServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < StatusServer::MaxClients; ++i)
            clients.push_back(std::make_unique<Client>(server.serverPort()));
        QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), StatusServer::MaxClients, 20000);
        const quint16 port = server.serverPort();
        QCOMPARE(httpExchange(port, upgradeRequest(port, "/ws")).status, 503);
        QCOMPARE(server.clientCount(), StatusServer::MaxClients);
        clients.pop_back();
        QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), StatusServer::MaxClients - 1, 10000);
        Client late(port);
        QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), StatusServer::MaxClients, 10000);
    }

    // A client that stops reading is dropped; the others keep their updates
    // and the caller never waits for it.
    void slowClientIsDropped() {
        StatusServer server;
        server.setMaxBacklogBytes(16 * 1024);
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        const quint16 port = server.serverPort();
        QTcpSocket stuck;
        stuck.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
        stuck.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(stuck.waitForConnected(10000));
        stuck.write(upgradeRequest(port, "/ws"));
        QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), 1, 10000);
        stuck.setReadBufferSize(1); // from here on it reads nothing more
        Client reader(port);
        QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), 2, 10000);
        server.findChild<QTimer*>("tmrPush")->stop();
        QSignalSpy dropped(&server, &StatusServer::clientDropped);

        QElapsedTimer clock;
        clock.start();
        int pushes = 0;
        // Each push carries a long event detail so the backlog builds fast.
        const QString detail(190, u'x');
        while (dropped.isEmpty() && clock.elapsed() < 60000) {
            server.onReadings({float(pushes % 55), 10, 40});
            server.onLinkEvent({zel::LinkState::Connected, pushes, detail});
            server.pushUpdates();
            ++pushes;
            QCoreApplication::processEvents();
        }
        QCOMPARE(dropped.count(), 1);
        QVERIFY(dropped.first().at(1).toString().contains("not reading"));
        QCOMPARE(server.clientCount(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(reader.messages.size() >= pushes - 5, 20000);
    }
};
ZEL_TEST(StatusStreamTest)

#include "tst_statusserver.moc"
