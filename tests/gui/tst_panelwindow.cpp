// The front panel as a person sees it: the real window over a session whose
// link uses a scripted transport. Readings go in as the decoder hands them
// to the model; controls, LEDs and timers are found by name.
#include "core/monitor/monitormodel.h"
#include "core/session/monitorsession.h"
#include "gui/frmzelmain.h"
#include "gui/indicator.h"
#include "scriptedtransport.h"
#include "support/testmain.h"
#include "support/testsupport.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
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
const char* const StatusLabels[] = {"lblOffLine", "lblNoDialTone",   "lblInitializing",
                                    "lblHanging", "lblDialing",      "lblConnected",
                                    "lblBusy",    "lblReconnecting", "lblNoData"};

} // namespace

class PanelWindowTest : public QObject {
    Q_OBJECT
    std::unique_ptr<FrmZelMain> w;
    std::unique_ptr<QSignalSpy> beeps;
    QPointer<ScriptedTransport> line;

    template <class T = QWidget> T* get(const QString& name) const {
        auto* found = w->findChild<T*>(name);
        if (!found) qFatal("no control %s", qPrintable(name));
        return found;
    }
    QColor color(const QString& name) const { return get(name)->property("fillColor").value<QColor>(); }
    bool shown(const QString& name) const { return !get(name)->isHidden(); }
    bool lit(const QString& name) const { return shown(name) && get(name)->property("lit").toBool(); }
    QString status() const {
        QString s;
        for (const char* name : StatusLabels)
            if (shown(QLatin1String(name))) s += QLatin1String(name);
        return s;
    }
    // A timer's tick, as the event loop delivers it.
    void tick(const char* timer) const { QVERIFY(QMetaObject::invokeMethod(get<QTimer>(timer), "timeout")); }
    void packet(float pos, float neg, float carrier) const {
        w->session()->model()->showReadings({pos, neg, carrier});
    }
    void flashersOut() const {
        for (const char* t : {"tmrPkPos125", "tmrPkNeg100", "tmrPkPosVar", "tmrPkNegVar"})
            tick(t);
    }
    bool barShows(int value) const {
        for (int i = 1; i <= 56; ++i)
            if (lit(QStringLiteral("picLed(%1)").arg(i)) != (i <= value)) return false;
        return true;
    }
    // The one marker lit, 0 for none, -1 for more than one.
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
    // Settings in place (thresholds 110 %, speaker on), connected.
    void init() {
        zeltest::writeSettingsFile(zeltest::sampleRecord());
        auto* session = new zel::MonitorSession;
        useScriptedTransports(session->link(), &line);
        w = std::make_unique<FrmZelMain>(session);
        beeps = std::make_unique<QSignalSpy>(w.get(), &FrmZelMain::beeped);
        get<QPushButton>("cmdConnect")->click();
        QVERIFY(line && line->isOpen());
        beeps->clear();
    }
    void cleanup() {
        beeps.reset();
        w.reset();
    }

