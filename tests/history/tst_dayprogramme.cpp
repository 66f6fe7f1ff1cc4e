// The stand-in's "day" programme brings every kind of incident within a
// minute: checked through the decoder and a real recorder.
#include "support/testmain.h"

#include "core/monitor/flashers.h"
#include "core/transport/programmemodel.h"
#include "historytestsupport.h"

using namespace historytest;

class DayProgrammeTest : public QObject {
    Q_OBJECT

private slots:
    void everyIncidentWithinAMinute() {
        Rig rig;
        rig.recorder->setThresholds(110, 110);
        rig.link(zel::LinkState::Connected);
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
        rig.advance(2000);
        rig.recorder->flush();
        // Past 110 %: the +125 % burst and the loud music.
        QCOMPARE(QList<qsizetype>({rig.events("pos125").size(), rig.events("neg100").size(),
                                   rig.events("pos-variable").size()}),
                 QList<qsizetype>({1, 1, 2}));
        QVERIFY(carrierOutS >= 7.5 && carrierOutS <= 8.5);
        QVERIFY(longestSilenceS > 15.5);
    }
};
ZEL_TEST(DayProgrammeTest)
#include "tst_dayprogramme.moc"
