// The recorder on a clock moved by hand: episodes as the core reports them,
// alarm pairs closed when the link goes down, and minutes written in parts.
#include "support/testmain.h"

#include "core/monitor/flashers.h"
#include "core/protocol/packetdecoder.h"
#include "core/transport/programmemodel.h"
#include "gui/history/dailyreport.h"
#include "historytestsupport.h"

using namespace historytest;
using zel::AlarmKind;
using zel::LinkState;

class RecorderTest : public QObject {
    Q_OBJECT

private slots:
    // Written when it starts, completed in place when it ends; counted in
    // the minute it starts in.
    void anEpisodeIsWrittenOpenThenCompleted() {
        Rig rig;
        rig.link(LinkState::Connected);
        const qint64 start = rig.now;
        zel::Episode e;
        std::tie(e.kind, e.startMs, e.lastMs, e.packets, e.extreme, e.threshold) =
            std::tuple(AlarmKind::PosVariable, start, start, 1, 45, 105);
        rig.recorder->onEpisode(e);
        rig.advance(400);
        auto rows = rig.events("pos-variable");
        QCOMPARE(rows.size(), 1);
        QCOMPARE(std::make_pair(rows[0].packets, rows[0].detail), std::make_pair(1, QString("open")));
        e.open = false;
        std::tie(e.lastMs, e.packets, e.extreme) = std::tuple(start + 390, 40, 47);
        rig.recorder->onEpisode(e);
        rig.episode(AlarmKind::Pos125, start + 2000, 5, 54, false); // reported only at its end
        rig.advance(1000);
        rows = rig.events("pos-variable");
        QCOMPARE(rows.size(), 1);
        QCOMPARE(QList<qint64>({rows[0].timeMs, rows[0].endMs, rows[0].packets, qint64(rows[0].extreme),
                                rows[0].threshold, rows[0].detail.isEmpty()}),
                 QList<qint64>({start, start + 390, 40, 114, 105, 1}));
        QCOMPARE(rig.events("pos125").value(0).extreme, 128.0);
        rig.advance(60'000);
        QCOMPARE(rig.minutes().value(0).pos125Episodes, 1);
    }

    // One minute worked out by hand.
    void theMinuteMatchesAHandComputedMinute() {
        Rig rig;
        rig.link(LinkState::Connected);
        rig.feed(100, readings(30, 25, 40), 100); // 0-10 s
        rig.alarm(AlarmKind::Carrier, true);      // 10 s
        rig.alarm(AlarmKind::Carrier, true);      // repeated: no second row
        rig.alarm(AlarmKind::Pos125, true);       // a flasher lighting: the episodes cover it
        rig.episode(AlarmKind::Pos125, rig.now, 50, 53, true);
        rig.episode(AlarmKind::Neg100, rig.now, 50, 41, true);
        rig.feed(50, readings(53, 41, 35), 100); // 10-15 s
        for (int i = 0; i < 3; ++i)
            rig.recorder->onRejectedPacket();
        rig.feed(100, readings(20, 20, 44), 100); // 15-25 s
        rig.alarm(AlarmKind::Carrier, false);     // 25 s: 15 s of alarm
        rig.advance(15'000);                      // 40 s
        rig.alarm(AlarmKind::AudioLoss, true);    // until the link goes: 5 s
        rig.feed(50, readings(0, 0, 40), 100);    // 40-45 s
        rig.link(LinkState::Reconnecting, "Read error");
        rig.advance(5000); // 5 s down
        rig.link(LinkState::Connected);
        rig.feed(2, readings(54, 42, 40), 100);
        rig.advance(61'000 - (rig.now - baseMs()));
        const auto rows = rig.minutes();
        QCOMPARE(rows.size(), 2);
        const zel::MinuteRecord& m = rows[0];
        // packets, rejected, peaks (position 54 is 128 %), carrier band and
        // mean (12230 / 302), flasher packets and episodes, seconds of
        // carrier alarm, audio loss, link down and up.
        QCOMPARE(
            QList<double>({double(m.minuteMs - baseMs()), double(m.packets), double(m.rejected),
                           m.posMax.value(), m.negMax.value(), m.carrierMin.value(), m.carrierMax.value(),
                           m.carrierMean.value(), double(m.pos125Packets), double(m.pos125Episodes),
                           double(m.neg100Packets), double(m.neg100Episodes), double(m.carrierAlarmS),
                           double(m.audioLossS), double(m.linkDownS), double(m.upS.value_or(-1))}),
            QList<double>({0, 302, 3, 128, 104, 35, 44, 40.5, 52, 1, 52, 1, 15, 5, 5, 55}));
        const zel::MinuteRecord& next = rows[1];
        QCOMPARE(QList<qint64>({next.minuteMs - baseMs(), next.packets, next.posMax.has_value(),
                                next.audioLossS, *next.upS}),
                 QList<qint64>({60'000, 0, 0, 0, 1}));
        const auto carrier = rig.events("carrier-alarm");
        QCOMPARE(carrier.size(), 2);
        QCOMPARE(QList<qint64>({carrier[1].on.value_or(false), carrier[0].on.value_or(true),
                                carrier[0].timeMs - carrier[1].timeMs}),
                 QList<qint64>({1, 0, 15'000}));
    }

    // A reconnect within the minute and a second run in it: the row holds
    // the sum, the maximum and the minimum of every part.
    void aMinuteWrittenInPartsAddsUp() {
        Rig rig;
        rig.link(LinkState::Connected);
        rig.feed(500, readings(53, 10, 38), 10); // past +125 %
        rig.advance(100);
        rig.store.sync(); // each part on file before the next
        rig.link(LinkState::Reconnecting, "Read error");
        rig.link(LinkState::Connected);
        rig.feed(500, readings(54, 10, 41), 10);
        rig.advance(100);
        rig.store.sync();
        rig.link(LinkState::OffLine);
        rig.store.sync();
        {
            zel::Recorder second(&rig.store, "COM 2"); // another run, same minute
            second.setClock([&rig] { return rig.now; });
            second.onLinkEvent({LinkState::Connected, rig.now, {}});
            for (int i = 0; i < 100; ++i, rig.now += 10)
                second.onReadings(readings(30, 10, 37));
            second.tick();
        }
        const auto rows = rig.minutes();
        QCOMPARE(rows.size(), 1);
        QCOMPARE(QList<double>({double(rows[0].packets), double(rows[0].pos125Packets), *rows[0].posMax,
                                *rows[0].carrierMin, *rows[0].carrierMax}),
                 QList<double>({1100, 1000, 128, 37, 41}));
    }

    // Link changes are events; minutes are kept only while a link is wanted.
    void linkEventsAndTheFlushTimer() {
        Rig rig;
        const QTimer& timer = rig.recorder->flushTimer();
        QVERIFY(!timer.isActive());
        rig.link(LinkState::Connected);
        QVERIFY(timer.isActive());
        rig.feed(10, readings(30, 30));
        rig.link(LinkState::Reconnecting, "Read error\x1b[2J");
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
        QCOMPARE(details, QStringList({"connected", "reconnecting: Read error\\x1b[2J", "connected",
                                       "off-line", "busy: BUSY"}));
    }

    // The link going down closes every alarm and episode open at that
    // moment, with the reason; the day's report then adds up: its spans to
    // its totals, its time monitored to the time the link was up.
    void theLinkGoingDownClosesWhatIsOpen() {
        Rig rig;
        rig.link(LinkState::Connected);
        rig.feed(100, readings(30, 30, 33), 100); // 0-10 s
        rig.alarm(AlarmKind::Carrier, true);      // 10 s
        rig.alarm(AlarmKind::AudioLoss, true);    // 10 s
        rig.alarm(AlarmKind::LinkLost, true);     // stays on through a loss
        const zel::Episode open = rig.episode(AlarmKind::Pos125, rig.now, 1, 53, true);
        rig.feed(80, readings(53, 30, 33), 100); // 10-18 s
        rig.link(LinkState::Reconnecting, "Read error");
        rig.advance(12'000); // 30 s
        zel::Episode late = open;
        std::tie(late.open, late.packets) = std::tuple(false, 80);
        rig.recorder->onEpisode(late); // the core closes it later: already closed
        rig.link(LinkState::Connected);
        rig.alarm(AlarmKind::Carrier, false); // an off for an alarm already closed: nothing
        rig.alarm(AlarmKind::Carrier, true);  // 30 s
        rig.feed(50, readings(30, 30, 33), 100);
        rig.alarm(AlarmKind::Carrier, false); // 35 s
        rig.advance(2000);
        rig.link(LinkState::OffLine); // 37 s
        const auto offs = rig.events("carrier-alarm");
        QCOMPARE(offs.size(), 4);
        QCOMPARE(std::make_pair(offs[2].on.value(), offs[2].detail),
                 std::make_pair(false, QString("closed: reconnecting: Read error")));
        QCOMPARE(offs[2].timeMs - baseMs(), 18'000);
        const auto episode = rig.events("pos125");
        QCOMPARE(episode.size(), 1);
        QCOMPARE(episode[0].detail, "closed: reconnecting: Read error");
        QCOMPARE(rig.events("link-lost").size(), 2); // closed by the disconnect
        QCOMPARE(rig.events("link-lost").value(0).timeMs - baseMs(), 37'000);

        const zel::MinuteRecord m = rig.minutes().value(0);
        QCOMPARE(QList<int>({m.carrierAlarmS, m.audioLossS, m.linkDownS, m.upS.value_or(-1)}),
                 QList<int>({13, 8, 12, 25}));
        const zel::DailySummary day = zel::summarizeDay(
            rig.store, QDateTime::fromMSecsSinceEpoch(baseMs()).date(), {}, baseMs() + 3600'000);
        qint64 spans = 0;
        for (const zel::AlarmSpan& a : day.alarms)
            spans += a.kind == "carrier-alarm" ? a.durationMs : 0;
        QCOMPARE(QList<qint64>({spans, day.alarmMs.value("carrier-alarm"), day.alarmMs.value("audio-loss"),
                                day.upS, day.downS}),
                 QList<qint64>({13'000, 13'000, 8'000, 25, 12}));
    }

    // A text the program refused never becomes a monitor; a port that would
    // not open is an event of the monitor that tried it.
    void portErrorsAndNamelessMonitors() {
        Rig rig;
        for (const QString& name : {QString(), QString("  ")}) {
            zel::Recorder nameless(&rig.store, name);
            nameless.onPortError("No such file");
            nameless.onLinkEvent({LinkState::OffLine, rig.now, "bad port"});
            nameless.onReadings(readings(30, 30));
            nameless.flush();
        }
        rig.recorder->onPortError("Permission denied\r\n\x1b]0;x\x07");
        rig.advance(1000);
        const auto errors = rig.events("port-error");
        QCOMPARE(rig.store.monitors(), QStringList({"COM 2"}));
        QCOMPARE(errors.size(), 1);
        QCOMPARE(errors[0].detail, "Permission denied\\r\\n\\x1b]0;x\\x07");
    }

    // Before the first packet there are no readings to give.
    void noReadingsBeforeTheFirstPacket() {
        Rig rig;
        rig.link(LinkState::Connected);
        rig.alarm(AlarmKind::NoData, true);
        rig.feed(1, readings(30, 25, 40));
        rig.alarm(AlarmKind::NoData, false);
        rig.advance(1000);
        const auto link = rig.events("link");
        QVERIFY(link.size() == 1 && !link[0].posPercent && !link[0].negPercent && !link[0].carrier);
        const auto noData = rig.events("no-data");
        QVERIFY(noData.size() == 2 && !noData[1].carrier && noData[0].carrier);
    }

    // The stand-in's "day" programme brings a carrier dip and a silence long
    // enough for their alarms within a minute (its overmodulation is checked
    // through a whole station).
    void theDayProgrammeWithinAMinute() {
        const zel::sim::DayProgramme day(3);
        double carrierOutS = 0, silentRunS = 0, longestSilenceS = 0;
        const double step = 1.0 / 96.0;
        for (double t = 0; t < 60.0; t += step) {
            const std::string packet = zel::sim::formatPacket(day.at(t));
            QVERIFY(zel::sim::isValidPacket(packet));
            const zel::Readings r = zel::decodePacket(std::string_view(packet).substr(1));
            if (!zel::carrierInWindow(r.carrierLevel)) carrierOutS += step;
            silentRunS = (r.posPeak == 0 && r.negPeak == 0) ? silentRunS + step : 0;
            longestSilenceS = std::max(longestSilenceS, silentRunS);
        }
        QVERIFY(carrierOutS >= 7.5 && carrierOutS <= 8.5 && longestSilenceS > 15.5);
    }
};
ZEL_TEST(RecorderTest)
#include "tst_recorder.moc"
