// Both network transports end to end: the stand-in monitor on a
// pseudo-terminal, Debian's ser2net in front of it on loopback ports, and
// the transports polling through it.
#include "core/link/linkcontroller.h"
#include "core/monitor/monitormodel.h"
#include "core/session/monitorsession.h"
#include "core/transport/networkport.h"
#include "core/transport/networktransport.h"
#include "net/netpoll.h"
#include "support/ser2net.h"
#include "support/simprocess.h"
#include "support/testmain.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <memory>

using zeltest::NetPoll;
using zeltest::Ser2Net;
using zeltest::SimProcess;

namespace {

const char* const Script = "196040181\n100120140\n230060199\n";

// One site: a stand-in for each accepter, each behind its own device link
// (ser2net lends a device to one connection at a time), and a ser2net in
// front of both.
struct Site {
    QTemporaryDir dir;
    SimProcess tcpSim, rfc2217Sim;
    Ser2Net server;
    QString link(const char* name) const { return dir.filePath(QLatin1String(name)); }

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
                                                  link(name)})) {
                *error = sim->errorText();
                return false;
            }
        }
        if (!server.start(link("monitor-tcp"), link("monitor-rfc2217"))) {
            *error = server.errorText();
            return false;
        }
        return true;
    }
    QString text(const QString& kind) const {
        return kind == QLatin1String("tcp") ? server.tcpText() : server.rfc2217Text();
    }
};

std::unique_ptr<zel::Transport> transportFor(const QString& text) {
    QString error;
    auto t = zel::makeNetworkTransport(text, &error);
    if (!t) qWarning("%s: %s", qPrintable(text), qPrintable(error));
    return t;
}

// Opens `t` and waits for the outcome; the failure's reason in `*reason`.
bool openAndWait(zel::Transport* t, QString* reason = nullptr, int timeoutMs = 15000) {
    QSignalSpy opened(t, &zel::Transport::opened);
    QSignalSpy failed(t, &zel::Transport::failed);
    if (!t->openLink()) {
        if (reason) *reason = t->errorString();
        return false;
    }
    QDeadlineTimer deadline(timeoutMs);
    while (opened.isEmpty() && failed.isEmpty() && !deadline.hasExpired())
        QTest::qWait(10);
    if (!failed.isEmpty() && reason) *reason = failed.first().first().toString();
    return !opened.isEmpty() && failed.isEmpty() && t->isOpen();
}

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

} // namespace

class NetLinkTest : public QObject {
    Q_OBJECT
    Site m_site;

private slots:
    void initTestCase() {
        QString error;
        QVERIFY2(m_site.start({}, &error), qPrintable(error));
    }
    void init() {
        // A test that failed half way may have left the server down.
        if (!m_site.server.isRunning())
            QVERIFY2(m_site.server.restart(), qPrintable(m_site.server.errorText()));
    }

    // Packets arrive whole and in order through each accepter; over RFC 2217
    // the server confirms 9600 8N1.
    void readingsArrive_data() { kinds(); }
    void readingsArrive() {
        QFETCH(QString, kind);
        auto t = transportFor(m_site.text(kind));
        QVERIFY(t);
        QString reason;
        QVERIFY2(openAndWait(t.get(), &reason), qPrintable(reason));
        NetPoll poll(t.get());
        poll.start();
        QTRY_VERIFY_WITH_TIMEOUT(poll.readings().size() >= 40, 15000);
        for (const zel::Readings& r : poll.readings())
            QVERIFY(isScripted(r));
        // Nothing but packets came through (the last maybe in part): no
        // Telnet byte leaked in, none was lost.
        static const QRegularExpression packets(QStringLiteral("^(x[0-9]{9})*(x[0-9]{0,8})?$"));
        QVERIFY(packets.match(QString::fromLatin1(poll.raw())).hasMatch());
        if (auto* rfc = qobject_cast<zel::Rfc2217Transport*>(t.get())) {
            QCOMPARE(rfc->codec().comPort(), zel::TelnetCodec::ComPort::Enabled);
            QTRY_COMPARE(rfc->codec().farEnd().baudRate, 9600u);
            QCOMPARE(int(rfc->codec().farEnd().dataSize), 8);
            QCOMPARE(int(rfc->codec().farEnd().parity), int(zel::TelnetCodec::ParityNone));
            QCOMPARE(int(rfc->codec().farEnd().stopSize), 1);
        }
        t->close();
        QVERIFY(!t->isOpen());
    }

