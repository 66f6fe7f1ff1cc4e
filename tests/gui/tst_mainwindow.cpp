// The real main window over a session on fake transports; readings go in
// through the model, controls and timers are found by name.
#include "core/monitor/monitormodel.h"
#include "core/session/monitorsession.h"
#include "gui/frmzelmain.h"
#include "gui/frmzelmodem.h"
#include "gui/indicator.h"
#include "support/faketransport.h"
#include "support/testmain.h"
#include "support/testsupport.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTimer>
#include <QWindow>

namespace {
const QColor Red(255, 0, 0), Yellow(255, 255, 0), RedOut(195, 160, 160), YellowOut(208, 208, 144);
}

class MainWindowTest : public QObject {
    Q_OBJECT
    std::unique_ptr<FrmZelMain> w;
    std::unique_ptr<QSignalSpy> beeps;
    QPointer<FakeTransport> line;

    template <class T = QWidget> T* get(const QString& name) const {
        auto* found = w->findChild<T*>(name);
        if (!found) qFatal("no control %s", qPrintable(name));
        return found;
    }
    QColor color(const QString& name) const { return get(name)->property("fillColor").value<QColor>(); }
    bool shown(const QString& name) const { return !get(name)->isHidden(); }
    bool lit(const QString& name) const { return shown(name) && get(name)->property("lit").toBool(); }
    // The status labels shown, the Connect button's caption and the Modem Settings menu.
    QString state() const {
        QString s;
        for (const char* name : {"lblOffLine", "lblNoDialTone", "lblInitializing", "lblHanging", "lblDialing",
                                 "lblConnected", "lblBusy", "lblReconnecting", "lblNoData"})
            if (shown(QLatin1String(name))) s += QLatin1String(name);
        return s + u' ' + w->cmdConnect->text() +
               (w->mnuModemSettings->isEnabled() ? " menu on" : " menu off");
    }
    QStringList activeTimers() const {
        QStringList names;
        for (QTimer* t : w->findChildren<QTimer*>())
            if (t->isActive()) names << t->objectName();
        names.sort();
        return names;
    }
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
        for (int i = 0; i <= 56; ++i)
            if (lit(QStringLiteral("picDot(%1)").arg(i))) found = found ? -1 : i;
        return found;
    }
    void connectLine() {
        w->cmdConnect->click();
        QVERIFY(line && line->isOpen());
        beeps->clear();
    }

