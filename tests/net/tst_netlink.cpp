// Both network transports end to end: the stand-in monitor on a
// pseudo-terminal, Debian's ser2net in front of it on loopback ports, and
// the whole session polling through it; and the transports' own timers
// against a bare loopback server.
#include "core/link/linkcontroller.h"
#include "core/monitor/monitormodel.h"
#include "core/session/monitorsession.h"
#include "core/transport/networkport.h"
#include "core/transport/networktransport.h"
#include "support/ser2net.h"
#include "support/simprocess.h"
#include "support/testmain.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

using zeltest::Ser2Net;
using zeltest::SimProcess;

namespace {

const char* const Script = "196040181\n100120140\n230060199\n";

// A stand-in for each accepter, each behind its own device link (ser2net
// lends a device to one connection at a time), and a ser2net in front.
struct Site {
    QTemporaryDir dir;
    SimProcess tcpSim, rfc2217Sim;
    Ser2Net server;

    bool start(const QStringList& simArgs, QString* error) {
        QFile script(dir.filePath(QStringLiteral("script.txt")));
        if (!script.open(QIODevice::WriteOnly) || script.write(Script) < 0) {
            *error = QStringLiteral("cannot write the script");
            return false;
        }
        script.close();
        for (auto [sim, name] :
             {std::pair{&tcpSim, "monitor-tcp"}, std::pair{&rfc2217Sim, "monitor-rfc2217"}}) {
            if (!sim->start(simArgs + QStringList{QStringLiteral("--script"), script.fileName(),
                                                  QStringLiteral("--loop"), QStringLiteral("--link"),
                                                  dir.filePath(QLatin1String(name))})) {
                *error = sim->errorText();
                return false;
            }
        }
        if (!server.start(dir.filePath(QStringLiteral("monitor-tcp")),
                          dir.filePath(QStringLiteral("monitor-rfc2217")))) {
            *error = server.errorText();
            return false;
        }
        return true;
    }
    QString text(const QString& kind) const {
        return kind == QLatin1String("tcp") ? server.tcpText() : server.rfc2217Text();
    }
};

bool isScripted(const zel::Readings& r) {
    for (const char* line : {"196040181", "100120140", "230060199"})
        if (zel::decodePacket(line) == r) return true;
    return false;
}

void kinds() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("tcp") << QStringLiteral("tcp");
    QTest::newRow("rfc2217") << QStringLiteral("rfc2217");
}

// A session on one port text, and what it reports.
struct Watch {
    zel::MonitorSession session;
    int readings = 0; // each reading not from the script counts 1000
    QByteArray raw;
    QStringList portErrors;
    QList<zel::AlarmEvent> alarms;
    bool reconnected = false;
    explicit Watch(const QString& port) {
        zel::ConnectionSettings c;
        c.directPort = port;
        session.setConnectionSettings(c);
        QObject::connect(&session, &zel::MonitorSession::linkEvent, &session,
                         [this](const zel::LinkEvent& e) {
                             reconnected = reconnected || e.state == zel::LinkState::Reconnecting;
                         });
        QObject::connect(&session, &zel::MonitorSession::readingsReceived, &session,
                         [this](const zel::Readings& r) { readings += isScripted(r) ? 1 : 1000; });
        QObject::connect(session.link(), &zel::LinkController::rawRead, &session,
                         [this](const QByteArray& read) { raw += read; });
        QObject::connect(&session, &zel::MonitorSession::portError, &session,
                         [this](const QString&, const QString& why) { portErrors.append(why); });
        QObject::connect(&session, &zel::MonitorSession::alarmEvent, &session,
                         [this](const zel::AlarmEvent& e) { alarms.append(e); });
    }
    bool alarm(zel::AlarmKind kind, bool on) const {
        for (const zel::AlarmEvent& e : alarms)
            if (e.kind == kind && e.on == on) return true;
        return false;
    }
};

// Opens a transport on a bare loopback server; its end in `*peer`.
std::unique_ptr<zel::Transport> openOn(QTcpServer& server, const QString& text, QTcpSocket** peer) {
    QString error;
    auto t = zel::makeNetworkTransport(text, &error);
    QSignalSpy opened(t.get(), &zel::Transport::opened);
    if (!t->openLink() || !opened.wait(5000) ||
        !QTest::qWaitFor([&] { return server.hasPendingConnections(); }, 5000))
        return {};
    *peer = server.nextPendingConnection();
    return t;
}

} // namespace

