// The monitor's rules without widgets: peak flashers and their holds, the
// carrier and audio-loss alarms, beeps, selector, thresholds, speaker.
#include "support/testmain.h"

#include "core/monitor/monitormodel.h"

#include <QSignalSpy>
#include <QTimer>

using zel::AlarmKind;
using zel::MonitorModel;

class MonitorModelTest : public QObject {
    Q_OBJECT
    std::unique_ptr<MonitorModel> m;
    std::unique_ptr<QSignalSpy> beeps;

    void packet(float pos, float neg, float carrier) const {
        zel::Readings r;
        r.posPeak = pos;
        r.negPeak = neg;
        r.carrierLevel = carrier;
        m->showReadings(r);
    }
    QTimer* timer(const QString& name) const { return m->findChild<QTimer*>(name); }
    QTimer* timer(const char* name) const { return timer(QString::fromLatin1(name)); }
    // A timer's tick, through its connection.
    static void tick(QTimer* t) { QVERIFY(QMetaObject::invokeMethod(t, "timeout")); }
    // Every flasher out and its hold stopped, as their ticks leave them.
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
    void cleanup() {
        beeps.reset();
        m.reset();
    }

    // Each flasher lights at its threshold with one beep and its hold
    // started; a reading below leaves it lit until its hold tick.
    void flasherThresholds_data() {
        QTest::addColumn<int>("flasher");
        QTest::addColumn<int>("posPercent");
        QTest::addColumn<int>("negPercent");
        QTest::addColumn<float>("at"); // the first reading that lights it
        // The other flashers are kept out of reach: thresholds at 130 % and
        // readings well under the fixed ones.
        auto row = [](const char* name, MonitorModel::Flasher f, int pos, int neg, float at) {
            QTest::newRow(name) << int(f) << pos << neg << at;
        };
        row("+125%", MonitorModel::Pos125, 130, 130, 52);
        row("-100%", MonitorModel::Neg100, 130, 130, 40);
        row("POS. PK 70", MonitorModel::PosVar, 70, 130, 25);
        row("POS. PK 111", MonitorModel::PosVar, 111, 130, 46); // 45.5
        row("POS. PK 130", MonitorModel::PosVar, 130, 130, 55);
        row("NEG. PK 70", MonitorModel::NegVar, 130, 70, 25);
        row("NEG. PK 97", MonitorModel::NegVar, 130, 97, 39); // 38.5
    }
    void flasherThresholds() {
        QFETCH(int, flasher);
        QFETCH(int, posPercent);
        QFETCH(int, negPercent);
        QFETCH(float, at);
        const auto f = MonitorModel::Flasher(flasher);
        const bool positive = f == MonitorModel::PosVar || f == MonitorModel::Pos125;
        const char* names[] = {"tmrPkPosVar", "tmrPkNegVar", "tmrPkPos125", "tmrPkNeg100"};
        QTimer* hold = timer(names[f]);
        m->setPositiveThreshold(posPercent);
        m->setNegativeThreshold(negPercent);
        flashersOut();
        beeps->clear();
        QSignalSpy changed(m.get(), &MonitorModel::flasherChanged);
        auto send = [&](float value) { positive ? packet(value, 10, 40) : packet(10, value, 40); };

        send(at - 1);
        QVERIFY(!m->flasherLit(f));
        QVERIFY(!hold->isActive());
        const int beepsBelow = int(beeps->count()); // +125 % joins in at the top of the scale
        send(at);
        QVERIFY(m->flasherLit(f));
        QVERIFY(hold->isActive());
        QCOMPARE(hold->interval(), 1000);
        QCOMPARE(beeps->count(), 2 * beepsBelow + 1);
        QCOMPARE(changed.last().at(0).value<MonitorModel::Flasher>(), f);
        send(at - 1);
        QVERIFY(m->flasherLit(f));
        tick(hold);
        QVERIFY(!m->flasherLit(f));
        QVERIFY(!hold->isActive());
        QCOMPARE(changed.last().at(1).toBool(), false);
    }