    // The stand-in's --link names its device, is gone while the device is,
    // names the new device when it is back, and goes with the stand-in.
    void deviceLinkFollows() {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("monitor"));
        SimProcess sim;
        QVERIFY2(sim.start({QStringLiteral("--link"), link, QStringLiteral("--vanish-after"),
                            QStringLiteral("1"), QStringLiteral("--vanish-gap"), QStringLiteral("1500")}),
                 qPrintable(sim.errorText()));
        QCOMPARE(QFileInfo(link).symLinkTarget(), sim.devicePath());
        QFile device(link);
        QVERIFY(device.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
        QCOMPARE(device.write("x"), 1);
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo(link).isSymLink(), 10000);
        QCOMPARE(sim.paths().size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(sim.paths().size(), 2, 10000);
        QCOMPARE(QFileInfo(link).symLinkTarget(), sim.paths().last());
        QVERIFY(sim.paths().first() != sim.paths().last());
        sim.stop();
        QVERIFY(!QFileInfo(link).isSymLink());
    }

    // A modem on the device server's port: dialled through either accepter,
    // polled once connected, and hung up by closing the connection.
    void modemOverNetwork_data() { kinds(); }
    void modemOverNetwork() {
        QFETCH(QString, kind);
        Site site;
        QString error;
        QVERIFY2(
            site.start({QStringLiteral("--modem"), QStringLiteral("--dial-delay"), QStringLiteral("100")},
                       &error),
            qPrintable(error));
        auto t = transportFor(site.text(kind));
        QVERIFY(t);
        QVERIFY2(openAndWait(t.get(), &error), qPrintable(error));
        t->setDataTerminalReady(true);
        NetPoll poll(t.get());
        t->write("ATE0\r");
        QTRY_VERIFY_WITH_TIMEOUT(poll.raw().contains("OK"), 10000);
        t->write("ATDT5551234\r");
        QTRY_VERIFY_WITH_TIMEOUT(poll.raw().contains("CONNECT 9600\r\n"), 10000);
        poll.start();
        QTRY_VERIFY_WITH_TIMEOUT(poll.readings().size() >= 10, 15000);
        poll.stop();
        t->setDataTerminalReady(false);
        t->close();

        // The far end hung up: the modem answers commands again.
        QVERIFY2(openAndWait(t.get(), &error), qPrintable(error));
        poll.clear();
        QVERIFY(QTest::qWaitFor(
            [&] {
                t->write("AT\r");
                QTest::qWait(200);
                return poll.raw().contains("OK");
            },
            10000));
        QVERIFY(poll.readings().isEmpty());
    }

    // A server that accepts but never negotiates: the open timer fails it.
    void negotiationTimeout() {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        zel::NetworkPort port{zel::NetworkPort::Kind::Rfc2217, QStringLiteral("127.0.0.1"),
                              server.serverPort()};
        zel::Rfc2217Transport t(QStringLiteral("rfc2217://127.0.0.1:%1").arg(port.port), port);
        QSignalSpy failed(&t, &zel::Transport::failed);
        QVERIFY(t.openLink());
        QVERIFY(t.openTimer().isActive());
        QCOMPARE(t.openTimer().interval(), zel::NetworkTransport::DefaultOpenTimeoutMs);
        QTRY_VERIFY(server.hasPendingConnections());
        QTest::qWait(50);
        QVERIFY(!t.isOpen());
        t.openTimedOut();
        QCOMPARE(failed.size(), 1);
        QCOMPARE(
            failed.first().first().toString(),
            QStringLiteral("127.0.0.1:%1 does not answer as an RFC 2217 server within 10 s").arg(port.port));
        QVERIFY(!t.openTimer().isActive());
        t.openTimedOut(); // a late tick changes nothing
        QCOMPARE(failed.size(), 1);
    }

