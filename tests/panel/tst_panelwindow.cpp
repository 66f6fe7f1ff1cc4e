// The indicator procedures driven through the real main window: widgets are
// found by name, timers are checked for state and schedule, and beeps are
// counted from beeped().
#include "app/frmzelmain.h"
#include "panel/indicator.h"
#include "support/fakeserial.h"
#include "support/testmain.h"
#include "support/testsupport.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTimer>
#include <memory>

namespace {

const QColor Red(255, 0, 0);
const QColor Yellow(255, 255, 0);
const QColor RedOut(195, 160, 160);
const QColor YellowOut(208, 208, 144);
const QColor SelectLit(0, 255, 0);
const QColor SelectUnlit(160, 192, 160);

struct Panel {
    FakeSerial* port = nullptr;
    std::unique_ptr<FrmZelMain> w;
    FrmZelMain* operator->() const { return w.get(); }
    FrmZelMain& operator*() const { return *w; }

    QWidget* widget(const QString& name) const {
        auto* found = w->findChild<QWidget*>(name);
        if (!found) qFatal("no control %s", qPrintable(name));
        return found;
    }
    QTimer* timer(const char* name) const {
        auto* found = w->findChild<QTimer*>(QLatin1String(name));
        if (!found) qFatal("no timer %s", name);
        return found;
    }
    QColor color(const QString& name) const { return widget(name)->property("fillColor").value<QColor>(); }
    bool shown(const QString& name) const { return !widget(name)->isHidden(); }
    bool led(int i) const { return shown(QStringLiteral("picLed(%1)").arg(i)); }
    bool dot(int i) const { return shown(QStringLiteral("picDot(%1)").arg(i)); }

    // What the decoder does with a packet.
    void packet(float pos, float neg, float carrier) const {
        w->PosPeak = pos;
        w->NegPeak = neg;
        w->CarrierLevel = carrier;
        w->PeakUpdate();
        w->BarUpdate();
    }
    void setThresholds(int pos, int neg) const {
        qobject_cast<QScrollBar*>(widget("vsbPkPosLed"))->setValue(pos);
        qobject_cast<QScrollBar*>(widget("vsbPkNegLed"))->setValue(neg);
    }
    // Puts every flasher out and stops its hold timer, as their ticks do.
    void flashersOut() const {
        w->tmrPkPos125_Timer();
        w->tmrPkNeg100_Timer();
        w->tmrPkPosVar_Timer();
        w->tmrPkNegVar_Timer();
    }
};

// A window with a settings file in place, connected unless told otherwise.
// The port opens after start-up, as Connect would open it.
Panel makePanel(bool connected = true) {
    zeltest::writeSettingsFile(zeltest::sampleRecord());
    Panel p;
    p.port = new FakeSerial;
    p.w = std::make_unique<FrmZelMain>(p.port);
    p.port->setOpenState(connected);
    return p;
}

// Bar segments 1..value lit, the rest dark, checked on the widgets.
bool barShows(const Panel& p, int value) {
    for (int i = 1; i <= 56; ++i)
        if (p.led(i) != (i <= value)) return false;
    return true;
}

// The one marker shown, 0 for none, -1 for more than one.
int markerShown(const Panel& p) {
    int shown = 0;
    for (int i = 0; i <= 56; ++i) {
        if (!p.dot(i)) continue;
        if (shown) return -1;
        shown = i;
    }
    return shown;
}

// Counts visibility changes of the bar's widgets.
class VisibilityCounter : public QObject {
public:
    int changes = 0;

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::ShowToParent || e->type() == QEvent::HideToParent) ++changes;
        return false;
    }
};

} // namespace

