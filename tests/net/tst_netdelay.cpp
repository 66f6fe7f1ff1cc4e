// The poll across a slow network: the stand-in on a pseudo-terminal, ser2net
// in front of it, a delaying relay in front of that, and a session polling
// through the relay.
#include "core/link/linkcontroller.h"
#include "core/session/monitorsession.h"
#include "core/transport/alarm.h"
#include "netrelay.h"
#include "support/ser2net.h"
#include "support/simprocess.h"
#include "support/testmain.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

using zel::AlarmKind;
using zel::LinkController;

namespace {

// What the stand-in, ser2net and the relay add to a round trip: a few
// milliseconds, tens on a loaded machine. A depth that fed on its own
// queueing would run far past it.
constexpr int HostSlackMs = 50;

struct Reply {
    qint64 ns;
    QByteArray packet;
};

struct DelayedSite {
    QTemporaryDir dir;
    zeltest::SimProcess sim;
    zeltest::Ser2Net server;
    zelrelay::NetRelay relay;
    zel::MonitorSession session;
    QByteArray received;        // every read, in order
    QList<qsizetype> expected;  // the packets due a reading: each of a read, or a backlog's newest
    QList<QByteArray> readings; // the packet behind each reading
    QList<std::pair<int, double>> stats;
    QList<zel::AlarmEvent> alarms;

    QString logPath() const { return dir.filePath(QStringLiteral("sim.log")); }

    QString start(int rttMs) {
        const QString device = dir.filePath(QStringLiteral("monitor"));
        if (!sim.start({QStringLiteral("--log"), logPath(), QStringLiteral("--link"), device}))
            return sim.errorText();
        if (!server.start(device)) return server.errorText();
        if (!relay.listen(server.tcpPort())) return QStringLiteral("the relay cannot listen");
        relay.setDelay(rttMs / 2);
        LinkController* link = session.link();
        QObject::connect(link, &LinkController::rawRead, &session, [this](const QByteArray& read) {
            // Index of each packet in the stream; the stream is whole packets.
            const qsizetype first = received.size() / 10, last = (received.size() + read.size()) / 10;
            received += read;
            for (qsizetype i = last - first > LinkController::MaxPacketsPerRead ? last - 1 : first; i < last;
                 ++i)
                expected.append(i);
        });
        QObject::connect(link, &LinkController::readingsReceived, &session,
                         [this, link] { readings.append(QByteArray(link->lastPacket().data(), 9)); });
        QObject::connect(link, &LinkController::pollStatsChanged, &session, [this](int depth, double rtt) {
            stats.append({depth, rtt});
        });
        QObject::connect(&session, &zel::MonitorSession::alarmEvent, &session,
                         [this](const zel::AlarmEvent& e) { alarms.append(e); });
        zel::ConnectionSettings c;
        c.directPort = relay.tcpText();
        session.setConnectionSettings(c);
        session.connectLink();
        return {};
    }

    // The stand-in's replies, each as sent ("x" and nine digits).
    QList<Reply> logged() const {
        QList<Reply> out;
        QFile f(logPath());
        if (!f.open(QIODevice::ReadOnly)) return out;
        for (const QByteArray& line : f.readAll().split('\n')) {
            const QList<QByteArray> fields = line.split(' ');
            if (fields.size() >= 3 && fields[2] == "ok") out.append({fields[0].toLongLong(), fields[1]});
        }
        return out;
    }

    // Every reply the stand-in sent arrived, in order, none twice, and each
    // gave its reading; of a backlog read at once, only the newest.
    void verifyOneForOne() {
        session.disconnectLink();
        QTest::qWait(300); // the log has every reply that was on its way
        const QList<Reply> sent = logged();
        QVERIFY(received.size() >= 10 * 50);
        QVERIFY(sent.size() >= received.size() / 10);
        for (qsizetype i = 0; i < received.size() / 10; ++i)
            QCOMPARE(received.mid(10 * i, 10), sent[i].packet);
        QCOMPARE(readings.size(), expected.size());
        for (qsizetype i = 0; i < readings.size(); ++i)
            QCOMPARE("x" + readings[i], sent[expected[i]].packet);
    }
};

#define START_SITE(site, rtt)                                                                                \
    DelayedSite site;                                                                                        \
    if (const QString error = site.start(rtt); !error.isEmpty()) QFAIL(qPrintable(error))

} // namespace

