// Peak episodes, alarm pairs and the minute statistics the recorder keeps,
// on a clock moved by hand.
#include "support/testmain.h"

#include "historytestsupport.h"

using namespace historytest;
using zel::AlarmKind;
using zel::LinkState;

class RecorderTest : public QObject {
    Q_OBJECT

private slots:
    void aBurstIsOneEpisode_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<zel::Readings>("past");
        QTest::addColumn<float>("extremePosition");
        QTest::addColumn<int>("threshold");
        QTest::newRow("+125 %") << QStringLiteral("pos125") << readings(53, 0) << 55.f << 0;
        QTest::newRow("-100 %") << QStringLiteral("neg100") << readings(0, 41) << 43.f << 0;
        QTest::newRow("positive variable 90 %")
            << QStringLiteral("pos-variable") << readings(35, 0) << 37.f << 90;
        QTest::newRow("negative variable 80 %")
            << QStringLiteral("neg-variable") << readings(0, 30) << 32.f << 80;
    }
    void aBurstIsOneEpisode() {
        QFETCH(QString, kind);
        QFETCH(zel::Readings, past);
        QFETCH(float, extremePosition);
        QFETCH(int, threshold);
        Rig rig;
        rig.recorder->setThresholds(90, 80);
        rig.connectLink();
        const qint64 start = rig.now;
        // 20 packets past, a dip of 10 below, 20 past with a higher peak:
        // short dips inside a burst do not split it.
        rig.feed(20, past);
        rig.feed(10, readings(10, 10));
        zel::Readings higher = past;
        (higher.posPeak > 0 ? higher.posPeak : higher.negPeak) = extremePosition;
        rig.feed(19, past);
        rig.feed(1, higher);
        const qint64 lastPast = rig.now - 10;
        rig.advance(1500);
        rig.feed(5, past); // more than a second later: a new episode
        rig.recorder->flush();

        const auto episodes = rig.events({kind});
        QCOMPARE(episodes.size(), 2);
        const zel::EventRecord& first = episodes.last(); // newest first
        QCOMPARE(first.monitor, QStringLiteral("COM 2"));
        QCOMPARE(QList<qint64>({first.timeMs, first.endMs, first.packets, qint64(first.extreme),
                                first.threshold, episodes.first().packets}),
                 QList<qint64>({start, lastPast, 40, qint64(extremePosition * 2 + 20), threshold, 5}));
    }

    // A running episode is on disk before it ends and is updated, not
    // duplicated, as it grows; its row gone (a new file after damage), it is
    // written afresh rather than lost in an update of nothing.
    void aRunningEpisodeIsWrittenThenUpdated() {
        Rig rig;
        rig.connectLink();
        rig.feed(50, readings(53, 0));
        rig.advance(400); // within the gap: still running
        QCOMPARE(rig.events({QStringLiteral("pos125")}).value(0).packets, 50);
        rig.feed(30, readings(54, 0));
        rig.advance(1200); // ended
        auto rows = rig.events({QStringLiteral("pos125")});
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0].packets, 80);
        QCOMPARE(rows[0].extreme, 128.0);
        rig.feed(50, readings(53, 0));
        rig.advance(400);
        rig.store.close();
        QVERIFY(rig.store.open(rig.dir.filePath(QStringLiteral("fresh.sqlite"))));
        rig.feed(10, readings(54, 0));
        rig.advance(1500);
        rows = rig.events({QStringLiteral("pos125")});
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0].packets, 60);
    }

    void aNewThresholdEndsTheVariableEpisode() {
        Rig rig;
        rig.recorder->setThresholds(100, 100);
        rig.connectLink();
        rig.feed(10, readings(45, 0)); // 110 %
        rig.recorder->setThresholds(105, 100);
        rig.feed(10, readings(45, 0));
        rig.recorder->setThresholds(105, 100); // unchanged: no split
        rig.feed(10, readings(45, 0));
        rig.recorder->flush();
        const auto rows = rig.events({QStringLiteral("pos-variable")});
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[0].threshold, 105);
        QCOMPARE(rows[0].packets, 20);
        QCOMPARE(rows[1].threshold, 100);
    }

    // One minute worked out by hand.
    void theMinuteMatchesAHandComputedMinute() {
        Rig rig;
        rig.recorder->setThresholds(110, 110);
        rig.connectLink();
        rig.feed(100, readings(30, 25, 40), 100); // 0-10 s
        rig.alarm(AlarmKind::Carrier, true);      // 10 s
        rig.alarm(AlarmKind::Carrier, true);      // repeated: no second row
        rig.alarm(AlarmKind::Pos125, true);       // a flasher lighting: the episodes cover it
        rig.feed(50, readings(53, 41, 35), 100);  // 10-15 s: one episode each
        for (int i = 0; i < 3; ++i)
            rig.recorder->onRejectedPacket();
        rig.feed(100, readings(20, 20, 44), 100); // 15-25 s
        rig.alarm(AlarmKind::Carrier, false);     // 25 s: 15 s of alarm
        rig.advance(15'000);                      // 40 s
        rig.alarm(AlarmKind::AudioLoss, true);    // on to the end of the minute: 20 s
        rig.feed(50, readings(0, 0, 40), 100);    // 40-45 s
        rig.link(LinkState::Reconnecting, QStringLiteral("Read error"));
        rig.advance(5000); // 5 s down
        rig.link(LinkState::Connected);
        rig.feed(2, readings(54, 42, 40), 100); // new episodes, more than 1 s later
        rig.advance(61'000 - (rig.now - baseMs()));
        const auto rows = rig.minutes();
        QCOMPARE(rows.size(), 2);
        const zel::MinuteRecord& m = rows[0];
        QCOMPARE(m.minuteMs, baseMs());
        // packets, rejected, peaks (position 54 is 128 %), carrier band and
        // mean (12230 / 302, to two places), flasher packets and episodes,
        // seconds of carrier alarm, audio loss and link down.
        QCOMPARE(QList<double>({double(m.packets), double(m.rejected), m.posMax.value(), m.negMax.value(),
                                m.carrierMin.value(), m.carrierMax.value(), m.carrierMean.value(),
                                double(m.pos125Packets), double(m.pos125Episodes), double(m.neg100Packets),
                                double(m.neg100Episodes), double(m.carrierAlarmS), double(m.audioLossS),
                                double(m.linkDownS)}),
                 QList<double>({302, 3, 128, 104, 35, 44, 40.5, 52, 2, 52, 2, 15, 20, 5}));
        const zel::MinuteRecord& next = rows[1];
        QCOMPARE(next.minuteMs, baseMs() + 60'000);
        QCOMPARE(next.packets, 0);
        QVERIFY(!next.posMax.has_value());
        QCOMPARE(next.audioLossS, 1);
        const auto carrier = rig.events({QStringLiteral("carrier-alarm")});
        QCOMPARE(carrier.size(), 2);
        QCOMPARE(carrier[1].on, std::optional<bool>(true));
        QCOMPARE(carrier[0].on, std::optional<bool>(false));
        QCOMPARE(carrier[0].timeMs - carrier[1].timeMs, 15'000);
        QCOMPARE(rig.events({QStringLiteral("pos125")}).size(), 2);
    }

    // Link changes are events; minutes are kept only while a link is wanted.
    void linkEventsAndTheFlushTimer() {
        Rig rig;
        const QTimer& timer = rig.recorder->flushTimer();
        QVERIFY(!timer.isActive());
        rig.connectLink();
        QVERIFY(timer.isActive());
        QCOMPARE(timer.interval(), 1000);
        rig.feed(10, readings(30, 30));
        rig.link(LinkState::Reconnecting, QStringLiteral("Read error"));
        rig.advance(2000);
        rig.link(LinkState::Connected);
        rig.advance(1000);
        rig.link(LinkState::OffLine);
        rig.advance(1000);
        QVERIFY(!timer.isActive());
        const int minutes = rig.minutes().size();
        rig.advance(180'000);
        QCOMPARE(rig.minutes().size(), minutes);
        QStringList details;
        for (const auto& e : rig.events({QStringLiteral("link")}))
            details.prepend(e.detail);
        QCOMPARE(details, QStringList({"connected", "reconnecting: Read error", "connected", "off-line"}));
        rig.link(LinkState::Busy, QStringLiteral("BUSY")); // a dial outcome with the modem's words
        QVERIFY(timer.isActive());
        rig.advance(1000);
        QCOMPARE(rig.events({QStringLiteral("link")}).first().detail, QStringLiteral("busy: BUSY"));
    }

    // Rows the store cannot take are kept and written once it can.
    void rowsWaitForTheStore() {
        Rig rig;
        rig.store.close();
        rig.connectLink();
        rig.feed(20, readings(53, 0));
        rig.alarm(AlarmKind::Carrier, true);
        rig.advance(2000);
        rig.advance(60'000);
        QVERIFY(rig.store.open(rig.path()));
        rig.advance(1000);
        QCOMPARE(rig.events({QStringLiteral("pos125")}).size(), 1);
        QCOMPARE(rig.events({QStringLiteral("carrier-alarm")}).size(), 1);
        QCOMPARE(rig.minutes().first().packets, 20);
    }
};
ZEL_TEST(RecorderTest)
#include "tst_recorder.moc"
