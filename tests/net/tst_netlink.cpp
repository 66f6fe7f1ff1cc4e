// Both network transports end to end (the stand-in on a pseudo-terminal,
// ser2net in front on loopback, a session polling through it), and the
// transports' own timers against a bare loopback server.
#include "core/link/linkcontroller.h"
#include "core/protocol/packetdecoder.h"
#include "core/session/monitorsession.h"
#include "core/transport/networkport.h"
#include "core/transport/networktransport.h"
#include "support/ser2net.h"
#include "support/simprocess.h"
#include "support/testmain.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <algorithm>

using zel::AlarmKind;
using zel::LinkState;

namespace {

const char Script[] = "196040181\n100120140\n230060199\n";

// One stand-in per accepter (ser2net lends a device to one connection at a
// time) looping the script, ser2net in front, and a session on one of them.
struct Site {
    QTemporaryDir dir;
    zeltest::SimProcess sims[2];
    zeltest::Ser2Net server;
    zel::MonitorSession session;
    int readings = 0; // each reading not from the script counts 1000
    QStringList portErrors;
    QList<zel::AlarmEvent> alarms;

    Site() {
        QObject::connect(
            &session, &zel::MonitorSession::readingsReceived, &session, [this](const zel::Readings& r) {
                const auto lines = QByteArray(Script).split('\n');
                const auto is = [&](const QByteArray& l) { return zel::decodePacket(l.constData()) == r; };
                readings += std::any_of(lines.begin(), lines.end() - 1, is) ? 1 : 1000;
            });
        QObject::connect(&session, &zel::MonitorSession::portError, &session,
                         [this](const QString&, const QString& why) { portErrors.append(why); });
        QObject::connect(&session, &zel::MonitorSession::alarmEvent, &session,
                         [this](const zel::AlarmEvent& e) { alarms.append(e); });
    }
    QString start(QStringList simArgs) {
        QFile script(dir.filePath(QStringLiteral("script.txt")));
        if (!script.open(QIODevice::WriteOnly) || script.write(Script) < 0)
            return QStringLiteral("no script");
        script.close();
        simArgs << QStringLiteral("--script") << script.fileName() << QStringLiteral("--loop")
                << QStringLiteral("--link");
        for (auto& sim : sims)
            if (!sim.start(simArgs + QStringList{dir.filePath(QString::number(&sim - sims))}))
                return sim.errorText();
        return server.start(dir.filePath(QStringLiteral("0")), dir.filePath(QStringLiteral("1")))
                   ? QString()
                   : server.errorText();
    }
    void connect(const QString& kind, bool modem = false) {
        zel::ConnectionSettings c;
        (modem ? c.modemPort : c.directPort) = kind == "tcp" ? server.tcpText() : server.rfc2217Text();
        c.directCable = !modem;
        c.modemLink = modem;
        c.phoneNumber = QStringLiteral("5551234");
        session.setConnectionSettings(c);
        session.connectLink();
    }
    bool alarm(AlarmKind kind, bool on) const {
        return std::any_of(alarms.begin(), alarms.end(),
                           [&](const auto& e) { return e.kind == kind && e.on == on; });
    }
};

#define START_SITE(site, ...)                                                                                \
    Site site;                                                                                               \
    if (const QString error = site.start(__VA_ARGS__); !error.isEmpty()) QFAIL(qPrintable(error))

// A transport open on a bare loopback server, its end in `*peer`.
std::unique_ptr<zel::Transport> openOn(QTcpServer& server, const QString& text, QTcpSocket** peer) {
    auto t = zel::makeNetworkTransport(text, nullptr);
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
    // Whole readings, on a plain port or through a modem on it; ser2net killed
    // and restarted is ridden out with no box; a call is hung up.
    void readingsThroughServer_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("modem");
        for (const char* kind : {"tcp", "rfc2217"}) {
            QTest::addRow("%s", kind) << QString::fromLatin1(kind) << false;
            QTest::addRow("%s modem", kind) << QString::fromLatin1(kind) << true;
        }
    }
    void readingsThroughServer() {
        QFETCH(QString, kind);
        QFETCH(bool, modem);
        START_SITE(w, modem ? QStringList{"--modem", "--dial-delay", "100"} : QStringList{});
        w.connect(kind, modem);
        QTRY_VERIFY_WITH_TIMEOUT(w.readings >= 20, 35000);
        if (modem) {
            QVERIFY(w.readings < 1000);
            w.session.disconnectLink();
            QTRY_COMPARE_WITH_TIMEOUT(w.session.linkState(), LinkState::OffLine, 10000);
            return;
        }
        w.server.kill();
        QTRY_COMPARE_WITH_TIMEOUT(w.session.linkState(), LinkState::Reconnecting, 15000);
        QVERIFY2(w.server.restart(), qPrintable(w.server.errorText()));
        const int before = w.readings;
        QTRY_VERIFY_WITH_TIMEOUT(w.readings >= before + 20, 35000);
        QVERIFY(w.readings < 1000 && w.portErrors.isEmpty());
        QVERIFY(w.alarm(AlarmKind::LinkLost, true) && w.alarm(AlarmKind::LinkLost, false));
    }

