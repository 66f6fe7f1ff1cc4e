// The indicator procedures driven through the real main window: widgets are
// found by name, timers are checked for state and schedule, and beeps are
// counted from beeped().
#include "gui/frmzelmain.h"
#include "gui/indicator.h"
#include "support/fakeserial.h"
#include "support/testmain.h"
#include "support/testsupport.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTimer>
#include <QWindow>
#include <memory>

namespace {

const QColor Red(255, 0, 0);
const QColor Yellow(255, 255, 0);
const QColor RedOut(195, 160, 160);
const QColor YellowOut(208, 208, 144);

} // namespace

class PanelWindowTest : public QObject {
    Q_OBJECT
    FakeSerial* port = nullptr;
    std::unique_ptr<FrmZelMain> w;
    std::unique_ptr<QSignalSpy> beeps;

    template <class T = QWidget> T* get(const QString& name) const {
        auto* found = w->findChild<T*>(name);
        if (!found) qFatal("no control %s", qPrintable(name));
        return found;
    }
    QColor color(const QString& name) const { return get(name)->property("fillColor").value<QColor>(); }
    bool shown(const QString& name) const { return !get(name)->isHidden(); }
    // A bar segment or marker is "shown" when it is lit: see Indicator.
    bool lit(const QString& name) const { return shown(name) && get(name)->property("lit").toBool(); }

    // What the decoder does with a packet.
    void packet(float pos, float neg, float carrier) const {
        w->PosPeak = pos;
        w->NegPeak = neg;
        w->CarrierLevel = carrier;
        w->PeakUpdate();
        w->BarUpdate();
    }
    void setThresholds(int pos, int neg) const {
        w->vsbPkPosLed->setValue(pos);
        w->vsbPkNegLed->setValue(neg);
    }
    // Puts every flasher out and stops its hold timer, as their ticks do.
    void flashersOut() const {
        for (auto tick : {&FrmZelMain::tmrPkPos125_Timer, &FrmZelMain::tmrPkNeg100_Timer,
                          &FrmZelMain::tmrPkPosVar_Timer, &FrmZelMain::tmrPkNegVar_Timer})
            (w.get()->*tick)();
    }
    // Bar segments 1..value shown, the rest hidden.
    bool barShows(int value) const {
        for (int i = 1; i <= 56; ++i)
            if (lit(QStringLiteral("picLed(%1)").arg(i)) != (i <= value)) return false;
        return true;
    }
    // The one marker shown, 0 for none, -1 for more than one.
    int marker() const {
        int found = 0;
        for (int i = 0; i <= 56; ++i) {
            if (!lit(QStringLiteral("picDot(%1)").arg(i))) continue;
            if (found) return -1;
            found = i;
        }
        return found;
    }

private slots:
    // A window with a settings file in place; the port opens after start-up,
    // as Connect would open it.
    void init() {
        zeltest::writeSettingsFile(zeltest::sampleRecord());
        port = new FakeSerial;
        w = std::make_unique<FrmZelMain>(port);
        port->setOpenState(true);
        beeps = std::make_unique<QSignalSpy>(w.get(), &FrmZelMain::beeped);
    }
    void cleanup() {
        beeps.reset();
        w.reset();
    }

    // The widgets mirror the bar graph, and a packet touches only those
    // whose state changes.
    void barAndMarkerOnTheWidgets() {
        int switched = 0;
        for (int i = 0; i <= 56; ++i)
            for (Indicator* e : {w->picLed[i], w->picDot[i]})
                connect(e, &Indicator::litChanged, this, [&switched] { ++switched; });
        auto step = [&](float value, int marked, int changes) {
            switched = 0;
            packet(value, 0, 40);
            QVERIFY2(barShows(int(value)), qPrintable(QString::number(value)));
            QCOMPARE(marker(), marked);
            QCOMPARE(switched, changes);
        };
        step(40, 40, 41); // 40 segments and the marker
        step(40, 40, 0);
        step(41, 41, 3);  // segment 41 on, marker 40 off, 41 on
        step(38, 41, 3);  // segments 41, 40, 39 off
        step(55, 55, 19); // segments 39..55 on, marker 41 off, 55 on
    }

