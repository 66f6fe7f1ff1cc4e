// The main window as laid out at start-up, its menus, the confirmed exit and
// the About box.
#include "support/fakeserial.h"
#include "support/testmain.h"
#include "support/testsupport.h"

#include "app/frmzelabout.h"
#include "app/frmzelmain.h"
#include "app/twips.h"
#include "dialogs/frmzelmodem.h"
#include "panel/indicator.h"

#include <QAction>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTimer>

using zel::px;

namespace {
template <typename T = QWidget> T* child(QObject* parent, const QString& name) {
    T* c = parent->findChild<T*>(name);
    if (!c) qFatal("no control %s", qPrintable(name));
    return c;
}
QRect tw(int l, int t, int w, int h) {
    return zel::twipsRect(l, t, w, h);
}
QString png(const QString& name) {
    return QDir(QStringLiteral(ZEL_TEST_OUTPUT_DIR)).filePath(name);
}
} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
    std::unique_ptr<FrmZelMain> w;
    FakeSerial* port = nullptr;

private slots:
    void init() {
        zeltest::writeSettingsFile(zeltest::sampleRecord());
        port = new FakeSerial;
        w = std::make_unique<FrmZelMain>(port);
    }
    void cleanup() { w.reset(); }

    void windowFrame() {
        QCOMPARE(w->windowTitle(), QStringLiteral("Zel - AM Broadcast Modulation Monitor"));
        QCOMPARE(w->width(), px(9480));
        QCOMPARE(w->height() - w->menuBar()->sizeHint().height(), px(2445));
        // Fixed width; the height may be pulled down to the diagnostic area.
        QCOMPARE(w->minimumWidth(), w->maximumWidth());
        QVERIFY(w->maximumHeight() > w->height());
        QVERIFY(!w->windowIcon().isNull());
        QCOMPARE(w->centralWidget()->palette().color(QPalette::Window), QColor(208, 208, 208));
        for (const char* name : {"Label5", "lblRcvdat", "picshow"})
            QVERIFY2(child(w.get(), name)->geometry().top() >= px(2445), name);
        // Centred on the screen.
        const QRect s = QGuiApplication::primaryScreen()->geometry();
        const QSize outer = w->frameGeometry().size().expandedTo(w->size());
        QCOMPARE(w->pos(),
                 QPoint(s.x() + (s.width() - outer.width()) / 2, s.y() + (s.height() - outer.height()) / 2));
    }

    void barGraphSegments() {
        QCOMPARE(w->picLed.size(), 57);
        QCOMPARE(w->picDot.size(), 57);
        for (const char* array : {"picLed", "picDot"}) {
            for (int i = 0; i <= 56; ++i) {
                const QString name = QStringLiteral("%1(%2)").arg(QLatin1String(array)).arg(i);
                auto* seg = child<Indicator>(w.get(), name);
                QCOMPARE(seg->geometry(), tw(120 + 105 * i, 600, 85, 255));
                QVERIFY2(seg->isHidden(), qPrintable(name));
                if (i == 0) continue;
                const QColor expected = i <= 40   ? QColor(0, 255, 0)
                                        : i <= 50 ? QColor(255, 255, 0)
                                                  : QColor(255, 0, 0);
                QCOMPARE(seg->fillColor(), expected);
            }
        }
    }

    // A sample of the panel's controls: place, and the caption and fill or
    // background colour where given.
    void sample_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QColor>("fill");
        auto row = [](const char* name, QRect geometry, const char* text, QColor fill = {}) {
            QTest::newRow(name) << QString::fromLatin1(name) << geometry << QString::fromLatin1(text) << fill;
        };
        row("Shape6(1)", tw(4440, 600, 1095, 270), nullptr, {208, 208, 144});
        row("Shape1", tw(60, 60, 6975, 1575), nullptr);
        row("Shape4", tw(8400, 60, 1050, 1575), nullptr);
        row("shpPkPos125Led", {}, nullptr, {192, 160, 160});
        row("shpAudioLed", {}, nullptr, {192, 160, 160});
        // Restoring the thresholds evaluated the alarms with the port closed.
        row("shpCarrierLed", tw(8520, 886, 255, 255), nullptr, {195, 160, 160});
        row("shpPkPosLed", {}, nullptr, {208, 208, 144});
        row("shpPkNegLed", tw(7320, 840, 150, 255), nullptr);
        row("shpSelectLed(0)", {}, nullptr, {0, 255, 0});
        row("shpSelectLed(2)", tw(6300, 600, 150, 255), nullptr, {160, 192, 160});
        const QRect status = tw(1560, 1920, 4575, 255); // the status labels share one place
        row("lblOffLine", status, "Off Line", {255, 128, 0});
        row("lblNoDialTone", status, "No Dial Tone", {255, 128, 128});
        row("lblInitializing", status, "Initializing", {128, 255, 255});
        row("lblHanging", status, "Hanging Up", {255, 255, 0});
        row("lblDialing", status, "Dialing", {128, 255, 255});
        row("lblConnected", status, "Connected", {128, 255, 128});
        row("lblBusy", status, "Busy", {255, 128, 128});
        row("Label4(5)", {}, "POS.");
        row("Label4(2)", {}, "CARRIER ALARM");
        row("cmdConnect", tw(7200, 1800, 975, 375), "&Connect");
        row("cmdExit", tw(8400, 1800, 975, 375), "E&xit");
        row("cmdSelect", {}, "");
        row("vsbPkPosLed", tw(8040, 240, 135, 285), nullptr);
        row("txtPkNegLed", tw(7560, 840, 495, 285), "110");
        row("imgSpeakerOff", tw(240, 1800, 480, 480), nullptr);
    }
    void sample() {
        QFETCH(QString, name);
        QFETCH(QRect, geometry);
        QFETCH(QString, text);
        QFETCH(QColor, fill);
        QWidget* c = child(w.get(), name);
        if (geometry.isValid()) QCOMPARE(c->geometry(), geometry);
        if (!text.isNull()) QCOMPARE(c->property("text").toString(), text);
        if (fill.isValid())
            QCOMPARE(c->property(c->inherits("ColorLabel") ? "backColor" : "fillColor").value<QColor>(),
                     fill);
    }

    void scaleAndCaptions_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<double>("points");
        QTest::addColumn<bool>("bold");
        auto row = [](const char* name, const char* text, QRect geometry, double points, bool bold) {
            QTest::newRow(text) << QString::fromLatin1(name) << QString::fromLatin1(text) << geometry
                                << points << bold;
        };
        row("Label11(0)", "30%", tw(480, 240, 495, 255), 8.25, true);
        row("Label1", "100%", tw(4080, 120, 615, 255), 9.75, true);
        row("Label11(13)", "-10", tw(600, 960, 495, 255), 8.25, true);
        row("Label11(18)", "0dB", tw(4200, 960, 495, 255), 9.0, true);
        row("Label2", "M O D U L A T I O N", tw(1440, 1250, 3255, 495), 15.75, false);
        row("Label11(11)", "Pk Presets", tw(7200, 1350, 1095, 255), 9.0, true);
        row("Label5", "Diagnostic Area - Not for standard use", tw(120, 2760, 9255, 375), 8.25, true);
        row("lblRcvdat", "EMPTY", tw(120, 3360, 2415, 255), 8.25, false);
    }
    void scaleAndCaptions() {
        QFETCH(QString, name);
        auto* label = child<QLabel>(w.get(), name);
        QTEST(label->text(), "text");
        QTEST(label->geometry(), "geometry");
        QTEST(label->font().pointSizeF(), "points");
        QTEST(label->font().bold(), "bold");
        QCOMPARE(label->font().family(), QStringLiteral("Arial"));
    }

    void controls() {
        QCOMPARE(w->cmdConnect->font().pointSizeF(), 8.25);
        QCOMPARE(w->vsbPkPosLed->minimum(), 70);
        QCOMPARE(w->vsbPkPosLed->maximum(), 130);
        QCOMPARE(w->vsbPkPosLed->singleStep(), 1);
        QVERIFY(w->txtPkNegLed->isReadOnly() && !w->txtPkNegLed->hasFrame());
        QVERIFY(!w->imgSpeakerOn->isHidden() && w->imgSpeakerOff->isHidden());
        // Start-up shows "Off Line" only.
        for (auto* l : {w->lblOffLine, w->lblNoDialTone, w->lblInitializing, w->lblHanging, w->lblDialing,
                        w->lblConnected, w->lblBusy})
            QCOMPARE(l->isHidden(), l != w->lblOffLine);
        for (const char* line :
             {"Line1", "Line3", "Line13", "Line15(0)", "Line15(11)", "Line14", "Line16", "Line2"})
            child(w.get(), line);
        QCOMPARE(child(w.get(), "Line1")->x(), px(4363));
    }

    void timers() {
        const struct {
            const char* name;
            int interval; // 0: set by each wait
            bool active;
        } timers[] = {{"tmrXmit", FrmZelMain::PollRetryMs, false},
                      {"tmrDelay", 0, false},
                      {"tmrSecBeep", 1000, false},
                      {"tmrPkNeg100", 1000, true},
                      {"tmrPkPos125", 1000, true},
                      {"tmrPkNegVar", 1000, false},
                      {"tmrPkPosVar", 1000, false},
                      {"tmrAudio", 15000, false}};
        for (const auto& t : timers) {
            auto* timer = child<QTimer>(w.get(), QString::fromLatin1(t.name));
            QCOMPARE(timer->isActive(), t.active);
            if (t.interval) QCOMPARE(timer->interval(), t.interval);
        }
        // The serial port is not opened at start.
        QCOMPARE(port->openCount, 0);
    }

    void menus() {
        const QList<QAction*> top = w->menuBar()->actions();
        QCOMPARE(top.size(), 3);
        QCOMPARE(top[0]->text(), QStringLiteral("&File"));
        QCOMPARE(top[1]->text(), QStringLiteral("&Modem"));
        QCOMPARE(top[2]->text(), QStringLiteral("&Help"));
        QCOMPARE(w->mnuFile->actions(), (QList<QAction*>{w->mnuSaveDefaults, w->mnuLine1, w->mnuExit}));
        QVERIFY(w->mnuLine1->isSeparator());
        QCOMPARE(w->mnuSaveDefaults->text(), QStringLiteral("&Save Defaults"));
        QCOMPARE(w->mnuExit->text(), QStringLiteral("E&xit"));
        QCOMPARE(w->mnuModemSettings->text(), QStringLiteral("&Modem Settings"));
        QCOMPARE(w->mnuAbout->text(), QStringLiteral("&About"));
        for (QAction* a : {w->mnuSaveDefaults, w->mnuExit, w->mnuModemSettings, w->mnuAbout})
            QVERIFY(a->isEnabled() && a->shortcut().isEmpty());
    }

    void modemSettingsMenuShowsTheDialog() {
        QVERIFY(w->frmZelModem->isHidden());
        w->mnuModemSettings->trigger();
        QVERIFY(!w->frmZelModem->isHidden());
        w->mnuModemSettings->trigger();
        QCOMPARE(w->findChildren<FrmZelModem*>().size(), 1);
    }

    void aboutTwiceGivesOneBox() {
        QVERIFY(!w->frmZelAbout);
        w->mnuAbout->trigger();
        w->mnuAbout->trigger();
        QCOMPARE(w->findChildren<QWidget*>("frmZelAbout").size(), 1);
        QWidget* about = w->frmZelAbout;
        QVERIFY(about && !about->isHidden());
        QCOMPARE(about->size(), QSize(px(4590), px(3120)));
        QVERIFY(child<QLabel>(about, "Label1")->text().endsWith(QStringLiteral(" Model Zel")));
        QCOMPARE(child<QLabel>(about, "Label2")->text(), QStringLiteral("Version - 1.1.0"));
        QVERIFY(about->findChildren<QPushButton*>().isEmpty());
    }

    void exitAnsweredNoChangesNothing() {
        port->setOpenState(true);
        w->tmrXmit->start();
        zeltest::SeenBox box;
        zeltest::answerNextMessageBox(QMessageBox::No, &box);
        w->cmdExit->click();
        QVERIFY(box.shown);
        QCOMPARE(box.title, QStringLiteral("EXIT PROGRAM"));
        QCOMPARE(box.text, QStringLiteral("                Are you sure?   "));
        QCOMPARE(box.icon, QMessageBox::NoIcon);
        QCOMPARE(box.buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(box.defaultButton, QMessageBox::Yes);
        QVERIFY(!w->isExiting());
        QVERIFY(port->isOpen());
        QVERIFY(w->tmrXmit->isActive());
    }

    // Yes closes an open port, stops every timer and saves nothing.
    void exitAnsweredYes_data() {
        QTest::addColumn<bool>("connected");
        QTest::newRow("connected") << true;
        QTest::newRow("disconnected") << false;
    }
    void exitAnsweredYes() {
        QFETCH(bool, connected);
        port->setOpenState(connected);
        w->tmrXmit->start();
        w->tmrAudio->start();
        QSignalSpy ended(w.get(), &FrmZelMain::programEnded);
        zeltest::answerNextMessageBox(QMessageBox::Yes);
        w->mnuExit->trigger();
        QVERIFY(w->isExiting());
        QCOMPARE(ended.count(), 1);
        QVERIFY(!port->isOpen());
        QCOMPARE(port->closeCount, connected ? 1 : 0);
        QCOMPARE(port->openCount, 0);
        for (QTimer* t : w->findChildren<QTimer*>())
            QVERIFY2(!t->isActive(), qPrintable(t->objectName()));
        QCOMPARE(zeltest::readSettingsFile(), zeltest::sampleRecord());
    }

    void closeButtonAsksToo() {
        w->show();
        zeltest::SeenBox box;
        zeltest::answerNextMessageBox(QMessageBox::No, &box);
        QVERIFY(!w->close());
        QCOMPARE(box.title, QStringLiteral("EXIT PROGRAM"));
        QVERIFY(!w->isHidden());
        zeltest::answerNextMessageBox(QMessageBox::Yes);
        w->close();
        QVERIFY(w->isExiting());
        QVERIFY(w->isHidden());
    }

    // Pictures of the panel and of each tab of the settings dialog.
    void screenshot() {
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QVERIFY(w->grab().save(png(QStringLiteral("panel-offline.png"))));
        QVERIFY(QFileInfo(png(QStringLiteral("panel-offline.png"))).size() > 1000);
        auto* tabs = child<QTabWidget>(w->frmZelModem, QStringLiteral("SSTab1"));
        w->mnuModemSettings->trigger();
        QVERIFY(QTest::qWaitForWindowExposed(w->frmZelModem));
        for (int i = 0; i < tabs->count(); ++i) {
            tabs->setCurrentIndex(i);
            QVERIFY(w->frmZelModem->grab().save(png(QStringLiteral("settings-tab%1.png").arg(i + 1))));
        }
    }
};
ZEL_TEST(MainWindowTest)
#include "tst_mainwindow.moc"
