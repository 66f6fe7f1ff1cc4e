// The monitor's rules without widgets: the bar graph's peak hold, the peak
// flashers and their holds, the carrier and audio-loss alarms and the beeps.
#include "core/monitor/bargraph.h"
#include "core/monitor/monitormodel.h"
#include "support/testmain.h"

#include <QSignalSpy>
#include <QTimer>

using zel::BarGraph;
using zel::MonitorModel;

namespace {
constexpr int Clear = -100; // in a sequence of bar updates: clear()
QList<int> run(int value, int times) {
    return QList<int>(times, value);
}
} // namespace

class MonitorTest : public QObject {
    Q_OBJECT
    std::unique_ptr<MonitorModel> m;
    std::unique_ptr<QSignalSpy> beeps;

    void packet(float pos, float neg, float carrier) const { m->showReadings({pos, neg, carrier}); }
    QTimer* timer(const char* name) const { return m->findChild<QTimer*>(QString::fromLatin1(name)); }
    static void tick(QTimer* t) { QVERIFY(QMetaObject::invokeMethod(t, "timeout")); }
    void flashersOut() const {
        for (int f = 0; f < MonitorModel::FlasherCount; ++f)
            m->onFlasherTimer(MonitorModel::Flasher(f));
    }

private slots:
    void init() {
        m = std::make_unique<MonitorModel>();
        m->setLinkOpen(true);
        beeps = std::make_unique<QSignalSpy>(m.get(), &MonitorModel::beep);
    }
    void cleanup() { beeps.reset(), m.reset(); }

    // After the updates: segments 1..bar lit and the one marker (0: none).
    void barPeakHold_data() {
        QTest::addColumn<QList<int>>("updates");
        QTest::addColumn<int>("bar");
        QTest::addColumn<int>("marker");
        using L = QList<int>;
        QTest::newRow("fall") << L{1, 40, 55, 12} << 12 << 55;
        QTest::newRow("equal values hold") << run(50, 1000) << 50 << 50;
        QTest::newRow("24 below") << L{30, 50} + run(20, 24) << 20 << 50;
        QTest::newRow("released on the 25th") << L{30, 50} + run(20, 25) << 20 << 20;
        QTest::newRow("reaching the hold restarts") << L{40} + run(10, 20) + L{40} + run(10, 24) << 10 << 40;
        QTest::newRow("released at 0") << L{20} + run(0, 25) << 0 << 0;
        QTest::newRow("sound after silence") << L{20} + run(0, 125) + L{3} << 3 << 3;
        QTest::newRow("clear") << L{45, 30, Clear} << 0 << 0;
        QTest::newRow("clear, then below the hold") << L{45, 30, Clear, 30} << 30 << 0;
        QTest::newRow("clear, then reaching it") << L{45, 30, Clear, 30, 45} << 45 << 45;
        QTest::newRow("beyond the scale") << L{80, -5} << 0 << 55;
    }
    void barPeakHold() {
        QFETCH(QList<int>, updates);
        QFETCH(int, bar);
        QFETCH(int, marker);
        BarGraph graph;
        for (int v : updates)
            v == Clear ? graph.clear() : graph.update(v);
        for (int i = 0; i < BarGraph::Elements; ++i) {
            QVERIFY2(graph.leds()[i] == (i >= 1 && i <= bar),
                     qPrintable(QStringLiteral("segment %1").arg(i)));
            QVERIFY2(graph.dots()[i] == (i == marker && i > 0),
                     qPrintable(QStringLiteral("marker %1").arg(i)));
        }
    }

    // Each flasher lights at its threshold with a beep and stays lit until its 1 s hold ticks.
    void flasherThresholds_data() {
        QTest::addColumn<int>("flasher");
        QTest::addColumn<int>("percent"); // the threshold on its side, the other at 130
        QTest::addColumn<float>("at");
        QTest::newRow("+125%") << int(MonitorModel::Pos125) << 130 << 52.f;
        QTest::newRow("-100%") << int(MonitorModel::Neg100) << 130 << 40.f;
        QTest::newRow("POS 70") << int(MonitorModel::PosVar) << 70 << 25.f;
        QTest::newRow("POS 111") << int(MonitorModel::PosVar) << 111 << 46.f; // 45.5
        QTest::newRow("NEG 97") << int(MonitorModel::NegVar) << 97 << 39.f;   // 38.5
    }
    void flasherThresholds() {
        QFETCH(int, flasher);
        QFETCH(int, percent);
        QFETCH(float, at);
        const auto f = MonitorModel::Flasher(flasher);
        const bool positive = f == MonitorModel::PosVar || f == MonitorModel::Pos125;
        const char* names[] = {"tmrPkPosVar", "tmrPkNegVar", "tmrPkPos125", "tmrPkNeg100"};
        QTimer* hold = timer(names[f]);
        m->setPositiveThreshold(positive ? percent : 130);
        m->setNegativeThreshold(positive ? 130 : percent);
        flashersOut();
        beeps->clear();
        QSignalSpy changed(m.get(), &MonitorModel::flasherChanged);
        auto send = [&](float value) { positive ? packet(value, 10, 40) : packet(10, value, 40); };
        send(at - 1);
        QVERIFY(!m->flasherLit(f) && !hold->isActive());
        const int beepsBelow = int(beeps->count()); // +125 % joins in at the top of the scale
        send(at);
        QVERIFY(m->flasherLit(f) && hold->isActive() && hold->interval() == 1000);
        QCOMPARE(beeps->count(), 2 * beepsBelow + 1);
        QCOMPARE(changed.last().at(0).value<MonitorModel::Flasher>(), f);
        send(at - 1);
        QVERIFY(m->flasherLit(f));
        tick(hold);
        QVERIFY(!m->flasherLit(f) && !hold->isActive());
    }

