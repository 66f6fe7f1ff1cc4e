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
#include <QTabWidget>
#include <QTimer>

using zel::px;

namespace {
template <typename T = QWidget> T* child(QObject* parent, const QString& name) {
    T* c = parent->findChild<T*>(name);
    if (!c) qWarning("no control %s", qPrintable(name));
    return c;
}
QRect tw(int l, int t, int w, int h) {
    return zel::twipsRect(l, t, w, h);
}
QColor fill(QObject* parent, const QString& name) {
    return child<Indicator>(parent, name)->fillColor();
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
        auto* panel = w->centralWidget();
        QCOMPARE(panel->palette().color(QPalette::Window), QColor(208, 208, 208));
        // The diagnostic area lies below the visible client area.
        for (const char* name : {"Label5", "lblRcvdat", "picshow"})
            QVERIFY2(child(w.get(), name)->geometry().top() >= px(2445), name);
    }

    void centredOnScreen() {
        const QRect s = QGuiApplication::primaryScreen()->geometry();
        const QSize outer = w->frameGeometry().size().expandedTo(w->size());
        QCOMPARE(w->pos().x(), s.x() + int((s.width() - outer.width()) / 2.0f));
        QCOMPARE(w->pos().y(), s.y() + int((s.height() - outer.height()) / 2.0f));
    }

    void barGraphSegments() {
        for (const char* array : {"picLed", "picDot"}) {
            for (int i = 0; i <= 56; ++i) {
                const QString name = QStringLiteral("%1(%2)").arg(QLatin1String(array)).arg(i);
                auto* seg = child<Indicator>(w.get(), name);
                QVERIFY(seg);
                QCOMPARE(seg->geometry(), tw(120 + 105 * i, 600, 85, 255));
                // Every element is hidden after start-up.
                QVERIFY2(seg->isHidden(), qPrintable(name));
                if (i == 0) continue;
                const QColor expected = i <= 40   ? QColor(0, 255, 0)
                                        : i <= 50 ? QColor(255, 255, 0)
                                                  : QColor(255, 0, 0);
                QCOMPARE(seg->fillColor(), expected);
            }
        }
        QCOMPARE(child(w.get(), "picLed(1)")->x(), px(225));
        QCOMPARE(child(w.get(), "picLed(55)")->x(), px(5895));
        QCOMPARE(w->picLed.size(), 57);
        QCOMPARE(w->picDot.size(), 57);
        QCOMPARE(w->barGraph.holdCount(), 0);
    }