    // A packet switches exactly the segments whose state changes.
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
        step(40, 40, 41);
        step(40, 40, 0);
        step(41, 41, 3);
        step(38, 41, 3);
        step(55, 55, 19);
    }

    // A dark segment looks exactly like a hidden one; a lit one shows its colour.
    void darkSegmentShowsWhatIsBeneath() {
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        packet(40, 0, 40);
        Indicator* dark = w->picLed[45];
        Indicator* on = w->picLed[30];
        QWidget* panel = dark->parentWidget();
        auto look = [panel](const QWidget* seg) { return panel->grab(seg->geometry()).toImage(); };
        const QImage asDark = look(dark);
        dark->hide();
        w->picDot[45]->hide();
        const QImage asHidden = look(dark);
        dark->show();
        w->picDot[45]->show();
        QCOMPARE(asDark, asHidden);
        QCOMPARE(look(on).pixelColor(on->rect().center()), QColor(0, 255, 0));
    }

    // Only what a packet switches is repainted: after each packet the window
    // on screen is what a full repaint of it shows.
    void repaintsKeepTheScreenTrue() {
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QScreen* screen = w->windowHandle()->screen();
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

    // Each click selects the next reading from the next packet on and
    // lights its LED; the peak hold is kept.
    void selectorChoosesTheReading() {
        auto leds = [&] {
            QString s;
            for (int i = 0; i < 3; ++i)
                s += color(QStringLiteral("shpSelectLed(%1)").arg(i)) == QColor(0, 255, 0) ? '1' : '0';
            return s;
        };
        QCOMPARE(leds(), QStringLiteral("100"));
        packet(45, 10, 38);
        int shownBar = 45;
        for (auto [selected, bar] : {std::pair{"010", 10}, {"001", 38}, {"100", 45}}) {
            get<QPushButton>("cmdSelect")->click();
            QCOMPARE(leds(), QLatin1String(selected));
            QVERIFY(barShows(shownBar));
            packet(45, 10, 38);
            QVERIFY(barShows(shownBar = bar));
            QCOMPARE(marker(), 45);
        }
    }

    // Four flashers at once, one beep each; each hold tick puts its own out.
    void flashersLightAndGoOut() {
        get<QScrollBar>("vsbPkNegLed")->setValue(96);
        flashersOut();
        packet(52, 40, 40);
        QCOMPARE(beeps->count(), 4);
        const std::tuple<const char*, const char*, QColor, QColor> flashers[] = {
            {"shpPkPos125Led", "tmrPkPos125", Red, RedOut},
            {"shpPkNeg100Led", "tmrPkNeg100", Red, RedOut},
            {"shpPkPosLed", "tmrPkPosVar", Yellow, YellowOut},
            {"shpPkNegLed", "tmrPkNegVar", Yellow, YellowOut}};
        for (auto [led, timer, on, out] : flashers) {
            QCOMPARE(color(QLatin1String(led)), on);
            QVERIFY2(get<QTimer>(QLatin1String(timer))->isActive(), timer);
        }
        packet(10, 10, 40); // below: they stay lit until their ticks
        for (auto [led, timer, on, out] : flashers) {
            QCOMPARE(color(QLatin1String(led)), on);
            tick(timer);
            QCOMPARE(color(QLatin1String(led)), out);
        }
    }

    // The scroll bar moves the threshold and its box; one moved under the
    // held reading lights its flasher at once.
    void thresholdMovedUnderTheReading() {
        flashersOut();
        packet(30, 38, 40);
        QCOMPARE(color("shpPkNegLed"), YellowOut);
        get<QScrollBar>("vsbPkNegLed")->setValue(96);
        QCOMPARE(get<QLineEdit>("txtPkNegLed")->text(), QStringLiteral("96"));
        QCOMPARE(get<QLineEdit>("txtPkPosLed")->text(), QStringLiteral("110"));
        QCOMPARE(color("shpPkNegLed"), Yellow);
        QCOMPARE(beeps->count(), 1);
    }

    // The alarm LEDs follow the model; its timing rules are the model's tests.
    void carrierAndAudioLeds() {
        packet(10, 10, 20); // carrier below its window
        QCOMPARE(color("shpCarrierLed"), Red);
        packet(0, 0, 40); // back in its window, and silence
        QCOMPARE(color("shpCarrierLed"), RedOut);
        tick("tmrAudio"); // 15 s of silence
        QCOMPARE(color("shpAudioLed"), Red);
        packet(1, 0, 40);
        QCOMPARE(color("shpAudioLed"), RedOut);
    }

    // The speaker pictures swap on a click; muted, alarms light silently.
    void speakerSwitch() {
        QTest::mouseClick(get("imgSpeakerOn"), Qt::LeftButton);
        QVERIFY(!shown("imgSpeakerOn") && shown("imgSpeakerOff"));
        flashersOut();
        packet(52, 40, 20);
        tick("tmrSecBeep");
        QCOMPARE(beeps->count(), 0);
        QCOMPARE(color("shpPkPos125Led"), Red);
        QCOMPARE(color("shpCarrierLed"), Red);
        QTest::mouseClick(get("imgSpeakerOff"), Qt::LeftButton);
        QVERIFY(shown("imgSpeakerOn") && !shown("imgSpeakerOff"));
        tick("tmrSecBeep");
        QCOMPARE(beeps->count(), 1);
    }

    // Connect and Disconnect as the status labels, the button and the menu
    // show them; packets on the line reach the bar and the diagnostic line.
    void connectAndDisconnect() {
        QCOMPARE(status(), QStringLiteral("lblConnected"));
        QCOMPARE(get<QPushButton>("cmdConnect")->text(), QStringLiteral("&Disconnect"));
        QVERIFY(!w->mnuModemSettings->isEnabled());
        QVERIFY(line->written.startsWith('x'));
        line->receive("x196040181");
        QCOMPARE(get<QLabel>("lblRcvdat")->text(), QStringLiteral("x196040181"));
        QVERIFY(barShows(40));
        get<QPushButton>("cmdConnect")->click();
        QCOMPARE(status(), QStringLiteral("lblOffLine"));
        QCOMPARE(get<QPushButton>("cmdConnect")->text(), QStringLiteral("&Connect"));
        QVERIFY(w->mnuModemSettings->isEnabled());
        QVERIFY(!line || !line->isOpen());
        QVERIFY(barShows(0));
        QCOMPARE(marker(), 0);
        const QList<QTimer*> timers = w->findChildren<QTimer*>(QStringLiteral("tmrXmit"));
        QCOMPARE(timers.size(), 1);
        QVERIFY(!timers.first()->isActive());
        // Off line the carrier is not judged and nothing beeps.
        packet(52, 40, 20);
        QCOMPARE(color("shpCarrierLed"), RedOut);
        QCOMPARE(beeps->count(), 0);
    }

    // A port that refuses a Connect: a box names it and why, the panel goes
    // off line and offers Connect. One that fails while open asks nobody:
    // the panel shows Reconnecting, with the reason as its tooltip.
    void portErrorsAreShown() {
        zeltest::SeenBox box;
        zeltest::answerNextMessageBox(QMessageBox::Ok, &box);
        get<QPushButton>("cmdConnect")->click();
        useScriptedTransports(w->session()->link(), &line, QStringLiteral("the adapter was unplugged"));
        get<QPushButton>("cmdConnect")->click();
        QTRY_VERIFY(box.shown);
        QCOMPARE(box.title, QStringLiteral("PORT ERROR"));
        QVERIFY2(box.text.contains(QStringLiteral("\"COM 2\"")), qPrintable(box.text));
        QVERIFY2(box.text.contains(QStringLiteral("the adapter was unplugged")), qPrintable(box.text));
        QTRY_COMPARE(status(), QStringLiteral("lblOffLine"));
        QCOMPARE(get<QPushButton>("cmdConnect")->text(), QStringLiteral("&Connect"));
        QVERIFY(!get<QTimer>("tmrXmit")->isActive());
    }
    void lostLinkShowsReconnecting() {
        line->failNow(QStringLiteral("the adapter was unplugged"));
        QCOMPARE(status(), QStringLiteral("lblReconnecting"));
        QCOMPARE(get<ColorLabel>("lblReconnecting")->toolTip(), QStringLiteral("the adapter was unplugged"));
        QCOMPARE(get<QPushButton>("cmdConnect")->text(), QStringLiteral("&Disconnect"));
        QVERIFY(get<QTimer>("tmrReconnect")->isActive());
        QVERIFY(!QApplication::activeModalWidget());
        get<QPushButton>("cmdConnect")->click();
        QCOMPARE(status(), QStringLiteral("lblOffLine"));
        QVERIFY(!get<QTimer>("tmrReconnect")->isActive());
    }
};
ZEL_TEST(PanelWindowTest)
#include "tst_panelwindow.moc"