private slots:
    void init() {
        zeltest::writeSettingsFile(zeltest::sampleRecord());
        auto* session = new zel::MonitorSession;
        useFakeTransports(session->link(), &line);
        w = std::make_unique<FrmZelMain>(session);
        beeps = std::make_unique<QSignalSpy>(w.get(), &FrmZelMain::beeped);
    }
    void cleanup() {
        beeps.reset();
        w.reset();
    }

    // Restored settings reach the dialog and panel; a dialog choice is what
    // Connect uses and Save Defaults writes, with the thresholds, for the next start.
    void settingsReachThePanelAndTheFile() {
        QVERIFY(w->frmZelModem->optDirect->isChecked());
        QCOMPARE((QStringList{w->frmZelModem->cmbPort->currentText().trimmed(), w->txtPkPosLed->text(),
                              QString::number(w->vsbPkNegLed->value()), state()}),
                 (QStringList{"COM 2", "110", "110", "lblOffLine &Connect menu on"}));
        QCOMPARE(activeTimers(), (QStringList{"tmrPkNeg100", "tmrPkPos125"}));
        w->frmZelModem->cmbPort->setEditText("SIM");
        w->vsbPkPosLed->setValue(120);
        w->cmdConnect->click();
        QCOMPARE(line->portText().trimmed(), "SIM");
        w->cmdConnect->click();
        w->mnuSaveDefaults->trigger();
        const QByteArray saved = zeltest::readSettingsFile();
        QCOMPARE(saved.mid(4, 3) + saved.right(6) + QByteArray::number(saved.size()), "SIM120110111");
        w = std::make_unique<FrmZelMain>();
        QCOMPARE(w->txtPkPosLed->text() + w->frmZelModem->cmbPort->currentText().trimmed(), "120SIM");
    }

    // Exit, File > Exit and the frame's close button ask first; Yes closes an
    // open port and stops every timer. Nothing is saved.
    void exitAsks_data() {
        QTest::addColumn<bool>("yes");
        QTest::addColumn<int>("how"); // 0 Exit, 1 File > Exit, 2 the frame's close button
        QTest::addColumn<bool>("connected");
        for (auto [name, yes, how, connected] : {std::tuple{"Exit, No", false, 0, true},
                                                 {"Exit, Yes", true, 0, true},
                                                 {"menu, Yes", true, 1, false},
                                                 {"frame, No", false, 2, false},
                                                 {"frame, Yes", true, 2, true}})
            QTest::newRow(name) << yes << how << connected;
    }
    void exitAsks() {
        QFETCH(bool, yes);
        QFETCH(int, how);
        QFETCH(bool, connected);
        w->show();
        if (connected) w->cmdConnect->click();
        get<QTimer>("tmrAudio")->start();
        QSignalSpy ended(w.get(), &FrmZelMain::programEnded);
        zeltest::SeenBox box;
        zeltest::answerNextMessageBox(yes ? QMessageBox::Yes : QMessageBox::No, &box);
        if (how == 0) w->cmdExit->click();
        if (how == 1) w->mnuExit->trigger();
        if (how == 2) QCOMPARE(w->close(), yes);
        QCOMPARE(
            std::tuple(box.title, box.buttons, box.defaultButton),
            std::tuple(QStringLiteral("EXIT PROGRAM"), QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes));
        const bool open = line && line->isOpen();
        QCOMPARE(
            (QList<bool>{w->isExiting(), w->isHidden(), ended.count() == 1, !open, activeTimers().isEmpty()}),
            (QList<bool>{yes, yes, yes, !connected || yes, yes}));
        QCOMPARE(zeltest::readSettingsFile(), zeltest::sampleRecord());
    }

    void screenshots() {
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        connectLine();
        packet(53, 40, 20);
        QVERIFY(w->grab().save(QStringLiteral(ZEL_TEST_OUTPUT_DIR "/panel.png")));
        w->cmdConnect->click();
        w->mnuModemSettings->trigger();
        QVERIFY(QTest::qWaitForWindowExposed(w->frmZelModem));
        // The Alerts tab with a refused command and a long outcome beside the test button.
        w->frmZelModem->txtAlertCommand->setText("sh -c 'mail -s alarm");
        w->frmZelModem->cmdTestAlert->click();
        w->frmZelModem->showTestAlertResult(
            "Not sent by command: exited with code 1: mail: cannot send message: no route.");
        QTabWidget* tabs = w->frmZelModem->tabs;
        for (int i = 0; i < tabs->count(); ++i) {
            tabs->setCurrentIndex(i);
            QVERIFY(w->frmZelModem->grab().save(
                QStringLiteral(ZEL_TEST_OUTPUT_DIR "/settings-tab%1.png").arg(i + 1)));
        }
    }

    // "Send test alert" shows beside the button whether it went, or why not.
    void testAlertShowsItsOutcome() {
        FrmZelModem* d = w->frmZelModem;
        d->cmdTestAlert->click();
        QVERIFY2(d->lblTestAlertResult->text().contains("no alert command or webhook is set"),
                 qPrintable(d->lblTestAlertResult->text()));
        d->txtAlertCommand->setText("true");
        d->cmdTestAlert->click();
        QCOMPARE(d->lblTestAlertResult->text(), "Sending...");
        QTRY_COMPARE(d->lblTestAlertResult->text(), "Sent by command.");
        d->txtAlertCommand->setText("false");
        d->cmdTestAlert->click();
        QTRY_VERIFY2(d->lblTestAlertResult->text().startsWith("Not sent by command: exited"),
                     qPrintable(d->lblTestAlertResult->text()));
        d->txtAlertCommand->setText("sh -c 'exit 3");
        d->cmdTestAlert->click();
        QVERIFY(d->lblTestAlertResult->text().startsWith("Not sent"));
    }

    // A packet switches exactly the segments whose state changes, and repaints
    // them: after each packet the screen matches a full repaint. A dark segment
    // looks like a hidden one.
    void barMarkerAndRepaints() {
        connectLine();
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        int switched = 0;
        for (int i = 0; i <= 56; ++i)
            for (Indicator* e : {w->picLed[i], w->picDot[i]})
                connect(e, &Indicator::litChanged, this, [&switched] { ++switched; });
        const auto stale = [&] { // what differs between the screen and a full repaint
            QCoreApplication::processEvents();
            const auto rgb = [](const QPixmap& p) {
                return p.toImage().convertToFormat(QImage::Format_RGB32);
            };
            return rgb(w->windowHandle()->screen()->grabWindow(w->winId())) != rgb(w->grab());
        };
        QVERIFY(!stale());
        const int steps[][3] = {
            {40, 40, 41}, {40, 40, 0}, {41, 41, 3}, {38, 41, 3}, // value, marker, switched
            {55, 55, 19}, {54, 55, 1}, {1, 55, 53}, {0, 55, 1}};
        for (auto [value, marked, changes] : steps) {
            switched = 0;
            packet(float(value), value > 50 ? 45 : 0, value > 50 ? 30 : 40);
            QVERIFY2(barShows(value) && !stale(), qPrintable(QString::number(value)));
            QCOMPARE(std::pair(marker(), switched), std::pair(marked, changes));
        }
        flashersOut();
        for (float v : {30, 52, 20, 2, 3, 55, 0})
            packet(v, 0, 40);
        QVERIFY(!stale());
        packet(40, 0, 40);
        Indicator *dark = w->picLed[45], *on = w->picLed[30];
        const auto look = [](const QWidget* seg) {
            return seg->parentWidget()->grab(seg->geometry()).toImage();
        };
        const QImage asDark = look(dark);
        dark->hide();
        w->picDot[45]->hide();
        QCOMPARE(asDark, look(dark));
        QCOMPARE(look(on).pixelColor(on->rect().center()), QColor(0, 255, 0));
    }

    // Each click selects the next reading and lights its LED; the peak hold stays.
    void selectorChoosesTheReading() {
        connectLine();
        packet(45, 10, 38);
        for (auto [selected, bar] : {std::pair{1, 10}, {2, 38}, {0, 45}}) {
            w->cmdSelect->click();
            for (int i = 0; i < 3; ++i)
                QCOMPARE(color(QStringLiteral("shpSelectLed(%1)").arg(i)) == QColor(0, 255, 0),
                         i == selected);
            packet(45, 10, 38);
            QVERIFY(barShows(bar) && marker() == 45);
        }
    }

    // Four flashers at once, one beep each; each hold tick puts its own out.
    void flashersLightAndGoOut() {
        connectLine();
        w->vsbPkNegLed->setValue(96);
        QCOMPARE(w->txtPkNegLed->text(), "96");
        flashersOut();
        packet(52, 40, 40);
        QCOMPARE(beeps->count(), 4);
        packet(10, 10, 40); // below: they stay lit until their ticks
        for (auto [led, timer, on, out] : {std::tuple{"shpPkPos125Led", "tmrPkPos125", Red, RedOut},
                                           {"shpPkNeg100Led", "tmrPkNeg100", Red, RedOut},
                                           {"shpPkPosLed", "tmrPkPosVar", Yellow, YellowOut},
                                           {"shpPkNegLed", "tmrPkNegVar", Yellow, YellowOut}}) {
            QCOMPARE(color(QLatin1String(led)), on);
            tick(timer);
            QCOMPARE(color(QLatin1String(led)), out);
        }
    }

    // The alarm LEDs follow the model; muted, alarms light silently and the pictures swap.
    void alarmLedsAndSpeaker() {
        connectLine();
        packet(10, 10, 20); // carrier below its window
        QCOMPARE(color("shpCarrierLed"), Red);
        packet(0, 0, 40); // back in its window, and silence
        QCOMPARE(color("shpCarrierLed"), RedOut);
        tick("tmrAudio"); // 15 s of silence
        QCOMPARE(color("shpAudioLed"), Red);
        packet(1, 0, 40);
        QCOMPARE(color("shpAudioLed"), RedOut);

        QTest::mouseClick(get("imgSpeakerOn"), Qt::LeftButton);
        QVERIFY(!shown("imgSpeakerOn") && shown("imgSpeakerOff"));
        flashersOut();
        beeps->clear();
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

    // Connect and Disconnect as labels, button and menu show them; packets
    // reach the bar and the diagnostic line. A line failing while open shows
    // Reconnecting, the reason as tooltip, asking nobody; a port refusing
    // Connect gets a box naming it and why.
    void connectDisconnectAndPortTrouble() {
        connectLine();
        QCOMPARE(state(), "lblConnected &Disconnect menu off");
        QVERIFY(line->written.startsWith('x'));
        line->receive("x196040181");
        QVERIFY(w->lblRcvdat->text() == "x196040181" && barShows(40));
        QVERIFY(!w->lblRcvdat->updatesEnabled()); // out of sight below the panel: no repaints
        w->resize(w->width(), w->lblRcvdat->mapTo(w.get(), QPoint()).y() + 50);
        line->receive("x196040181");
        QVERIFY(w->lblRcvdat->updatesEnabled());
        w->cmdConnect->click();
        QCOMPARE(state(), "lblOffLine &Connect menu on");
        QVERIFY(!line || !line->isOpen());
        QVERIFY(barShows(0) && marker() == 0);
        QCOMPARE(w->findChildren<QTimer*>("tmrXmit").size(), 1);
        QVERIFY(!get<QTimer>("tmrXmit")->isActive());
        packet(52, 40, 20); // off line the carrier is not judged and nothing beeps
        QCOMPARE(color("shpCarrierLed"), RedOut);
        QCOMPARE(beeps->count(), 0);

        connectLine();
        const QString reason = "the adapter was unplugged";
        line->failNow(reason);
        QCOMPARE(state(), "lblReconnecting &Disconnect menu off");
        QCOMPARE(get("lblReconnecting")->toolTip(), reason);
        QVERIFY(get<QTimer>("tmrReconnect")->isActive() && !QApplication::activeModalWidget());
        w->cmdConnect->click();
        QVERIFY(!get<QTimer>("tmrReconnect")->isActive());
        zeltest::SeenBox box;
        zeltest::answerNextMessageBox(QMessageBox::Ok, &box);
        useFakeTransports(w->session()->link(), &line, reason);
        w->cmdConnect->click();
        QTRY_VERIFY(box.shown);
        QCOMPARE(box.title, "PORT ERROR");
        QVERIFY2(box.text.contains("\"COM 2\"") && box.text.contains(reason), qPrintable(box.text));
        QTRY_COMPARE(state(), "lblOffLine &Connect menu on");
        QVERIFY(!get<QTimer>("tmrXmit")->isActive());
    }
};
ZEL_TEST(MainWindowTest)
#include "tst_mainwindow.moc"