    void scaleAndDecoration_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<double>("points");
        QTest::addColumn<bool>("bold");
        QTest::newRow("30%") << "Label11(0)"
                             << "30%" << tw(480, 240, 495, 255) << 8.25 << true;
        QTest::newRow("90%") << "Label11(5)"
                             << "90%" << tw(3600, 240, 495, 255) << 8.25 << true;
        QTest::newRow("110%") << "Label11(9)"
                              << "110%" << tw(4680, 240, 495, 255) << 8.25 << true;
        QTest::newRow("100%") << "Label1"
                              << "100%" << tw(4080, 120, 615, 255) << 9.75 << true;
        QTest::newRow("-10") << "Label11(13)"
                             << "-10" << tw(600, 960, 495, 255) << 8.25 << true;
        QTest::newRow("0dB") << "Label11(18)"
                             << "0dB" << tw(4200, 960, 495, 255) << 9.0 << true;
        QTest::newRow("+2") << "Label11(20)"
                            << "+2" << tw(5520, 960, 495, 255) << 8.25 << true;
        QTest::newRow("modulation") << "Label2"
                                    << "M O D U L A T I O N" << tw(1440, 1250, 3255, 495) << 15.75 << false;
        QTest::newRow("select") << "Label3"
                                << "SELECT" << tw(6240, 1250, 735, 255) << 8.25 << true;
        QTest::newRow("presets") << "Label11(11)"
                                 << "Pk Presets" << tw(7200, 1350, 1095, 255) << 9.0 << true;
        QTest::newRow("diagnostic") << "Label5"
                                    << "Diagnostic Area - Not for standard use" << tw(120, 2760, 9255, 375)
                                    << 8.25 << true;
        QTest::newRow("rcvdat") << "lblRcvdat"
                                << "EMPTY" << tw(120, 3360, 2415, 255) << 8.25 << false;
    }
    void scaleAndDecoration() {
        QFETCH(QString, name);
        auto* label = child<QLabel>(w.get(), name);
        QVERIFY(label);
        QTEST(label->text(), "text");
        QTEST(label->geometry(), "geometry");
        QTEST(label->font().pointSizeF(), "points");
        QTEST(label->font().bold(), "bold");
        QCOMPARE(label->font().family(), QStringLiteral("Arial"));
    }

    void shapesAndColours() {
        QCOMPARE(fill(w.get(), "Shape6(0)"), QColor(160, 192, 160));
        QCOMPARE(fill(w.get(), "Shape6(1)"), QColor(208, 208, 144));
        QCOMPARE(fill(w.get(), "Shape6(2)"), QColor(192, 160, 160));
        QCOMPARE(child(w.get(), "Shape6(1)")->geometry(), tw(4440, 600, 1095, 270));
        QCOMPARE(child(w.get(), "Shape1")->geometry(), tw(60, 60, 6975, 1575));
        QCOMPARE(child(w.get(), "Shape4")->geometry(), tw(8400, 60, 1050, 1575));
        for (const char* led : {"shpPkPos125Led", "shpPkNeg100Led", "shpAudioLed"})
            QCOMPARE(fill(w.get(), led), QColor(192, 160, 160));
        // Restoring the thresholds evaluated the alarms with the port closed.
        QCOMPARE(fill(w.get(), "shpCarrierLed"), QColor(195, 160, 160));
        QCOMPARE(w->txtPkNegLed->text(), QStringLiteral("110"));
        QCOMPARE(child(w.get(), "shpCarrierLed")->geometry(), tw(8520, 886, 255, 255));
        QCOMPARE(fill(w.get(), "shpPkPosLed"), QColor(208, 208, 144));
        QCOMPARE(child(w.get(), "shpPkNegLed")->geometry(), tw(7320, 840, 150, 255));
        QCOMPARE(fill(w.get(), "shpSelectLed(0)"), QColor(0, 255, 0));
        QCOMPARE(fill(w.get(), "shpSelectLed(1)"), QColor(160, 192, 160));
        QCOMPARE(fill(w.get(), "shpSelectLed(2)"), QColor(160, 192, 160));
        QCOMPARE(child(w.get(), "shpSelectLed(2)")->geometry(), tw(6300, 600, 150, 255));
        QCOMPARE(child<QLabel>(w.get(), "Label4(5)")->text(), QStringLiteral("POS."));
        QCOMPARE(child<QLabel>(w.get(), "Label4(6)")->text(), QStringLiteral("RF"));
        QCOMPARE(child<QLabel>(w.get(), "Label4(2)")->text(), QStringLiteral("CARRIER ALARM"));
        for (const char* line :
             {"Line1", "Line3", "Line13", "Line15(0)", "Line15(11)", "Line14", "Line16", "Line2"})
            QVERIFY2(child(w.get(), line), line);
        QCOMPARE(child(w.get(), "Line1")->x(), px(4363));
    }

    void controls() {
        auto* connect = child<QPushButton>(w.get(), "cmdConnect");
        QCOMPARE(connect->text(), QStringLiteral("&Connect"));
        QCOMPARE(connect->geometry(), tw(7200, 1800, 975, 375));
        QCOMPARE(connect->font().pointSizeF(), 8.25);
        auto* exit = child<QPushButton>(w.get(), "cmdExit");
        QCOMPARE(exit->text(), QStringLiteral("E&xit"));
        QCOMPARE(exit->geometry(), tw(8400, 1800, 975, 375));
        QCOMPARE(child<QPushButton>(w.get(), "cmdSelect")->text(), QString());
        auto* pos = child<QScrollBar>(w.get(), "vsbPkPosLed");
        QCOMPARE(pos->minimum(), 70);
        QCOMPARE(pos->maximum(), 130);
        QCOMPARE(pos->singleStep(), 1);
        QCOMPARE(pos->geometry(), tw(8040, 240, 135, 285));
        auto* text = child<QLineEdit>(w.get(), "txtPkNegLed");
        QVERIFY(text->isReadOnly());
        QVERIFY(!text->hasFrame());
        QCOMPARE(text->geometry(), tw(7560, 840, 495, 285));
        QVERIFY(!child(w.get(), "imgSpeakerOn")->isHidden());
        QVERIFY(child(w.get(), "imgSpeakerOff")->isHidden());
        QCOMPARE(child(w.get(), "imgSpeakerOff")->geometry(), tw(240, 1800, 480, 480));
    }

    void statusLabels() {
        const struct {
            const char* name;
            const char* text;
            QColor back;
        } labels[] = {{"lblOffLine", "Off Line", {255, 128, 0}},
                      {"lblNoDialTone", "No Dial Tone", {255, 128, 128}},
                      {"lblInitializing", "Initializing", {128, 255, 255}},
                      {"lblHanging", "Hanging Up", {255, 255, 0}},
                      {"lblDialing", "Dialing", {128, 255, 255}},
                      {"lblConnected", "Connected", {128, 255, 128}},
                      {"lblBusy", "Busy", {255, 128, 128}}};
        for (const auto& l : labels) {
            auto* label = child<ColorLabel>(w.get(), QString::fromLatin1(l.name));
            QCOMPARE(label->text(), QString::fromLatin1(l.text));
            QCOMPARE(label->backColor(), l.back);
            QCOMPARE(label->geometry(), tw(1560, 1920, 4575, 255));
            // Start-up shows "Off Line" only.
            QCOMPARE(label->isHidden(), qstrcmp(l.name, "lblOffLine") != 0);
        }
    }

    void timers() {
        const struct {
            const char* name;
            int interval;
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
            auto* timer = w->findChild<QTimer*>(QString::fromLatin1(t.name));
            QVERIFY2(timer, t.name);
            QCOMPARE(timer->isActive(), t.active);
            if (qstrcmp(t.name, "tmrDelay") != 0) QCOMPARE(timer->interval(), t.interval);
        }
        // The serial port is not opened at start.
        QCOMPARE(port->openCount, 0);
    }

    void menus() {
        const struct {
            const char* name;
            const char* text;
        } items[] = {{"mnuSaveDefaults", "&Save Defaults"},
                     {"mnuExit", "E&xit"},
                     {"mnuModemSettings", "&Modem Settings"},
                     {"mnuAbout", "&About"}};
        for (const auto& i : items) {
            auto* action = w->findChild<QAction*>(QString::fromLatin1(i.name));
            QVERIFY2(action, i.name);
            QCOMPARE(action->text(), QString::fromLatin1(i.text));
            QVERIFY(action->isEnabled());
            QVERIFY(action->shortcut().isEmpty());
        }
        QVERIFY(w->findChild<QAction*>("mnuLine1")->isSeparator());
        const QList<QAction*> top = w->menuBar()->actions();
        QCOMPARE(top.size(), 3);
        QCOMPARE(top[0]->text(), QStringLiteral("&File"));
        QCOMPARE(top[1]->text(), QStringLiteral("&Modem"));
        QCOMPARE(top[2]->text(), QStringLiteral("&Help"));
        QCOMPARE(w->mnuFile->actions(), (QList<QAction*>{w->mnuSaveDefaults, w->mnuLine1, w->mnuExit}));
    }

    void modemSettingsMenuShowsTheDialog() {
        QVERIFY(w->frmZelModem->isHidden());
        w->mnuModemSettings->trigger();
        QVERIFY(!w->frmZelModem->isHidden());
        w->mnuModemSettings->trigger();
        QCOMPARE(w->findChildren<FrmZelModem*>().size(), 1);
    }

    void aboutBox() {
        QVERIFY(!w->frmZelAbout);
        w->mnuAbout->trigger();
        w->mnuAbout->trigger();
        QCOMPARE(w->findChildren<QWidget*>("frmZelAbout").size(), 1);
        QWidget* about = w->frmZelAbout;
        QVERIFY(about && !about->isHidden());
        QCOMPARE(about->windowTitle(), QString());
        QCOMPARE(about->size(), QSize(px(4590), px(3120)));
        QVERIFY(child<QLabel>(about, "Label1")->text().endsWith(QStringLiteral(" Model Zel")));
        QCOMPARE(child<QLabel>(about, "Label2")->text(), QStringLiteral("Version - 1.1.0"));
        QVERIFY(child<QLabel>(about, "Label3(3)")->text().startsWith(QStringLiteral("Ph. ")));
        QVERIFY(child<QLabel>(about, "Label3(3)")->text().contains(QStringLiteral(" / Fx. ")));
        QVERIFY(child<QLabel>(about, "Label3(4)")->text().contains(QLatin1Char('/')));
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

    void exitYesWhileConnectedClosesThePort() {
        port->setOpenState(true);
        w->tmrXmit->start();
        w->tmrAudio->start();
        zeltest::answerNextMessageBox(QMessageBox::Yes);
        w->mnuExit->trigger();
        QVERIFY(w->isExiting());
        QVERIFY(!port->isOpen());
        QCOMPARE(port->closeCount, 1);
        for (QTimer* t : w->findChildren<QTimer*>())
            QVERIFY2(!t->isActive(), qPrintable(t->objectName()));
        // Nothing is written on exit.
        QCOMPARE(zeltest::readSettingsFile(), zeltest::sampleRecord());
    }

    void exitYesWhileDisconnectedLeavesThePortAlone() {
        zeltest::answerNextMessageBox(QMessageBox::Yes);
        w->cmdExit_Click();
        QVERIFY(w->isExiting());
        QCOMPARE(port->closeCount, 0);
        QCOMPARE(port->openCount, 0);
    }

    void closeButtonAsksToo() {
        w->show();
        zeltest::SeenBox box;
        zeltest::answerNextMessageBox(QMessageBox::No, &box);
        QVERIFY(!w->close());
        QVERIFY(box.shown);
        QCOMPARE(box.title, QStringLiteral("EXIT PROGRAM"));
        QVERIFY(!w->isHidden());
        zeltest::answerNextMessageBox(QMessageBox::Yes);
        w->close();
        QVERIFY(w->isExiting());
        QVERIFY(w->isHidden());
    }

    void screenshot() {
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        const QString path =
            QDir(QStringLiteral(ZEL_TEST_OUTPUT_DIR)).filePath(QStringLiteral("panel-offline.png"));
        QVERIFY(w->grab().save(path));
        QVERIFY(QFileInfo(path).size() > 1000);
        // The settings dialog, one picture per tab.
        auto* tabs = w->frmZelModem->findChild<QTabWidget*>(QStringLiteral("SSTab1"));
        QVERIFY(tabs);
        w->mnuModemSettings->trigger();
        QVERIFY(QTest::qWaitForWindowExposed(w->frmZelModem));
        for (int i = 0; i < tabs->count(); ++i) {
            tabs->setCurrentIndex(i);
            const QString tab = QDir(QStringLiteral(ZEL_TEST_OUTPUT_DIR))
                                    .filePath(QStringLiteral("settings-tab%1.png").arg(i + 1));
            QVERIFY(w->frmZelModem->grab().save(tab));
        }
    }
};
ZEL_TEST(MainWindowTest)
#include "tst_mainwindow.moc"