    // A dark segment looks exactly like a hidden one: the band beneath shows.
    void darkSegmentShowsWhatIsBeneath() {
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        packet(40, 0, 40);
        Indicator* dark = w->picLed[45];
        Indicator* lit = w->picLed[30];
        QWidget* panel = dark->parentWidget();
        auto look = [panel](const QWidget* seg) { return panel->grab(seg->geometry()).toImage(); };
        const QImage asDark = look(dark);
        // Its marker shares its place and is dark too.
        dark->hide();
        w->picDot[45]->hide();
        const QImage asHidden = look(dark);
        dark->show();
        w->picDot[45]->show();
        QCOMPARE(asDark, asHidden);
        // and a lit one covers it with its colour.
        QCOMPARE(look(lit).pixelColor(lit->rect().center()), QColor(0, 255, 0));
    }

    // Only what a packet switches is repainted: after each packet the window
    // on screen (what the repaints left in the backing store) is what a
    // full repaint of it shows.
    void repaintsKeepTheScreenTrue() {
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QScreen* screen = w->windowHandle()->screen();
        // The area where the screen and a full repaint differ.
        auto stale = [&] {
            QCoreApplication::processEvents();
            const QImage onScreen =
                screen->grabWindow(w->winId()).toImage().convertToFormat(QImage::Format_RGB32);
            const QImage full = w->grab().toImage().convertToFormat(QImage::Format_RGB32);
            if (onScreen.size() != full.size()) return QRect(QPoint(), full.size());
            QRect differs;
            for (int y = 0; y < full.height(); ++y)
                for (int x = 0; x < full.width(); ++x)
                    if (onScreen.pixel(x, y) != full.pixel(x, y)) differs |= QRect(x, y, 1, 1);
            return differs;
        };
        QCOMPARE(stale(), QRect());
        // Rising, holding, falling, the marker left behind and released, the
        // ends of the scale, flashers and the carrier alarm lit.
        const float values[] = {40, 41, 38, 55, 54, 1, 0, 0, 30, 30, 52, 20, 2, 3, 55, 0};
        for (float v : values) {
            packet(v, v > 50 ? 45 : 0, v > 50 ? 30 : 40);
            const QRect differs = stale();
            QVERIFY2(differs.isEmpty(), qPrintable(QStringLiteral("after %1: stale at %2,%3 %4x%5")
                                                       .arg(v)
                                                       .arg(differs.x())
                                                       .arg(differs.y())
                                                       .arg(differs.width())
                                                       .arg(differs.height())));
        }
        for (int i = 0; i < 30; ++i)
            packet(10, 0, 40);
        QCOMPARE(stale(), QRect());
        flashersOut();
        QCOMPARE(stale(), QRect());
    }

    // Each click selects the next reading for the bar, from the next packet
    // on, and lights its LED; the peak hold is kept.
    void selectorChoosesTheReadingAndKeepsTheHold() {
        auto leds = [&] {
            QString s;
            for (int i = 0; i < 3; ++i)
                s += color(QStringLiteral("shpSelectLed(%1)").arg(i)) == QColor(0, 255, 0) ? '1' : '0';
            return s;
        };
        QCOMPARE(leds(), QStringLiteral("100"));
        packet(45, 10, 38);
        int shownBar = 45;
        for (auto [select, lit, bar] : {std::tuple{1, "010", 10}, {2, "001", 38}, {0, "100", 45}}) {
            get<QAbstractButton>("cmdSelect")->click();
            QCOMPARE(w->BarSelect, short(select));
            QCOMPARE(leds(), QLatin1String(lit));
            QVERIFY(barShows(shownBar));
            packet(45, 10, 38);
            QVERIFY(barShows(shownBar = bar));
            QCOMPARE(marker(), 45);
        }
    }

    void clearDisplayKeepsTheHold() {
        packet(45, 0, 40);
        packet(30, 0, 40);
        w->shpAudioLed->setFillColor(Red);
        w->ClearDisplay();
        QVERIFY(barShows(0));
        QCOMPARE(marker(), 0);
        // The LEDs are not touched.
        QCOMPARE(color("shpAudioLed"), Red);
        // The bar comes back whole, the marker only at the hold.
        packet(30, 0, 40);
        QVERIFY(barShows(30));
        QCOMPARE(marker(), 0);
        packet(45, 0, 40);
        QCOMPARE(marker(), 45);
    }

