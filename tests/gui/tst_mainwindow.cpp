// The main window around the panel: start-up, the confirmed exit, the About
// box, the settings dialog reaching the session and the files, and the
// pictures of the panel and the dialog.
#include "core/link/linkcontroller.h"
#include "core/session/monitorsession.h"
#include "gui/frmzelabout.h"
#include "gui/frmzelmain.h"
#include "gui/frmzelmodem.h"
#include "gui/indicator.h"
#include "scriptedtransport.h"
#include "support/testmain.h"
#include "support/testsupport.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTimer>

namespace {
QString png(const QString& name) {
    return QDir(QStringLiteral(ZEL_TEST_OUTPUT_DIR)).filePath(name);
}
} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
    std::unique_ptr<FrmZelMain> w;
    QPointer<ScriptedTransport> line;

    template <class T = QWidget> T* get(QObject* parent, const QString& name) const {
        auto* found = parent->findChild<T*>(name);
        if (!found) qFatal("no control %s", qPrintable(name));
        return found;
    }
    QStringList activeTimers() const {
        QStringList names;
        for (QTimer* t : w->findChildren<QTimer*>())
            if (t->isActive()) names << t->objectName();
        names.sort();
        return names;
    }

private slots:
    void init() {
        zeltest::writeSettingsFile(zeltest::sampleRecord());
        auto* session = new zel::MonitorSession;
        useScriptedTransports(session->link(), &line);
        w = std::make_unique<FrmZelMain>(session);
    }
    void cleanup() { w.reset(); }

    // Restored settings reach the dialog and the panel; the port stays
    // closed, only "Off Line" shows, and the flashers' holds are running
    // from the restore.
    void startUp() {
        QVERIFY(!line);
        QCOMPARE(w->frmZelModem->cmbPort->currentText().trimmed(), QStringLiteral("COM 2"));
        QVERIFY(w->frmZelModem->optDirect->isChecked());
        QCOMPARE(w->txtPkPosLed->text(), QStringLiteral("110"));
        QCOMPARE(w->vsbPkNegLed->value(), 110);
        for (auto* l : {w->lblOffLine, w->lblNoDialTone, w->lblInitializing, w->lblHanging, w->lblDialing,
                        w->lblConnected, w->lblBusy})
            QCOMPARE(l->isHidden(), l != w->lblOffLine);
        QCOMPARE(w->cmdConnect->text(), QStringLiteral("&Connect"));
        QCOMPARE(activeTimers(), (QStringList{"tmrPkNeg100", "tmrPkPos125"}));
    }

    // The legends over the selector LEDs do not run into each other.
    void selectorLegendsApart() {
        QRect previous;
        for (int i : {6, 4, 5}) {
            auto* l = get<QLabel>(w.get(), QStringLiteral("Label4(%1)").arg(i));
            const int width = l->fontMetrics().horizontalAdvance(l->text());
            const QRect text(l->geometry().center().x() - width / 2, l->y(), width, l->height());
            QVERIFY2(!text.intersects(previous), qPrintable(l->text()));
            previous = text;
        }
    }

    // A broken settings record is reported and the defaults are used.
    void brokenSettingsFallBackToDefaults() {
        w.reset();
        zeltest::writeSettingsFile("short");
        zeltest::SeenBox box;
        zeltest::answerNextMessageBox(QMessageBox::Ok, &box);
        w = std::make_unique<FrmZelMain>();
        QVERIFY(box.shown);
        QCOMPARE(box.title, QStringLiteral("FILE ERROR"));
        QCOMPARE(w->txtPkNegLed->text(), QStringLiteral("100"));
        QCOMPARE(zeltest::readSettingsFile(), QByteArray("short")); // nothing written over it
    }

    // A choice made in the dialog is what Connect uses, and Save Defaults
    // writes it with the panel's thresholds.
    void dialogChoicesReachTheSessionAndTheFile() {
        w->frmZelModem->cmbPort->setEditText(QStringLiteral("SIM"));
        w->vsbPkPosLed->setValue(120);
        QCOMPARE(w->session()->settings().connection.directPort.trimmed(), QStringLiteral("SIM"));
        w->cmdConnect->click();
        QVERIFY(line);
        QCOMPARE(line->portText().trimmed(), QStringLiteral("SIM"));
        w->cmdConnect->click();
        w->mnuSaveDefaults->trigger();
        const QByteArray saved = zeltest::readSettingsFile();
        QCOMPARE(saved.size(), 111);
        QVERIFY(saved.mid(4, 5).startsWith("SIM"));
        QCOMPARE(saved.right(6), QByteArray("120110"));
        // A new window restores the same.
        w = std::make_unique<FrmZelMain>();
        QCOMPARE(w->txtPkPosLed->text(), QStringLiteral("120"));
        QCOMPARE(w->frmZelModem->cmbPort->currentText().trimmed(), QStringLiteral("SIM"));
    }

    void aboutTwiceGivesOneBox() {
        QVERIFY(!w->frmZelAbout);
        w->mnuAbout->trigger();
        w->mnuAbout->trigger();
        QCOMPARE(w->findChildren<QWidget*>("frmZelAbout").size(), 1);
        QWidget* about = w->frmZelAbout;
        QVERIFY(about && !about->isHidden());
        QCOMPARE(get<QLabel>(about, "Label2")->text(), QStringLiteral("Version - " ZEL_VERSION));
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
        if (connected) w->cmdConnect->click();
        get<QTimer>(w.get(), "tmrAudio")->start();
        QSignalSpy ended(w.get(), &FrmZelMain::programEnded);
        zeltest::SeenBox box;
        zeltest::answerNextMessageBox(answer, &box);
        connected ? w->cmdExit->click() : w->mnuExit->trigger();
        QCOMPARE(box.title, QStringLiteral("EXIT PROGRAM"));
        QCOMPARE(box.buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(box.defaultButton, QMessageBox::Yes);
        QCOMPARE(w->isExiting(), yes);
        QCOMPARE(ended.count(), int(yes));
        QCOMPARE(bool(line) && line->isOpen(), connected && !yes);
        if (yes)
            QCOMPARE(activeTimers(), QStringList());
        else
            QVERIFY(activeTimers().contains(QStringLiteral("tmrXmit")));
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

    // Pictures of the panel in alarm and of each tab of the settings dialog.
    void screenshots() {
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        w->cmdConnect->click();
        w->session()->model()->showReadings({53, 40, 20});
        QVERIFY(w->grab().save(png(QStringLiteral("panel.png"))));
        QTabWidget* tabs = w->frmZelModem->SSTab1;
        w->cmdConnect->click();
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