class PanelWindowTest : public QObject {
    Q_OBJECT
private slots:
    void startUpState() {
        Panel p = makePanel(false);
        QCOMPARE(p.timer("tmrAudio")->interval(), 15000);
        QVERIFY(!p.timer("tmrAudio")->isActive());
        QCOMPARE(p.timer("tmrSecBeep")->interval(), 1000);
        QVERIFY(!p.timer("tmrSecBeep")->isActive());
        // The fixed flashers' hold timers run from the start and put their
        // LEDs out a shade off the design colour.
        QVERIFY(p.timer("tmrPkPos125")->isActive());
        QVERIFY(p.timer("tmrPkNeg100")->isActive());
        QVERIFY(!p.timer("tmrPkPosVar")->isActive());
        QCOMPARE(p.color("shpPkPos125Led"), QColor(192, 160, 160));
        p->tmrPkPos125_Timer();
        QCOMPARE(p.color("shpPkPos125Led"), RedOut);
        QVERIFY(!p.timer("tmrPkPos125")->isActive());
        QVERIFY(barShows(p, 0));
        QCOMPARE(markerShown(p), 0);
    }

    void barGraphAndPeakHoldOnTheWidgets() {
        Panel p = makePanel();
        p.packet(40, 0, 40);
        QVERIFY(barShows(p, 40));
        QCOMPARE(markerShown(p), 40);
        p.packet(30, 0, 40);
        QVERIFY(barShows(p, 30));
        QCOMPARE(markerShown(p), 40);
        p.packet(55, 0, 40);
        QVERIFY(barShows(p, 55));
        QVERIFY(!p.led(56));
        QCOMPARE(markerShown(p), 55);
        for (int n = 0; n < 24; ++n)
            p.packet(20, 0, 40);
        QCOMPARE(markerShown(p), 55);
        p.packet(20, 0, 40);
        QCOMPARE(markerShown(p), 20);
        QVERIFY(barShows(p, 20));
    }

    // A packet touches only the widgets whose state changes.
    void onlyChangedWidgetsAreTouched() {
        Panel p = makePanel();
        VisibilityCounter counter;
        for (int i = 0; i <= 56; ++i) {
            p->picLed[i]->installEventFilter(&counter);
            p->picDot[i]->installEventFilter(&counter);
        }
        p.packet(40, 0, 40);
        QCOMPARE(counter.changes, 41); // 40 segments and the marker
        counter.changes = 0;
        p.packet(40, 0, 40);
        QCOMPARE(counter.changes, 0);
        p.packet(41, 0, 40);
        QCOMPARE(counter.changes, 3); // segment 41 on, marker 40 off, 41 on
        counter.changes = 0;
        p.packet(38, 0, 40);
        QCOMPARE(counter.changes, 3); // segments 41, 40, 39 off
    }

    void selectorChoosesTheReadingAndKeepsTheHold() {
        Panel p = makePanel();
        auto* select = qobject_cast<QAbstractButton*>(p.widget("cmdSelect"));
        p.packet(45, 10, 38);
        QCOMPARE(markerShown(p), 45);
        select->click();
        QCOMPARE(p->BarSelect, short(1));
        // The click does not redraw the bar.
        QVERIFY(barShows(p, 45));
        p.packet(45, 10, 38);
        QVERIFY(barShows(p, 10));
        QCOMPARE(markerShown(p), 45);
        select->click();
        p.packet(45, 10, 38);
        QVERIFY(barShows(p, 38));
        QCOMPARE(markerShown(p), 45);
        p.packet(45, 10, 50);
        QCOMPARE(markerShown(p), 50);
        select->click();
        QCOMPARE(p->BarSelect, short(0));
        p.packet(45, 10, 50);
        QVERIFY(barShows(p, 45));
    }