class NetDelayTest : public QObject {
    Q_OBJECT
private slots:
    // Through the relay every reply is read, in order; the depth follows
    // the round trip, no deeper than it needs, and back down when it falls.
    void readingsOneForOne_data() {
        QTest::addColumn<int>("rttMs");
        QTest::newRow("0 ms") << 0;
        QTest::newRow("50 ms") << 50;
        QTest::newRow("150 ms") << 150;
    }
    void readingsOneForOne() {
        QFETCH(int, rttMs);
        START_SITE(w, rttMs);
        LinkController* link = w.session.link();
        QTRY_VERIFY_WITH_TIMEOUT(w.readings.size() >= 300, 30000);
        // Measured, it is never short of the relay's delay, and not much
        // more on a busy machine either.
        QVERIFY2(link->roundTripMs() >= rttMs && link->roundTripMs() < rttMs + HostSlackMs,
                 qPrintable(QString::number(link->roundTripMs())));
        QCOMPARE(link->pollDepth(), LinkController::pollDepthFor(link->roundTripMs()));
        QVERIFY(link->pollDepth() >= LinkController::pollDepthFor(rttMs));
        for (const auto& [depth, rtt] : w.stats)
            QVERIFY2(depth <= LinkController::pollDepthFor(rttMs + HostSlackMs) && (rtt < 0 || rtt >= rttMs),
                     qPrintable(QStringLiteral("depth %1 at %2 ms").arg(depth).arg(rtt)));
        w.relay.setDelay(0);
        // Measured again every 200 replies: a slow machine (a sanitizer build)
        // takes several rounds.
        QTRY_COMPARE_WITH_TIMEOUT(link->pollDepth(), LinkController::DirectPollDepth, 60000);
        w.verifyOneForOne();
    }

    // A stall: No Data once, then back with the first replies through; what
    // the relay held comes as one read, not as a burst of old readings.
    void stallThenResume() {
        START_SITE(w, 50);
        w.session.link()->setNoDataTimeout(1000);
        QTRY_VERIFY_WITH_TIMEOUT(w.readings.size() >= 100, 20000);
        w.relay.setStalled(true);
        QTRY_VERIFY_WITH_TIMEOUT(w.session.link()->noData(), 3000);
        QTest::qWait(3000 - 1000);
        const qint64 resumed = zel::Alarm::nowNs();
        const qsizetype before = w.readings.size();
        w.relay.setStalled(false);
        QTRY_VERIFY_WITH_TIMEOUT(!w.session.link()->noData(), 2000);
        QTRY_VERIFY_WITH_TIMEOUT(w.readings.size() >= before + 100, 20000);
        QList<bool> noData;
        for (const auto& e : w.alarms)
            if (e.kind == AlarmKind::NoData) noData.append(e.on);
        QCOMPARE(noData, QList<bool>({true, false}));
        QVERIFY(!std::any_of(w.alarms.begin(), w.alarms.end(),
                             [](const auto& e) { return e.kind == AlarmKind::LinkLost; }));
        // Readings of replies sent before the relay resumed, shown after.
        w.verifyOneForOne();
        const QList<Reply> sent = w.logged();
        int stale = 0;
        for (qsizetype i = before; i < w.readings.size(); ++i)
            stale += sent[w.expected[i]].ns < resumed;
        QVERIFY2(stale <= 2, qPrintable(QString::number(stale)));
    }
};

ZEL_TEST(NetDelayTest)
#include "tst_netdelay.moc"
