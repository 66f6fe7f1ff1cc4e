// The main window as laid out at start-up, its menus, the confirmed exit and
// the About box.
#include "support/fakeserial.h"
#include "support/testmain.h"
#include "support/testsupport.h"

#include "gui/frmzelabout.h"
#include "gui/frmzelmain.h"
#include "gui/twips.h"
#include "gui/frmzelmodem.h"
#include "gui/indicator.h"

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
                // Nothing shows at start: the templates (0) and the never-lit
                // 56 are hidden, the others dark.
                QVERIFY2(seg->isHidden() || !seg->isLit(), qPrintable(name));
                QCOMPARE(seg->isHidden(), i == 0 || i == 56);
                if (i == 0) continue;
                const QColor expected = i <= 40   ? QColor(0, 255, 0)
                                        : i <= 50 ? QColor(255, 255, 0)
                                                  : QColor(255, 0, 0);
                QCOMPARE(seg->fillColor(), expected);
            }
        }
    }

    // A sample of the panel's controls: place, and where given the caption,
    // the font ("8.25 bold") and the fill or background colour.
    void sample_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("font");
        QTest::addColumn<QColor>("fill");
        auto row = [](const char* name, QRect geometry, const char* text, const char* font = nullptr,
                      QColor fill = {}) {
            QTest::newRow(name) << QString::fromLatin1(name) << geometry << QString::fromLatin1(text)
                                << QString::fromLatin1(font) << fill;
        };
        row("Label11(0)", tw(480, 240, 495, 255), "30%", "8.25 bold");
        row("Label1", tw(4080, 120, 615, 255), "100%", "9.75 bold");
        row("Label11(18)", tw(4200, 960, 495, 255), "0dB", "9 bold");
        row("Label2", tw(1440, 1250, 3255, 495), "M O D U L A T I O N", "15.75");
        row("Label5", tw(120, 2760, 9255, 375), "Diagnostic Area - Not for standard use", "8.25 bold");
        row("lblRcvdat", tw(120, 3360, 2415, 255), "EMPTY", "8.25");
        const QRect status = tw(1560, 1920, 4575, 255); // the status labels share one place
        row("lblOffLine", status, "Off Line", nullptr, {255, 128, 0});
        row("lblNoDialTone", status, "No Dial Tone", nullptr, {255, 128, 128});
        row("lblHanging", status, "Hanging Up", nullptr, {255, 255, 0});
        row("lblConnected", status, "Connected", nullptr, {128, 255, 128});
        row("lblBusy", status, "Busy", nullptr, {255, 128, 128});
        row("cmdConnect", tw(7200, 1800, 975, 375), "&Connect", "8.25");
        row("cmdExit", tw(8400, 1800, 975, 375), "E&xit");
        row("vsbPkPosLed", tw(8040, 240, 135, 285), nullptr);
        row("txtPkNegLed", tw(7560, 840, 495, 285), "110");
        row("imgSpeakerOff", tw(240, 1800, 480, 480), nullptr);
        row("Shape6(1)", tw(4440, 600, 1095, 270), nullptr, nullptr, {208, 208, 144});
        row("shpPkPos125Led", {}, nullptr, nullptr, {192, 160, 160});
        // Restoring the thresholds evaluated the alarms with the port closed.
        row("shpCarrierLed", tw(8520, 886, 255, 255), nullptr, nullptr, {195, 160, 160});
        row("shpPkNegLed", tw(7320, 840, 150, 255), nullptr, nullptr, {208, 208, 144});
        row("shpSelectLed(2)", tw(6300, 600, 150, 255), nullptr, nullptr, {160, 192, 160});
    }
    void sample() {
        QFETCH(QString, name);
        QFETCH(QRect, geometry);
        QFETCH(QString, text);
        QFETCH(QString, font);
        QFETCH(QColor, fill);
        QWidget* c = child(w.get(), name);
        if (geometry.isValid()) QCOMPARE(c->geometry(), geometry);
        if (!text.isNull()) QCOMPARE(c->property("text").toString(), text);
        if (!font.isNull()) {
            QCOMPARE(c->font().family(), QStringLiteral("Arial"));
            QCOMPARE(QString::number(c->font().pointSizeF()) + (c->font().bold() ? " bold" : ""), font);
        }
        if (fill.isValid())
            QCOMPARE(c->property(c->inherits("ColorLabel") ? "backColor" : "fillColor").value<QColor>(),
                     fill);
    }

    void controls() {
        QCOMPARE(w->vsbPkPosLed->minimum(), 70);
        QCOMPARE(w->vsbPkPosLed->maximum(), 130);
        QVERIFY(w->txtPkNegLed->isReadOnly() && !w->txtPkNegLed->hasFrame());
        QVERIFY(!w->imgSpeakerOn->isHidden() && w->imgSpeakerOff->isHidden());
        QCOMPARE(child(w.get(), "Line1")->x(), px(4363));
        // Start-up shows "Off Line" only.
        for (auto* l : {w->lblOffLine, w->lblNoDialTone, w->lblInitializing, w->lblHanging, w->lblDialing,
                        w->lblConnected, w->lblBusy})
            QCOMPARE(l->isHidden(), l != w->lblOffLine);
    }

    // Intervals and whether each runs at start-up; the port stays closed.
    void timers() {
        QStringList timers;
        for (const char* name : {"tmrXmit", "tmrSecBeep", "tmrPkNeg100", "tmrPkPos125", "tmrPkNegVar",
                                 "tmrPkPosVar", "tmrAudio"}) {
            auto* t = child<QTimer>(w.get(), QString::fromLatin1(name));
            timers
                << QStringLiteral("%1 %2 %3").arg(name).arg(t->interval()).arg(t->isActive() ? "on" : "off");
        }
        QCOMPARE(timers, (QStringList{"tmrXmit 50 off", "tmrSecBeep 1000 off", "tmrPkNeg100 1000 on",
                                      "tmrPkPos125 1000 on", "tmrPkNegVar 1000 off", "tmrPkPosVar 1000 off",
                                      "tmrAudio 15000 off"}));
        QVERIFY(!child<QTimer>(w.get(), QStringLiteral("tmrDelay"))->isActive());
        QCOMPARE(port->openCount, 0);
    }

    // Captions, in order; every item enabled and without a shortcut.
    void menus() {
        auto texts = [](const QList<QAction*>& actions) {
            QStringList t;
            for (QAction* a : actions)
                t << (a->isSeparator() ? QStringLiteral("-") : a->text()) +
                         (a->isEnabled() ? "" : " (disabled)") + a->shortcut().toString();
            return t;
        };
        QCOMPARE(texts(w->menuBar()->actions()), (QStringList{"&File", "&Modem", "&Help"}));
        QCOMPARE(texts(w->mnuFile->actions()), (QStringList{"&Save Defaults", "-", "E&xit"}));
        QCOMPARE(texts(w->mnuModem->actions()), QStringList{"&Modem Settings"});
        QCOMPARE(texts(w->mnuHelp->actions()), QStringList{"&About"});
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

    // Exit asks first. No changes nothing; Yes closes an open port and stops
    // every timer. Nothing is saved.
    void exitAsks_data() {
        QTest::addColumn<QMessageBox::StandardButton>("answer");
        QTest::addColumn<bool>("connected");
        QTest::newRow("No") << QMessageBox::No << true;
        QTest::newRow("Yes, connected") << QMessageBox::Yes << true;
        QTest::newRow("Yes, disconnected") << QMessageBox::Yes << false;
    }
    void exitAsks() {
        QFETCH(QMessageBox::StandardButton, answer);
        QFETCH(bool, connected);
        const bool yes = answer == QMessageBox::Yes;
        port->setOpenState(connected);
        w->tmrXmit->start();
        w->tmrAudio->start();
        QSignalSpy ended(w.get(), &FrmZelMain::programEnded);
        zeltest::SeenBox box;
        zeltest::answerNextMessageBox(answer, &box);
        connected ? w->cmdExit->click() : w->mnuExit->trigger();
        QCOMPARE(box.title, QStringLiteral("EXIT PROGRAM"));
        QCOMPARE(box.text, QStringLiteral("                Are you sure?   "));
        QCOMPARE(box.icon, QMessageBox::NoIcon);
        QCOMPARE(box.buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(box.defaultButton, QMessageBox::Yes);
        QCOMPARE(w->isExiting(), yes);
        QCOMPARE(ended.count(), int(yes));
        QCOMPARE(port->isOpen(), connected && !yes);
        QCOMPARE(port->closeCount, int(connected && yes));
        QCOMPARE(port->openCount, 0);
        QCOMPARE(w->tmrXmit->isActive(), !yes);
        for (QTimer* t : w->findChildren<QTimer*>())
            QVERIFY2(!yes || !t->isActive(), qPrintable(t->objectName()));
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
        QTabWidget* tabs = w->frmZelModem->SSTab1;
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