    // Running timers keep their schedule: a stream of packets restarts
    // neither the audio-loss delay, a flasher's hold nor the carrier beeper.
    void runningTimersKeepTheirSchedule() {
        setThresholds(130, 130);
        flashersOut();
        packet(53, 0, 30); // +125 % and the carrier alarm
        packet(0, 0, 30);  // silence
        const QList<QTimer*> timers = {w->tmrAudio, w->tmrPkPos125, w->tmrSecBeep};
        QList<int> first;
        for (QTimer* t : timers) {
            QVERIFY2(t->isActive(), qPrintable(t->objectName()));
            first << t->remainingTime();
        }
        QTest::qSleep(300);
        for (int n = 0; n < 5; ++n)
            packet(0, 0, 30);
        QVERIFY(w->tmrAudio->remainingTime() <= first[0] - 250);
        for (int n = 0; n < 5; ++n)
            packet(53, 0, 30);
        for (int i = 1; i < timers.size(); ++i)
            QVERIFY2(timers[i]->remainingTime() <= first[i] - 250, qPrintable(timers[i]->objectName()));
        // Put out by its tick, a flasher lights again at once for a full second.
        w->tmrPkPos125_Timer();
        QCOMPARE(color("shpPkPos125Led"), RedOut);
        packet(53, 0, 40);
        QCOMPARE(color("shpPkPos125Led"), Red);
        QVERIFY(w->tmrPkPos125->remainingTime() > 900);
    }

    void audioLoss() {
        QTimer* audio = w->tmrAudio;
        packet(0, 0, 40);
        QVERIFY(audio->isActive());
        QCOMPARE(audio->interval(), 15000);
        QCOMPARE(color("shpAudioLed"), QColor(192, 160, 160));
        w->tmrAudio_Timer();
        QCOMPARE(color("shpAudioLed"), Red);
        QCOMPARE(beeps->count(), 2);
        QVERIFY(audio->isActive());
        // One audible peak, negative or positive, clears it.
        for (float pos : {0.0f, 1.0f}) {
            packet(pos, 1 - pos, 40);
            QVERIFY(!audio->isActive());
            QCOMPARE(color("shpAudioLed"), RedOut);
            packet(0, 0, 40);
            QVERIFY(audio->isActive());
        }
        // Port closed: the tick puts it out and stops the carrier beeper.
        packet(0, 0, 20);
        w->tmrAudio_Timer();
        QVERIFY(w->tmrSecBeep->isActive());
        port->setOpenState(false);
        beeps->clear();
        w->tmrAudio_Timer();
        QCOMPARE(beeps->count(), 0);
        QCOMPARE(color("shpAudioLed"), RedOut);
        QVERIFY(!w->tmrSecBeep->isActive());
        QVERIFY(audio->isActive());
    }

    void flasherThresholds_data() {
        QTest::addColumn<QString>("led");
        QTest::addColumn<QString>("timer");
        QTest::addColumn<int>("posPercent");
        QTest::addColumn<int>("negPercent");
        QTest::addColumn<float>("at"); // the first reading that lights it
        // The other flashers are kept out of reach: thresholds at 130 % and
        // readings well under the fixed ones.
        auto row = [](const char* name, const char* led, const char* timer, int pos, int neg, float at) {
            QTest::newRow(name) << QString::fromLatin1(led) << QString::fromLatin1(timer) << pos << neg << at;
        };
        row("+125%", "shpPkPos125Led", "tmrPkPos125", 130, 130, 52);
        row("-100%", "shpPkNeg100Led", "tmrPkNeg100", 130, 130, 40);
        row("POS. PK 70", "shpPkPosLed", "tmrPkPosVar", 70, 130, 25);
        row("POS. PK 111", "shpPkPosLed", "tmrPkPosVar", 111, 130, 46); // 45.5
        row("POS. PK 130", "shpPkPosLed", "tmrPkPosVar", 130, 130, 55);
        row("NEG. PK 70", "shpPkNegLed", "tmrPkNegVar", 130, 70, 25);
        row("NEG. PK 97", "shpPkNegLed", "tmrPkNegVar", 130, 97, 39); // 38.5
    }
    void flasherThresholds() {
        QFETCH(QString, led);
        QFETCH(QString, timer);
        QFETCH(int, posPercent);
        QFETCH(int, negPercent);
        QFETCH(float, at);
        const float below = at - 1;
        const bool positive = led.contains(QLatin1String("Pos"));
        const bool yellow = timer.endsWith(QLatin1String("Var"));
        const QColor lit = yellow ? Yellow : Red, out = yellow ? YellowOut : RedOut;
        setThresholds(posPercent, negPercent);
        flashersOut();
        beeps->clear();
        auto* hold = get<QTimer>(timer);
        auto send = [&](float value) { positive ? packet(value, 10, 40) : packet(10, value, 40); };

        send(below);
        QCOMPARE(color(led), out);
        QVERIFY(!hold->isActive());
        const int beepsBelow = int(beeps->count()); // +125 % joins in at the top of the scale
        send(at);
        QCOMPARE(color(led), lit);
        QVERIFY(hold->isActive());
        QCOMPARE(hold->interval(), 1000);
        QCOMPARE(beeps->count(), 2 * beepsBelow + 1);
        // A reading below leaves it lit; its hold tick puts it out.
        send(below);
        QCOMPARE(color(led), lit);
        QMetaObject::invokeMethod(w.get(), qPrintable(timer + "_Timer"));
        QCOMPARE(color(led), out);
        QVERIFY(!hold->isActive());
    }