    void selectorLeds() {
        Panel p = makePanel(false);
        auto* select = qobject_cast<QAbstractButton*>(p.widget("cmdSelect"));
        // "1" lit, "0" unlit, "?" any other colour, element 0 first.
        auto lit = [&] {
            QString s;
            for (int i = 0; i < 3; ++i) {
                const QColor c = p.color(QStringLiteral("shpSelectLed(%1)").arg(i));
                s += c == SelectLit ? '1' : c == SelectUnlit ? '0' : '?';
            }
            return s;
        };
        QCOMPARE(lit(), QStringLiteral("100"));
        const short expected[] = {1, 2, 0, 1};
        const char* leds[] = {"010", "001", "100", "010"};
        for (int n = 0; n < 4; ++n) {
            select->click();
            QCOMPARE(p->BarSelect, expected[n]);
            QCOMPARE(lit(), QString::fromLatin1(leds[n]));
        }
    }

    void clearDisplayKeepsTheHold() {
        Panel p = makePanel();
        p.packet(45, 0, 40);
        p.packet(30, 0, 40);
        p->ClearDisplay();
        QVERIFY(barShows(p, 0));
        QCOMPARE(markerShown(p), 0);
        // The bar comes back whole after a clear, the marker only at the hold.
        p.packet(30, 0, 40);
        QVERIFY(barShows(p, 30));
        QCOMPARE(markerShown(p), 0);
        p.packet(45, 0, 40);
        QVERIFY(barShows(p, 45));
        QCOMPARE(markerShown(p), 45);
        // A clear does not touch the LEDs or the selection.
        p->shpAudioLed->setFillColor(Red);
        p->ClearDisplay();
        QCOMPARE(p.color("shpAudioLed"), Red);
        QCOMPARE(p->BarSelect, short(0));
    }

    void audioLoss() {
        Panel p = makePanel();
        QSignalSpy beeps(p.w.get(), &FrmZelMain::beeped);
        QTimer* audio = p.timer("tmrAudio");
        p.packet(0, 0, 40);
        QVERIFY(audio->isActive());
        QCOMPARE(audio->interval(), 15000);
        QCOMPARE(p.color("shpAudioLed"), QColor(192, 160, 160));
        const int first = audio->remainingTime();
        QTest::qSleep(300);
        for (int n = 0; n < 5; ++n)
            p.packet(0, 0, 40);
        QVERIFY(audio->isActive());
        // Later silent packets keep the schedule of the first.
        QVERIFY2(audio->remainingTime() <= first - 250,
                 qPrintable(QStringLiteral("%1 then %2").arg(first).arg(audio->remainingTime())));

        p->tmrAudio_Timer();
        QCOMPARE(p.color("shpAudioLed"), Red);
        QCOMPARE(beeps.count(), 2);
        QVERIFY(audio->isActive());
        p->tmrAudio_Timer();
        QCOMPARE(beeps.count(), 4);

        // One negative peak is audio enough.
        p.packet(0, 3, 40);
        QVERIFY(!audio->isActive());
        QCOMPARE(p.color("shpAudioLed"), RedOut);
        p.packet(0, 0, 40);
        QVERIFY(audio->isActive());
        p.packet(1, 0, 40);
        QVERIFY(!audio->isActive());
    }

    void audioLossAfterDisconnect() {
        Panel p = makePanel();
        QSignalSpy beeps(p.w.get(), &FrmZelMain::beeped);
        p.packet(0, 0, 20); // silent, and the carrier out of its window
        p->tmrAudio_Timer();
        QCOMPARE(p.color("shpAudioLed"), Red);
        QVERIFY(p.timer("tmrSecBeep")->isActive());
        const int before = beeps.count();
        p.port->setOpenState(false);
        p->tmrAudio_Timer();
        QCOMPARE(beeps.count(), before);
        QCOMPARE(p.color("shpAudioLed"), RedOut);
        QVERIFY(!p.timer("tmrSecBeep")->isActive());
        QVERIFY(p.timer("tmrAudio")->isActive());
    }