    // An awaited reply wakes the reader once, whole; one that is late is
    // reported with what has arrived, and every byte is reported again.
    void awaitedReply() {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        auto t = transportFor(QStringLiteral("tcp://127.0.0.1:%1").arg(server.serverPort()));
        auto* net = static_cast<zel::NetworkTransport*>(t.get());
        QString error;
        QVERIFY2(openAndWait(t.get(), &error), qPrintable(error));
        QTRY_VERIFY(server.hasPendingConnections());
        QTcpSocket* peer = server.nextPendingConnection();
        QSignalSpy ready(t.get(), &QIODevice::readyRead);
        QSignalSpy overdue(t.get(), &zel::Transport::replyOverdue);
        const auto send = [&](const char* text) {
            peer->write(text);
            QVERIFY(peer->waitForBytesWritten(5000));
        };

        t->awaitReply(10);
        QCOMPARE(net->lowWater(), 10);
        QVERIFY(net->replyTimer().isActive());
        QCOMPARE(net->replyTimer().interval(), int(22 * 1.0417) + zel::NetworkTransport::ReplyNetworkSlackMs);
        for (const char* part : {"x1", "960", "40"})
            send(part);
        QTest::qWait(5);
        // Held back below the mark (unless a loaded machine let the reply
        // timer run out meanwhile).
        if (net->replyTimer().isActive()) QCOMPARE(ready.size(), 0);
        send("181x23");
        QTRY_VERIFY(t->bytesAvailable() == 13);
        QCOMPARE(t->readAll(), QByteArray("x196040181x23"));
        QCOMPARE(net->lowWater(), 1); // nobody asked again
        QVERIFY(!net->replyTimer().isActive());

        t->awaitReply(7);
        QCOMPARE(net->lowWater(), 7);
        const qsizetype readsBefore = ready.size();
        send("0060");
        if (net->replyTimer().isActive()) {
            QCOMPARE(ready.size(), readsBefore);
            net->replyTimedOut();
        }
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
        const QString endpoint = host.contains(':')
                                     ? QStringLiteral("[%1]:%2").arg(host).arg(server.serverPort())
                                     : QStringLiteral("%1:%2").arg(host).arg(server.serverPort());
        auto t = transportFor(QStringLiteral("tcp://") + endpoint);
        QVERIFY(t);
        QString error;
        QVERIFY2(openAndWait(t.get(), &error), qPrintable(error));
        QTRY_VERIFY(server.hasPendingConnections());
        QTcpSocket* peer = server.nextPendingConnection();
        NetPoll poll(t.get());
        QSignalSpy failed(t.get(), &zel::Transport::failed);
        peer->write("x196040181");
        QTRY_COMPARE(poll.readings().size(), 1);
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

// The whole session through the device server: the link comes back by
// itself and distrusts silence.
class NetSessionTest : public QObject {
    Q_OBJECT

    struct Watch {
        zel::MonitorSession session;
        QList<zel::LinkState> states;
        int readings = 0;
        QStringList portErrors;
        QList<zel::AlarmEvent> alarms;
        explicit Watch(const QString& port) {
            zel::ConnectionSettings c;
            c.directPort = port;
            session.setConnectionSettings(c);
            QObject::connect(&session, &zel::MonitorSession::linkEvent, &session,
                             [this](const zel::LinkEvent& e) { states.append(e.state); });
            QObject::connect(&session, &zel::MonitorSession::readingsReceived, &session,
                             [this](const zel::Readings& r) { readings += isScripted(r) ? 1 : 1000; });
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

private slots:
    void serverRestartIsRidden_data() { kinds(); }
    void serverRestartIsRidden() {
        QFETCH(QString, kind);
        Site site;
        QString error;
        QVERIFY2(site.start({}, &error), qPrintable(error));
        Watch w(site.text(kind));
        w.session.connectLink();
        QTRY_COMPARE_WITH_TIMEOUT(w.session.linkState(), zel::LinkState::Connected, 15000);
        QTRY_VERIFY_WITH_TIMEOUT(w.readings >= 20, 15000);
        QVERIFY(w.readings < 1000); // every one a packet the stand-in sent

        site.server.kill();
        QTRY_COMPARE_WITH_TIMEOUT(w.session.linkState(), zel::LinkState::Reconnecting, 15000);
        QVERIFY(w.alarm(zel::AlarmKind::LinkLost, true));
        QVERIFY(w.portErrors.isEmpty()); // nobody is asked to click OK
        QVERIFY2(site.server.restart(), qPrintable(site.server.errorText()));
        const int before = w.readings;
        QTRY_COMPARE_WITH_TIMEOUT(w.session.linkState(), zel::LinkState::Connected, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(w.readings >= before + 20, 15000);
        QVERIFY(w.alarm(zel::AlarmKind::LinkLost, false));
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
        QTRY_VERIFY_WITH_TIMEOUT(w.states.contains(zel::LinkState::Reconnecting), 20000);
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
        QVERIFY(w.session.model()->barGraph().leds().none()); // the bar goes dark
        QTRY_VERIFY_WITH_TIMEOUT(!w.session.link()->noData(), 15000);
        QVERIFY(w.alarm(zel::AlarmKind::NoData, false));
        QCOMPARE(w.session.linkState(), zel::LinkState::Connected);
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
        QVERIFY(!w.session.link()->isActive());
    }
};

ZEL_TEST(NetLinkTest)
ZEL_TEST(NetSessionTest)
#include "tst_netlink.moc"