    void severalFlashersOneBeepEach() {
        setThresholds(110, 96);
        flashersOut();
        packet(52, 40, 40);
        QCOMPARE(beeps->count(), 4);
        for (const char* led : {"shpPkPos125Led", "shpPkNeg100Led"})
            QCOMPARE(color(led), Red);
        for (const char* led : {"shpPkPosLed", "shpPkNegLed"})
            QCOMPARE(color(led), Yellow);
        for (const char* t : {"tmrPkPos125", "tmrPkNeg100", "tmrPkPosVar", "tmrPkNegVar"})
            QVERIFY2(get<QTimer>(t)->isActive(), t);
    }

    void thresholdMovedUnderTheReading() {
        setThresholds(110, 110);
        flashersOut();
        packet(30, 38, 40);
        QCOMPARE(color("shpPkNegLed"), YellowOut);
        w->vsbPkNegLed->setValue(96);
        QCOMPARE(color("shpPkNegLed"), Yellow);
        QVERIFY(w->tmrPkNegVar->isActive());
        QCOMPARE(beeps->count(), 1);
        QCOMPARE(w->txtPkNegLed->text(), QStringLiteral("96"));
        QCOMPARE(w->txtPkPosLed->text(), QStringLiteral("110"));
        // Raised again: the lit flasher waits for its hold tick.
        w->vsbPkNegLed->setValue(111);
        QCOMPARE(w->txtPkNegLed->text(), QStringLiteral("111"));
        QCOMPARE(color("shpPkNegLed"), Yellow);
        // Disconnected: the flasher still lights, silently.
        flashersOut();
        port->setOpenState(false);
        w->vsbPkPosLed->setValue(80);
        QCOMPARE(color("shpPkPosLed"), Yellow);
        QCOMPARE(beeps->count(), 1);
    }

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
        packet(10, 10, level);
        QCOMPARE(color("shpCarrierLed"), alarm ? Red : RedOut);
        QCOMPARE(w->tmrSecBeep->isActive(), alarm);
        QCOMPARE(w->tmrSecBeep->interval(), 1000);
        QCOMPARE(beeps->count(), 0); // the beeper sounds on its ticks
        if (alarm) {
            w->tmrSecBeep_Timer();
            w->tmrSecBeep_Timer();
            QCOMPARE(beeps->count(), 2);
            QVERIFY(w->tmrSecBeep->isActive());
        }
        packet(10, 10, 40);
        QCOMPARE(color("shpCarrierLed"), RedOut);
        QVERIFY(!w->tmrSecBeep->isActive());
    }

    void mutedAndDisconnectedAreSilent() {
        setThresholds(110, 96);
        flashersOut();
        QTest::mouseClick(get("imgSpeakerOn"), Qt::LeftButton);
        QVERIFY(!shown("imgSpeakerOn") && shown("imgSpeakerOff"));
        packet(52, 40, 20);
        w->tmrSecBeep_Timer();
        w->tmrAudio_Timer();
        w->SecBeep();
        QCOMPARE(beeps->count(), 0);
        // The LEDs behave as usual.
        QCOMPARE(color("shpPkPos125Led"), Red);
        QCOMPARE(color("shpCarrierLed"), Red);

        QTest::mouseClick(get("imgSpeakerOff"), Qt::LeftButton);
        QVERIFY(shown("imgSpeakerOn") && !shown("imgSpeakerOff"));
        w->SecBeep();
        QCOMPARE(beeps->count(), 1);
        port->setOpenState(false);
        w->tmrSecBeep_Timer();
        packet(52, 40, 20);
        w->SecBeep();
        QCOMPARE(beeps->count(), 1);
        // With the port closed the carrier alarm is out and its beeper stopped.
        QCOMPARE(color("shpCarrierLed"), RedOut);
        QVERIFY(!w->tmrSecBeep->isActive());
    }
};
ZEL_TEST(PanelWindowTest)
#include "tst_panelwindow.moc"