    void flasherThresholds_data() {
        QTest::addColumn<QString>("led");
        QTest::addColumn<QString>("timer");
        QTest::addColumn<QColor>("lit");
        QTest::addColumn<QColor>("out");
        QTest::addColumn<int>("posPercent");
        QTest::addColumn<int>("negPercent");
        QTest::addColumn<bool>("positive");
        QTest::addColumn<float>("below");
        QTest::addColumn<float>("at");
        // The other flashers are kept out of reach: thresholds at 130 % and
        // readings well under the fixed ones.
        QTest::newRow("+125%") << "shpPkPos125Led"
                               << "tmrPkPos125" << Red << RedOut << 130 << 130 << true << 51.0f << 52.0f;
        QTest::newRow("-100%") << "shpPkNeg100Led"
                               << "tmrPkNeg100" << Red << RedOut << 130 << 130 << false << 39.0f << 40.0f;
        QTest::newRow("POS. PK 70") << "shpPkPosLed"
                                    << "tmrPkPosVar" << Yellow << YellowOut << 70 << 130 << true << 24.0f
                                    << 25.0f;
        QTest::newRow("POS. PK 111") << "shpPkPosLed"
                                     << "tmrPkPosVar" << Yellow << YellowOut << 111 << 130 << true << 45.0f
                                     << 46.0f;
        QTest::newRow("POS. PK 130") << "shpPkPosLed"
                                     << "tmrPkPosVar" << Yellow << YellowOut << 130 << 130 << true << 54.0f
                                     << 55.0f;
        QTest::newRow("NEG. PK 70") << "shpPkNegLed"
                                    << "tmrPkNegVar" << Yellow << YellowOut << 130 << 70 << false << 24.0f
                                    << 25.0f;
        QTest::newRow("NEG. PK 97") << "shpPkNegLed"
                                    << "tmrPkNegVar" << Yellow << YellowOut << 130 << 97 << false << 38.0f
                                    << 39.0f;
    }
    void flasherThresholds() {
        QFETCH(QString, led);
        QFETCH(QString, timer);
        QFETCH(QColor, lit);
        QFETCH(QColor, out);
        QFETCH(int, posPercent);
        QFETCH(int, negPercent);
        QFETCH(bool, positive);
        QFETCH(float, below);
        QFETCH(float, at);
        Panel p = makePanel();
        p.setThresholds(posPercent, negPercent);
        p.flashersOut();
        QSignalSpy beeps(p.w.get(), &FrmZelMain::beeped);
        QTimer* hold = p.timer(qPrintable(timer));

        auto send = [&](float value) { positive ? p.packet(value, 10, 40) : p.packet(10, value, 40); };
        send(below);
        QCOMPARE(p.color(led), out);
        QVERIFY(!hold->isActive());
        const int beepsBelow = beeps.count(); // +125 % may join in at the top of the scale

        send(at);
        QCOMPARE(p.color(led), lit);
        QVERIFY(hold->isActive());
        QCOMPARE(hold->interval(), 1000);
        QCOMPARE(beeps.count(), 2 * beepsBelow + 1);

        // A reading below leaves a lit flasher lit; its hold tick puts it out.
        send(below);
        QCOMPARE(p.color(led), lit);
        QMetaObject::invokeMethod(p.w.get(), qPrintable(timer + "_Timer"));
        QCOMPARE(p.color(led), out);
        QVERIFY(!hold->isActive());
    }

    void severalFlashersOneBeepEach() {
        Panel p = makePanel();
        p.setThresholds(110, 96);
        p.flashersOut();
        QSignalSpy beeps(p.w.get(), &FrmZelMain::beeped);
        p.packet(52, 40, 40);
        QCOMPARE(beeps.count(), 4);
        for (const char* led : {"shpPkPos125Led", "shpPkNeg100Led"})
            QCOMPARE(p.color(led), Red);
        for (const char* led : {"shpPkPosLed", "shpPkNegLed"})
            QCOMPARE(p.color(led), Yellow);
        for (const char* t : {"tmrPkPos125", "tmrPkNeg100", "tmrPkPosVar", "tmrPkNegVar"})
            QVERIFY2(p.timer(t)->isActive(), t);

        p.setThresholds(130, 96);
        p.flashersOut();
        beeps.clear();
        p.packet(52, 10, 40); // +125 % without POS. PK at 130 %
        QCOMPARE(beeps.count(), 1);
        QCOMPARE(p.color("shpPkPos125Led"), Red);
        QCOMPARE(p.color("shpPkPosLed"), YellowOut);
    }