    // Running timers keep their schedule: a stream of packets restarts
    // neither the audio-loss delay, a flasher's hold nor the carrier beeper.
    void runningTimersKeepTheirSchedule() {
        m->setPositiveThreshold(130);
        m->setNegativeThreshold(130);
        flashersOut();
        packet(53, 0, 30); // +125 % and the carrier alarm
        packet(0, 0, 30);  // silence
        const QList<QTimer*> timers = {timer("tmrAudio"), timer("tmrPkPos125"), timer("tmrSecBeep")};
        QList<int> first;
        for (QTimer* t : timers) {
            QVERIFY2(t->isActive(), qPrintable(t->objectName()));
            first << t->remainingTime();
        }
        QTest::qSleep(300);
        for (int n = 0; n < 5; ++n)
            packet(0, 0, 30);
        QVERIFY(timers[0]->remainingTime() <= first[0] - 250);
        for (int n = 0; n < 5; ++n)
            packet(53, 0, 30);
        for (int i = 1; i < timers.size(); ++i)
            QVERIFY2(timers[i]->remainingTime() <= first[i] - 250, qPrintable(timers[i]->objectName()));
        // Put out by its tick, a flasher lights again at once for a full second.
        m->onFlasherTimer(MonitorModel::Pos125);
        packet(53, 0, 40);
        QVERIFY(m->flasherLit(MonitorModel::Pos125));
        QVERIFY(timers[1]->remainingTime() > 900);
    }

    // Thresholds are held to 70..130; a change judges the last reading
    // again, a lit flasher waiting for its hold tick.
    void thresholdMovedUnderTheReading() {
        QSignalSpy changed(m.get(), &MonitorModel::thresholdsChanged);
        m->setPositiveThreshold(110);
        m->setNegativeThreshold(110);
        flashersOut();
        packet(30, 38, 40);
        QVERIFY(!m->flasherLit(MonitorModel::NegVar));
        m->setNegativeThreshold(96);
        QVERIFY(m->flasherLit(MonitorModel::NegVar));
        QVERIFY(timer("tmrPkNegVar")->isActive());
        QCOMPARE(beeps->count(), 1);
        QCOMPARE(changed.last(), (QVariantList{110, 96}));
        m->setNegativeThreshold(111);
        QVERIFY(m->flasherLit(MonitorModel::NegVar));

        m->setPositiveThreshold(20);
        QCOMPARE(m->positiveThreshold(), 70);
        m->setNegativeThreshold(500);
        QCOMPARE(m->negativeThreshold(), 130);
        changed.clear();
        m->setNegativeThreshold(131); // held to the same value: no change
        QCOMPARE(changed.size(), 0);

        // Disconnected: the flasher still lights, silently.
        flashersOut();
        m->setLinkOpen(false);
        beeps->clear();
        m->setPositiveThreshold(80);
        QVERIFY(m->flasherLit(MonitorModel::PosVar));
        QCOMPARE(beeps->count(), 0);
    }

    // The carrier alarm outside 36..44 with the link open, its beeper
    // sounding on each tick; back inside, both stop.
    void carrierWindow_data() {
        QTest::addColumn<float>("level");
        QTest::addColumn<bool>("alarm");
        for (auto [level, alarm] : {std::pair{0.0f, true},
                                    {35.0f, true},
                                    {36.0f, false},
                                    {44.0f, false},
                                    {45.0f, true},
                                    {55.0f, true}})
            QTest::addRow("%g", double(level)) << level << alarm;
    }
    void carrierWindow() {
        QFETCH(float, level);
        QFETCH(bool, alarm);
        QTimer* beeper = timer("tmrSecBeep");
        packet(10, 10, level);
        QCOMPARE(m->carrierAlarm(), alarm);
        QCOMPARE(beeper->isActive(), alarm);
        QCOMPARE(beeps->count(), 0); // the beeper sounds on its ticks
        if (alarm) {
            tick(beeper);
            tick(beeper);
            QCOMPARE(beeps->count(), 2);
        }
        packet(10, 10, 40);
        QVERIFY(!m->carrierAlarm());
        QVERIFY(!beeper->isActive());
    }