class NetLinkTest : public QObject {
    Q_OBJECT
private slots:
    // Readings arrive whole through each accepter, with no Telnet byte in
    // them, RFC 2217 at 9600 8N1; ser2net killed and started again is
    // ridden out without asking anyone to click OK.
    void readingsSurviveServerRestart_data() { kinds(); }
    void readingsSurviveServerRestart() {
        QFETCH(QString, kind);
        Site site;
        QString error;
        QVERIFY2(site.start({}, &error), qPrintable(error));
        Watch w(site.text(kind));
        w.session.connectLink();
        QTRY_COMPARE_WITH_TIMEOUT(w.session.linkState(), zel::LinkState::Connected, 15000);
        QTRY_VERIFY_WITH_TIMEOUT(w.readings >= 20, 15000);
        QVERIFY(w.readings < 1000);
        static const QRegularExpression packets(QStringLiteral("^(x[0-9]{9})*(x[0-9]{0,8})?$"));
        QVERIFY2(packets.match(QString::fromLatin1(w.raw)).hasMatch(), w.raw.left(200).constData());
        if (auto* rfc = qobject_cast<zel::Rfc2217Transport*>(w.session.link()->transport())) {
            QCOMPARE(rfc->codec().comPort(), zel::TelnetCodec::ComPort::Enabled);
            QTRY_COMPARE(rfc->codec().farEnd().baudRate, 9600u);
            QCOMPARE(int(rfc->codec().farEnd().dataSize), 8);
            QCOMPARE(int(rfc->codec().farEnd().parity), int(zel::TelnetCodec::ParityNone));
            QCOMPARE(int(rfc->codec().farEnd().stopSize), 1);
        }

        site.server.kill();
        QTRY_COMPARE_WITH_TIMEOUT(w.session.linkState(), zel::LinkState::Reconnecting, 15000);
        QVERIFY(w.alarm(zel::AlarmKind::LinkLost, true));
        QVERIFY2(site.server.restart(), qPrintable(site.server.errorText()));
        const int before = w.readings;
        QTRY_COMPARE_WITH_TIMEOUT(w.session.linkState(), zel::LinkState::Connected, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(w.readings >= before + 20, 15000);
        QVERIFY(w.readings < 1000);
        QVERIFY(w.alarm(zel::AlarmKind::LinkLost, false));
        QVERIFY(w.portErrors.isEmpty());
        w.session.disconnectLink();
        QCOMPARE(w.session.linkState(), zel::LinkState::OffLine);
    }

    void vanishedDeviceIsPickedUpAgain() {
        Site site;
        QString error;
        QVERIFY2(site.start({QStringLiteral("--vanish-after"), QStringLiteral("30"),
                             QStringLiteral("--vanish-gap"), QStringLiteral("700")},
                            &error),
                 qPrintable(error));
        Watch w(site.text(QStringLiteral("tcp")));
        w.session.connectLink();
        QTRY_VERIFY_WITH_TIMEOUT(w.reconnected, 20000);
        const int before = w.readings;
        QTRY_VERIFY_WITH_TIMEOUT(w.readings >= before + 20, 30000);
        QCOMPARE(w.session.linkState(), zel::LinkState::Connected);
    }

    void silenceIsNoData() {
        Site site;
        QString error;
        QVERIFY2(site.start({QStringLiteral("--silent-after"), QStringLiteral("20"),
                             QStringLiteral("--silent-for"), QStringLiteral("3")},
                            &error),
                 qPrintable(error));
        Watch w(site.text(QStringLiteral("rfc2217")));
        w.session.link()->setNoDataTimeout(1000);
        w.session.connectLink();
        QTRY_VERIFY_WITH_TIMEOUT(w.session.link()->noData(), 15000);
        QVERIFY(w.alarm(zel::AlarmKind::NoData, true));
        QVERIFY(w.session.model()->barGraph().leds().none());
        QTRY_VERIFY_WITH_TIMEOUT(!w.session.link()->noData(), 15000);
        QVERIFY(w.alarm(zel::AlarmKind::NoData, false));
        QCOMPARE(w.session.linkState(), zel::LinkState::Connected);
    }

    // A modem on a device server's port: dialled and polled through either
    // transport, and hung up.
    void modemOverNetwork_data() { kinds(); }
    void modemOverNetwork() {
        QFETCH(QString, kind);
        Site site;
        QString error;
        QVERIFY2(
            site.start({QStringLiteral("--modem"), QStringLiteral("--dial-delay"), QStringLiteral("100")},
                       &error),
            qPrintable(error));
        Watch w(QString{});
        zel::ConnectionSettings c;
        c.directCable = false;
        c.modemLink = true;
        c.modemPort = site.text(kind);
        c.phoneNumber = QStringLiteral("5551234");
        w.session.setConnectionSettings(c);
        w.session.connectLink();
        QTRY_COMPARE_WITH_TIMEOUT(w.session.linkState(), zel::LinkState::Connected, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(w.readings >= 10, 15000);
        QVERIFY(w.readings < 1000);
        w.session.disconnectLink();
        QTRY_COMPARE_WITH_TIMEOUT(w.session.linkState(), zel::LinkState::OffLine, 10000);
    }

    // A Connect the operator pressed that fails says why, each way its own.
    void failedConnectSaysWhy_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("reason");
        const quint16 free = Ser2Net::freePort();
        for (const char* scheme : {"tcp", "rfc2217"}) {
            const QString s = QLatin1String(scheme);
            QTest::addRow("%s refused", scheme)
                << s + QStringLiteral("://127.0.0.1:%1").arg(free)
                << QStringLiteral("Connection refused by 127.0.0.1:%1").arg(free);
            QTest::addRow("%s no such host", scheme) << s + QStringLiteral("://nosuch.invalid:2000")
                                                     << QStringLiteral("Host nosuch.invalid not found");
        }
        QTest::newRow("bad address") << QStringLiteral("tcp://127.0.0.1:99999") << QStringLiteral("99999");
    }
    void failedConnectSaysWhy() {
        QFETCH(QString, text);
        QFETCH(QString, reason);
        Watch w(text);
        w.session.connectLink();
        QTRY_COMPARE_WITH_TIMEOUT(w.portErrors.size(), 1, 15000);
        QVERIFY2(w.portErrors.first().contains(reason), qPrintable(w.portErrors.first()));
        QCOMPARE(w.session.linkState(), zel::LinkState::OffLine);
    }

    // A server that accepts but never negotiates: the open timer fails it,
    // once.
    void negotiationTimeout() {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        const zel::NetworkPort port{zel::NetworkPort::Kind::Rfc2217, QStringLiteral("127.0.0.1"),
                                    server.serverPort()};
        zel::Rfc2217Transport t(QStringLiteral("rfc2217://127.0.0.1:%1").arg(port.port), port);
        QSignalSpy failed(&t, &zel::Transport::failed);
        QVERIFY(t.openLink());
        QCOMPARE(t.openTimer().interval(), zel::NetworkTransport::DefaultOpenTimeoutMs);
        QTRY_VERIFY(server.hasPendingConnections());
        QTest::qWait(50);
        QVERIFY(!t.isOpen() && t.openTimer().isActive());
        t.openTimedOut();
        t.openTimedOut();
        QCOMPARE(failed.size(), 1);
        QCOMPARE(
            failed.first().first().toString(),
            QStringLiteral("127.0.0.1:%1 does not answer as an RFC 2217 server within 10 s").arg(port.port));
    }

    // An awaited reply wakes the reader once, whole; a late one is reported
    // with what has arrived, and every byte is reported again.
    void awaitedReply() {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        QTcpSocket* peer = nullptr;
        auto t = openOn(server, QStringLiteral("tcp://127.0.0.1:%1").arg(server.serverPort()), &peer);
        QVERIFY(t);
        auto* net = static_cast<zel::NetworkTransport*>(t.get());
        QSignalSpy ready(t.get(), &QIODevice::readyRead);
        QSignalSpy overdue(t.get(), &zel::Transport::replyOverdue);
        const auto send = [&](const char* text) {
            peer->write(text);
            QVERIFY(peer->waitForBytesWritten(5000));
        };
        t->awaitReply(10);
        QCOMPARE(net->lowWater(), 10);
        QCOMPARE(net->replyTimer().interval(), int(22 * 1.0417) + zel::NetworkTransport::ReplyNetworkSlackMs);
        for (const char* part : {"x1", "960", "40"})
            send(part);
        QTest::qWait(5);
        // Held back below the mark (unless a loaded machine let the timer run out).
        if (net->replyTimer().isActive()) QCOMPARE(ready.size(), 0);
        send("181x23");
        QTRY_VERIFY(t->bytesAvailable() == 13);
        QCOMPARE(t->readAll(), QByteArray("x196040181x23"));
        QCOMPARE(net->lowWater(), 1); // nobody asked again
        QVERIFY(!net->replyTimer().isActive());

        t->awaitReply(7);
        send("0060");
        if (net->replyTimer().isActive()) net->replyTimedOut();
        QTRY_COMPARE(overdue.size(), 1);
        QCOMPARE(overdue.first().first().toInt(), 4);
        QCOMPARE(net->lowWater(), 1);
        QTRY_COMPARE(t->bytesAvailable(), 4);
        QCOMPARE(t->readAll(), QByteArray("0060"));
    }

    // A device server that hangs up with a message has it shown; IPv6
    // loopback works in brackets.
    void farEndMessage_data() {
        QTest::addColumn<QString>("host");
        QTest::newRow("IPv4") << QStringLiteral("127.0.0.1");
        QTest::newRow("IPv6") << QStringLiteral("::1");
    }
    void farEndMessage() {
        QFETCH(QString, host);
        QTcpServer server;
        if (!server.listen(QHostAddress(host), 0)) QSKIP("no IPv6 loopback here");
        const QString endpoint = (host.contains(':') ? QStringLiteral("[%1]:%2") : QStringLiteral("%1:%2"))
                                     .arg(host)
                                     .arg(server.serverPort());
        QTcpSocket* peer = nullptr;
        auto t = openOn(server, QStringLiteral("tcp://") + endpoint, &peer);
        QVERIFY(t);
        QSignalSpy failed(t.get(), &zel::Transport::failed);
        peer->write("x196040181");
        QTRY_COMPARE(t->bytesAvailable(), 10);
        QCOMPARE(t->readAll(), QByteArray("x196040181"));
        peer->write("Port's device already in use\r\n");
        peer->flush();
        peer->disconnectFromHost();
        QTRY_COMPARE(failed.size(), 1);
        QCOMPARE(
            failed.first().first().toString(),
            QStringLiteral("Connection to %1 lost: closed by the far end (\"Port's device already in use\")")
                .arg(endpoint));
    }
};

ZEL_TEST(NetLinkTest)
#include "tst_netlink.moc"