    // A stream of exceeding packets does not postpone the hold tick.
    void holdTimerIsNotRestarted() {
        Panel p = makePanel();
        p.setThresholds(130, 130);
        p.flashersOut();
        QSignalSpy beeps(p.w.get(), &FrmZelMain::beeped);
        QTimer* hold = p.timer("tmrPkPos125");
        p.packet(53, 0, 40);
        const int first = hold->remainingTime();
        QTest::qSleep(300);
        for (int n = 0; n < 10; ++n)
            p.packet(53, 0, 40);
        QCOMPARE(beeps.count(), 11);
        QVERIFY2(hold->remainingTime() <= first - 250,
                 qPrintable(QStringLiteral("%1 then %2").arg(first).arg(hold->remainingTime())));
        p->tmrPkPos125_Timer();
        QCOMPARE(p.color("shpPkPos125Led"), RedOut);
        // The next exceeding packet lights it again at once, for a full second.
        p.packet(53, 0, 40);
        QCOMPARE(p.color("shpPkPos125Led"), Red);
        QVERIFY(hold->isActive());
        QVERIFY(hold->remainingTime() > 900);
    }

    void thresholdMovedUnderTheReading() {
        Panel p = makePanel();
        p.setThresholds(110, 110);
        p.flashersOut();
        QSignalSpy beeps(p.w.get(), &FrmZelMain::beeped);
        p.packet(30, 38, 40);
        QCOMPARE(p.color("shpPkNegLed"), YellowOut);
        auto* neg = qobject_cast<QScrollBar*>(p.widget("vsbPkNegLed"));
        neg->setValue(96);
        QCOMPARE(p.color("shpPkNegLed"), Yellow);
        QVERIFY(p.timer("tmrPkNegVar")->isActive());
        QCOMPARE(beeps.count(), 1);
        QCOMPARE(qobject_cast<QLineEdit*>(p.widget("txtPkNegLed"))->text(), QStringLiteral("96"));
        QCOMPARE(qobject_cast<QLineEdit*>(p.widget("txtPkPosLed"))->text(), QStringLiteral("110"));
        // Raised again: the lit flasher waits for its hold tick.
        neg->setValue(111);
        QCOMPARE(qobject_cast<QLineEdit*>(p.widget("txtPkNegLed"))->text(), QStringLiteral("111"));
        QCOMPARE(p.color("shpPkNegLed"), Yellow);

        // Disconnected: the flasher still lights, silently.
        p.flashersOut();
        p.port->setOpenState(false);
        auto* pos = qobject_cast<QScrollBar*>(p.widget("vsbPkPosLed"));
        pos->setValue(80);
        QCOMPARE(p.color("shpPkPosLed"), Yellow);
        QCOMPARE(beeps.count(), 1);
        QCOMPARE(qobject_cast<QLineEdit*>(p.widget("txtPkPosLed"))->text(), QStringLiteral("80"));
    }

    void carrierWindow_data() {
        QTest::addColumn<float>("level");
        QTest::addColumn<bool>("alarm");
        QTest::newRow("0") << 0.0f << true;
        QTest::newRow("35") << 35.0f << true;
        QTest::newRow("36") << 36.0f << false;
        QTest::newRow("40") << 40.0f << false;
        QTest::newRow("44") << 44.0f << false;
        QTest::newRow("45") << 45.0f << true;
        QTest::newRow("55") << 55.0f << true;
    }
    void carrierWindow() {
        QFETCH(float, level);
        QFETCH(bool, alarm);
        Panel p = makePanel();
        QSignalSpy beeps(p.w.get(), &FrmZelMain::beeped);
        p.packet(10, 10, level);
        QCOMPARE(p.color("shpCarrierLed"), alarm ? Red : RedOut);
        QCOMPARE(p.timer("tmrSecBeep")->isActive(), alarm);
        QCOMPARE(p.timer("tmrSecBeep")->interval(), 1000);
        QCOMPARE(beeps.count(), 0); // the beeper sounds on its ticks
        p.packet(10, 10, 40);
        QCOMPARE(p.color("shpCarrierLed"), RedOut);
        QVERIFY(!p.timer("tmrSecBeep")->isActive());
    }