    // A failed Connect says why, each way its own.
    void failedConnectSaysWhy_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("reason");
        const quint16 free = zeltest::Ser2Net::freePort();
        for (const char* scheme : {"tcp", "rfc2217"}) {
            QTest::addRow("%s refused", scheme)
                << QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(free)
                << QStringLiteral("Connection refused by 127.0.0.1:%1").arg(free);
            QTest::addRow("%s no such host", scheme) << QStringLiteral("%1://nosuch.invalid:2000").arg(scheme)
                                                     << QStringLiteral("Host nosuch.invalid not found");
        }
        QTest::newRow("bad address") << QStringLiteral("tcp://127.0.0.1:99999") << QStringLiteral("99999");
    }
    void failedConnectSaysWhy() {
        QFETCH(QString, text);
        QFETCH(QString, reason);
        Site w;
        zel::ConnectionSettings c;
        c.directPort = text;
        w.session.setConnectionSettings(c);
        w.session.connectLink();
        QTRY_COMPARE_WITH_TIMEOUT(w.portErrors.size(), 1, 15000);
        QVERIFY2(w.portErrors.first().contains(reason), qPrintable(w.portErrors.first()));
        QCOMPARE(w.session.linkState(), LinkState::OffLine);
    }

    // No negotiation fails the open timer once; an awaited reply wakes the reader
    // once, whole, a late one is reported with what has arrived; the far end's
    // parting message is shown.
    void bareServer() {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        const QString at = QStringLiteral("127.0.0.1:%1").arg(server.serverPort());
        zel::Rfc2217Transport rfc(QString(),
                                  *zel::parseNetworkPort(QStringLiteral("rfc2217://") + at, nullptr));
        QSignalSpy failed(&rfc, &zel::Transport::failed);
        QVERIFY(rfc.openLink());
        QTRY_VERIFY(server.hasPendingConnections());
        delete server.nextPendingConnection();
        QVERIFY(!rfc.isOpen() && rfc.openTimer().isActive());
        rfc.openTimedOut();
        rfc.openTimedOut();
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.first().first().toString(),
                 at + " does not answer as an RFC 2217 server within 10 s");

        QTcpSocket* peer = nullptr;
        auto t = openOn(server, QStringLiteral("tcp://") + at, &peer);
        QVERIFY(t);
        auto* net = static_cast<zel::NetworkTransport*>(t.get());
        QSignalSpy ready(t.get(), &QIODevice::readyRead), overdue(t.get(), &zel::Transport::replyOverdue);
        QSignalSpy lost(t.get(), &zel::Transport::failed);
        const auto send = [&](const char* text) {
            peer->write(text);
            QVERIFY(peer->waitForBytesWritten(5000));
        };
        t->awaitReply(10);
        QCOMPARE(net->replyTimer().interval(), int(22 * 1.0417) + zel::NetworkTransport::ReplyNetworkSlackMs);
        for (const char* part : {"x1", "960", "40"})
            send(part);
        QTest::qWait(5);
        if (net->replyTimer().isActive()) QCOMPARE(ready.size(), 0); // unless a loaded machine ran it out
        send("181x23");
        QTRY_VERIFY(t->bytesAvailable() == 13);
        QCOMPARE(t->readAll(), QByteArray("x196040181x23"));
        QVERIFY(net->lowWater() == 1 && !net->replyTimer().isActive()); // nobody asked again
        t->awaitReply(7);
        send("0060");
        if (net->replyTimer().isActive()) net->replyTimedOut();
        QTRY_COMPARE(overdue.size(), 1);
        QCOMPARE(overdue.first().first().toInt(), 4);
        QTRY_COMPARE(t->bytesAvailable(), 4);
        send("\r\nPort's device already in use\r\n");
        peer->disconnectFromHost();
        QTRY_COMPARE(lost.size(), 1);
        QCOMPARE(lost.first().first().toString(),
                 "Connection to " + at + " lost: closed by the far end (\"Port's device already in use\")");
    }
};

ZEL_TEST(NetLinkTest)
#include "tst_netlink.moc"