    void audioLoss() {
        QTimer* audio = timer("tmrAudio");
        QSignalSpy changed(m.get(), &MonitorModel::audioAlarmChanged);
        packet(0, 0, 40);
        QVERIFY(audio->isActive());
        QCOMPARE(audio->interval(), 15000);
        QVERIFY(!m->audioAlarm());
        tick(audio);
        QVERIFY(m->audioAlarm());
        QCOMPARE(beeps->count(), 2);
        QVERIFY(audio->isActive());
        // One audible peak, negative or positive, clears it.
        for (float pos : {0.0f, 1.0f}) {
            packet(pos, 1 - pos, 40);
            QVERIFY(!audio->isActive());
            QVERIFY(!m->audioAlarm());
            packet(0, 0, 40);
            QVERIFY(audio->isActive());
        }
        QCOMPARE(changed.size(), 2);
        // Link closed: the tick puts it out and stops the carrier beeper.
        packet(0, 0, 20);
        m->onAudioTimer();
        QVERIFY(timer("tmrSecBeep")->isActive());
        m->setLinkOpen(false);
        beeps->clear();
        m->onAudioTimer();
        QCOMPARE(beeps->count(), 0);
        QVERIFY(!m->audioAlarm());
        QVERIFY(!timer("tmrSecBeep")->isActive());
        QVERIFY(audio->isActive());
    }

    // With the link closed nothing beeps and the carrier alarm is out; with
    // both speaker pictures hidden (as a damaged record can leave them)
    // nothing beeps either. Muting by a click is the panel's test.
    void disconnectedOrNoSpeakerIsSilent() {
        flashersOut();
        m->setLinkOpen(false);
        packet(52, 40, 20);
        m->secBeep();
        QCOMPARE(beeps->count(), 0);
        QVERIFY(m->flasherLit(MonitorModel::Pos125));
        QVERIFY(!m->carrierAlarm());
        QVERIFY(!timer("tmrSecBeep")->isActive());
        m->setLinkOpen(true);
        m->setSpeakerShown(false, false);
        m->secBeep();
        QCOMPARE(beeps->count(), 0);
        m->toggleSpeaker(); // the "off" picture is not shown: the switch turns off
        QVERIFY(!m->speakerOnShown() && m->speakerOffShown());
    }

    // alarmEvent on each transition of an alarm or a flasher, with the
    // readings of that moment; nothing while a state holds.
    void alarmEventsOnTransitions() {
        flashersOut();
        QList<zel::AlarmEvent> events;
        connect(m.get(), &MonitorModel::alarmEvent, this, [&](const zel::AlarmEvent& e) { events << e; });
        auto kinds = [&] {
            QStringList s;
            for (const zel::AlarmEvent& e : events)
                s << QString::fromLatin1(zel::alarmKindName(e.kind)) + (e.on ? '+' : '-');
            events.clear();
            return s.join(QLatin1Char(' '));
        };
        packet(53, 10, 30);
        QCOMPARE(events.first().readings.posPeak, 53.0f);
        QVERIFY(events.first().timeMs > 0);
        QCOMPARE(kinds(), QStringLiteral("pos-variable+ pos125+ carrier-alarm+"));
        packet(53, 10, 30);
        QCOMPARE(kinds(), QString());
        packet(0, 0, 40);
        QCOMPARE(kinds(), QStringLiteral("carrier-alarm-"));
        m->onAudioTimer();
        m->onFlasherTimer(MonitorModel::Pos125);
        QCOMPARE(kinds(), QStringLiteral("audio-loss+ pos125-"));
        packet(5, 0, 40);
        QCOMPARE(kinds(), QStringLiteral("audio-loss-"));
    }
};
ZEL_TEST(MonitorModelTest)
#include "tst_monitormodel.moc"