    void carrierBeeper() {
        Panel p = makePanel();
        QSignalSpy beeps(p.w.get(), &FrmZelMain::beeped);
        QTimer* beeper = p.timer("tmrSecBeep");
        p.packet(10, 10, 30);
        QVERIFY(beeper->isActive());
        const int first = beeper->remainingTime();
        QTest::qSleep(300);
        p.packet(10, 10, 30);
        QVERIFY(beeper->remainingTime() <= first - 250);
        p->tmrSecBeep_Timer();
        p->tmrSecBeep_Timer();
        QCOMPARE(beeps.count(), 2);
        QVERIFY(beeper->isActive());
        p.packet(10, 10, 36);
        QVERIFY(!beeper->isActive());

        // Port closed: any evaluation puts the alarm out and stops the beeper.
        p.packet(10, 10, 30);
        QVERIFY(beeper->isActive());
        p.port->setOpenState(false);
        p->tmrSecBeep_Timer();
        QCOMPARE(beeps.count(), 2);
        p->PeakUpdate();
        QCOMPARE(p.color("shpCarrierLed"), RedOut);
        QVERIFY(!beeper->isActive());
    }

    void mutedAndDisconnectedAreSilent() {
        Panel p = makePanel();
        p.setThresholds(110, 96);
        p.flashersOut();
        QSignalSpy beeps(p.w.get(), &FrmZelMain::beeped);
        QTest::mouseClick(p.widget("imgSpeakerOn"), Qt::LeftButton);
        QVERIFY(!p.shown("imgSpeakerOn"));
        p.packet(52, 40, 20);
        p->tmrSecBeep_Timer();
        p->tmrAudio_Timer();
        p->SecBeep();
        QCOMPARE(beeps.count(), 0);
        // The LEDs behave as usual.
        QCOMPARE(p.color("shpPkPos125Led"), Red);
        QCOMPARE(p.color("shpCarrierLed"), Red);

        QTest::mouseClick(p.widget("imgSpeakerOff"), Qt::LeftButton);
        p->SecBeep();
        QCOMPARE(beeps.count(), 1);
        p.port->setOpenState(false);
        p.packet(52, 40, 20);
        p->tmrSecBeep_Timer();
        p->SecBeep();
        QCOMPARE(beeps.count(), 1);
    }

    void speakerSwitch() {
        Panel p = makePanel(false);
        QVERIFY(p.shown("imgSpeakerOn"));
        QVERIFY(!p.shown("imgSpeakerOff"));
        QTest::mouseClick(p.widget("imgSpeakerOn"), Qt::LeftButton);
        QVERIFY(!p.shown("imgSpeakerOn"));
        QVERIFY(p.shown("imgSpeakerOff"));
        QTest::mouseClick(p.widget("imgSpeakerOff"), Qt::LeftButton);
        QVERIFY(p.shown("imgSpeakerOn"));
        QVERIFY(!p.shown("imgSpeakerOff"));
        // Both pictures perform the same toggle.
        p->imgSpeakerOff_Click();
        QVERIFY(p.shown("imgSpeakerOff"));
        p->imgSpeakerOff_Click();
        QVERIFY(p.shown("imgSpeakerOn"));
    }
};
ZEL_TEST(PanelWindowTest)
#include "tst_panelwindow.moc"