    // Packets restart neither the audio-loss delay, a flasher's hold nor the carrier beeper.
    void runningTimersKeepTheirSchedule() {
        m->setPositiveThreshold(130);
        m->setNegativeThreshold(130);
        flashersOut();
        packet(53, 0, 30); // +125 % and the carrier alarm
        packet(0, 0, 30);  // silence
        const QList<QTimer*> timers = {timer("tmrAudio"), timer("tmrPkPos125"), timer("tmrSecBeep")};
        QList<int> first;
        for (QTimer* t : timers)
            first << t->remainingTime();
        QTest::qSleep(120);
        for (int n = 0; n < 5; ++n)
            packet(0, 0, 30);
        QVERIFY(timers[0]->remainingTime() <= first[0] - 100);
        for (int n = 0; n < 5; ++n)
            packet(53, 0, 30);
        for (int i = 1; i < timers.size(); ++i)
            QVERIFY2(timers[i]->remainingTime() <= first[i] - 100, qPrintable(timers[i]->objectName()));
    }

    // Thresholds are held to 70..130; a change judges the last reading again.
    void thresholdMovedUnderTheReading() {
        QSignalSpy changed(m.get(), &MonitorModel::thresholdsChanged);
        m->setPositiveThreshold(110);
        m->setNegativeThreshold(110);
        flashersOut();
        packet(30, 38, 40);
        QVERIFY(!m->flasherLit(MonitorModel::NegVar));
        m->setNegativeThreshold(96);
        QVERIFY(m->flasherLit(MonitorModel::NegVar) && beeps->count() == 1);
        QCOMPARE(changed.last(), (QVariantList{110, 96}));
        m->setPositiveThreshold(20);
        m->setNegativeThreshold(500);
        changed.clear();
        m->setNegativeThreshold(131);
        QVERIFY(m->positiveThreshold() == 70 && m->negativeThreshold() == 130 && changed.isEmpty());
        // Disconnected: the flasher still lights, silently.
        flashersOut();
        m->setLinkOpen(false);
        beeps->clear();
        m->setPositiveThreshold(80);
        QVERIFY(m->flasherLit(MonitorModel::PosVar) && beeps->count() == 0);
    }

    void audioLoss() {
        QTimer* audio = timer("tmrAudio");
        packet(0, 0, 40);
        QVERIFY(audio->isActive() && audio->interval() == 15000 && !m->audioAlarm());
        tick(audio);
        QVERIFY(m->audioAlarm() && beeps->count() == 2);
        // One audible peak, negative or positive, clears it.
        for (float pos : {0.0f, 1.0f}) {
            packet(pos, 1 - pos, 40);
            QVERIFY(!audio->isActive() && !m->audioAlarm());
            packet(0, 0, 40);
            QVERIFY(audio->isActive());
        }
        // Link closed: the tick puts it out silently and stops the carrier beeper.
        packet(0, 0, 20);
        m->onAudioTimer();
        m->setLinkOpen(false);
        beeps->clear();
        m->onAudioTimer();
        QVERIFY(beeps->count() == 0 && !m->audioAlarm() && !timer("tmrSecBeep")->isActive());
        // Closed or with both speaker pictures hidden, nothing beeps.
        packet(52, 40, 20);
        m->secBeep();
        QVERIFY(m->flasherLit(MonitorModel::Pos125) && !m->carrierAlarm());
        m->setLinkOpen(true);
        m->setSpeakerShown(false, false);
        m->secBeep();
        QVERIFY(beeps->isEmpty());
        m->toggleSpeaker();
        QVERIFY(!m->speakerOnShown() && m->speakerOffShown());
    }

    // alarmEvent on each transition, with that moment's readings; the carrier alarm outside 36..44,
    // its beeper sounding on each tick.
    void alarmEventsOnTransitions() {
        flashersOut();
        QStringList events;
        float pos = -1;
        connect(m.get(), &MonitorModel::alarmEvent, this, [&](const zel::AlarmEvent& e) {
            events << QString::fromLatin1(zel::alarmKindName(e.kind)) + (e.on ? '+' : '-');
            pos = e.readings.posPeak;
        });
        auto take = [&] { return std::exchange(events, {}).join(QLatin1Char(' ')); };
        QTimer* beeper = timer("tmrSecBeep");
        for (auto [level, alarm] : {std::pair{35.0f, true}, {36.0f, false}, {44.0f, false}, {45.0f, true}}) {
            packet(10, 10, level);
            QVERIFY2(m->carrierAlarm() == alarm && beeper->isActive() == alarm,
                     qPrintable(QString::number(level)));
        }
        QCOMPARE(take(), "carrier-alarm+ carrier-alarm- carrier-alarm+");
        QVERIFY(beeps->isEmpty());
        tick(beeper);
        QCOMPARE(beeps->count(), 1);
        packet(53, 10, 30);
        QCOMPARE(take() + QString::number(pos), "pos-variable+ pos125+53");
        packet(53, 10, 30);
        QCOMPARE(take(), QString());
        packet(0, 0, 40);
        QVERIFY(!beeper->isActive());
        m->onAudioTimer();
        m->onFlasherTimer(MonitorModel::Pos125);
        QCOMPARE(take(), "carrier-alarm- audio-loss+ pos125-");
        packet(5, 0, 40);
        QCOMPARE(take(), "audio-loss-");
    }
};
ZEL_TEST(MonitorTest)
#include "tst_monitor.moc"
