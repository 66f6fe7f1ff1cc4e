// Peak episodes, alarm pairs and the minute statistics the recorder keeps,
// on a clock moved by hand.
#include "support/testmain.h"

#include "core/monitor/flashers.h"
#include "core/protocol/packetdecoder.h"
#include "core/transport/programmemodel.h"
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
        QTest::newRow("+125 %") << "pos125" << readings(53, 0) << 55.f << 0;
        QTest::newRow("-100 %") << "neg100" << readings(0, 41) << 43.f << 0;
        QTest::newRow("positive variable 90 %") << "pos-variable" << readings(35, 0) << 37.f << 90;
        QTest::newRow("negative variable 80 %") << "neg-variable" << readings(0, 30) << 32.f << 80;
    }
    void aBurstIsOneEpisode() {
        QFETCH(QString, kind);
        QFETCH(zel::Readings, past);
        QFETCH(float, extremePosition);
        QFETCH(int, threshold);
        Rig rig;
        rig.recorder->setThresholds(90, 80);
        rig.link(LinkState::Connected);
        const qint64 start = rig.now;
        // Past, a short dip, past again with a higher peak: one episode.
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
        const auto episodes = rig.events(kind); // newest first
        QCOMPARE(episodes.size(), 2);
        const zel::EventRecord& e = episodes.last();
        QCOMPARE(e.monitor, "COM 2");
        QCOMPARE(QList<qint64>({e.timeMs, e.endMs, e.packets, qint64(e.extreme), e.threshold,
                                episodes.first().packets}),
                 QList<qint64>({start, lastPast, 40, qint64(extremePosition * 2 + 20), threshold, 5}));
    }

    // A running episode is on disk before it ends and is updated, not
    // duplicated; its row gone (a new file after damage), it is written afresh.
    void aRunningEpisodeIsWrittenThenUpdated() {
        Rig rig;
        rig.link(LinkState::Connected);
        rig.feed(50, readings(53, 0));
        rig.advance(400); // within the gap: still running
        QCOMPARE(rig.events("pos125").value(0).packets, 50);
        rig.feed(30, readings(54, 0));
        rig.advance(1200); // ended
        auto rows = rig.events("pos125");
        QCOMPARE(rows.size(), 1);
        QCOMPARE(std::make_pair(rows[0].packets, rows[0].extreme), std::make_pair(80, 128.0));
        rig.feed(50, readings(53, 0));
        rig.advance(400);
        rig.store.close();
        QVERIFY(rig.store.open(rig.dir.filePath("fresh.sqlite")));
        rig.feed(10, readings(54, 0));
        rig.advance(1500);
        rows = rig.events("pos125");
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0].packets, 60);
    }

    void aNewThresholdEndsTheVariableEpisode() {
        Rig rig;
        rig.recorder->setThresholds(100, 100);
        rig.link(LinkState::Connected);
        for (int threshold : {100, 105, 105}) { // 110 %; the same threshold again does not split
            rig.recorder->setThresholds(threshold, 100);
            rig.feed(10, readings(45, 0));
        }
        rig.recorder->flush();
        const auto rows = rig.events("pos-variable");
        QCOMPARE(rows.size(), 2);
        QCOMPARE(QList<int>({rows[0].threshold, rows[0].packets, rows[1].threshold}),
                 QList<int>({105, 20, 100}));
    }

    // One minute worked out by hand.
    void theMinuteMatchesAHandComputedMinute() {
        Rig rig;
        rig.recorder->setThresholds(110, 110);
        rig.link(LinkState::Connected);
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
        rig.link(LinkState::Reconnecting, "Read error");
        rig.advance(5000); // 5 s down
        rig.link(LinkState::Connected);
        rig.feed(2, readings(54, 42, 40), 100); // new episodes, more than 1 s later
        rig.advance(61'000 - (rig.now - baseMs()));
        const auto rows = rig.minutes();
        QCOMPARE(rows.size(), 2);
        const zel::MinuteRecord& m = rows[0];
        // packets, rejected, peaks (position 54 is 128 %), carrier band and
        // mean (12230 / 302), flasher packets and episodes, seconds of
        // carrier alarm, audio loss and link down.
        QCOMPARE(QList<double>({double(m.minuteMs - baseMs()), double(m.packets), double(m.rejected),
                                m.posMax.value(), m.negMax.value(), m.carrierMin.value(),
                                m.carrierMax.value(), m.carrierMean.value(), double(m.pos125Packets),
                                double(m.pos125Episodes), double(m.neg100Packets), double(m.neg100Episodes),
                                double(m.carrierAlarmS), double(m.audioLossS), double(m.linkDownS)}),
                 QList<double>({0, 302, 3, 128, 104, 35, 44, 40.5, 52, 2, 52, 2, 15, 20, 5}));
        const zel::MinuteRecord& next = rows[1];
        QCOMPARE(
            QList<qint64>({next.minuteMs - baseMs(), next.packets, next.posMax.has_value(), next.audioLossS}),
            QList<qint64>({60'000, 0, 0, 1}));
        const auto carrier = rig.events("carrier-alarm");
        QCOMPARE(carrier.size(), 2);
        QCOMPARE(QList<qint64>({carrier[1].on.value_or(false), carrier[0].on.value_or(true),
                                carrier[0].timeMs - carrier[1].timeMs}),
                 QList<qint64>({1, 0, 15'000}));
        QCOMPARE(rig.events("pos125").size(), 2);
    }

    // Link changes are events; minutes are kept only while a link is wanted.
    void linkEventsAndTheFlushTimer() {
        Rig rig;
        const QTimer& timer = rig.recorder->flushTimer();
        QVERIFY(!timer.isActive());
        rig.link(LinkState::Connected);
        QVERIFY(timer.isActive());
        rig.feed(10, readings(30, 30));
        rig.link(LinkState::Reconnecting, "Read error");
        rig.advance(2000);
        rig.link(LinkState::Connected);
        rig.advance(1000);
        rig.link(LinkState::OffLine);
        rig.advance(1000);
        QVERIFY(!timer.isActive());
        const auto minutes = rig.minutes().size();
        rig.advance(180'000);
        QCOMPARE(rig.minutes().size(), minutes);
        rig.link(LinkState::Busy, "BUSY"); // a dial outcome with the modem's words
        QVERIFY(timer.isActive());
        rig.advance(1000);
        QStringList details;
        for (const auto& e : rig.events("link"))
            details.prepend(e.detail);
        QCOMPARE(details, QStringList({"connected", "reconnecting: Read error", "connected", "off-line",
                                       "busy: BUSY"}));
    }

    // The stand-in's "day" programme brings every kind of incident within a
    // minute, through the decoder and the recorder.
    void theDayProgrammeWithinAMinute() {
        Rig rig;
        rig.recorder->setThresholds(110, 110);
        rig.link(LinkState::Connected);
        const zel::sim::DayProgramme day(3);
        double carrierOutS = 0, silentRunS = 0, longestSilenceS = 0;
        const double step = 1.0 / 96.0;
        for (double t = 0; t < 62.0; t += step) {
            const std::string packet = zel::sim::formatPacket(day.at(t));
            QVERIFY(zel::sim::isValidPacket(packet));
            const zel::Readings r = zel::decodePacket(std::string_view(packet).substr(1));
            rig.now = baseMs() + qint64(t * 1000);
            rig.recorder->onReadings(r);
            if (!zel::carrierInWindow(r.carrierLevel)) carrierOutS += step;
            silentRunS = (r.posPeak == 0 && r.negPeak == 0) ? silentRunS + step : 0;
            longestSilenceS = std::max(longestSilenceS, silentRunS);
        }
        rig.recorder->flush();
        // Past 110 %: the +125 % burst and the loud music.
        QCOMPARE(QList<qsizetype>({rig.events("pos125").size(), rig.events("neg100").size(),
                                   rig.events("pos-variable").size()}),
                 QList<qsizetype>({1, 1, 2}));
        QVERIFY(carrierOutS >= 7.5 && carrierOutS <= 8.5 && longestSilenceS > 15.5);
    }
};
ZEL_TEST(RecorderTest)
#include "tst_recorder.moc"
