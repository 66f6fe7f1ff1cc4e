#include "app/twips.h"
#include "dialogs/frmzelmodem.h"
#include "link/portname.h"
#include "support/testmain.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTabBar>
#include <QTabWidget>

using zel::twipsRect;

namespace {

const Qt::CheckState States[] = {Qt::Unchecked, Qt::Checked, Qt::PartiallyChecked};

template <class T> T* child(const FrmZelModem& d, const char* name) {
    auto* w = d.findChild<T*>(QString::fromLatin1(name));
    if (!w) qFatal("no control %s", name);
    return w;
}

} // namespace

class FrmZelModemTest : public QObject {
    Q_OBJECT
private slots:
    void layoutByName_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("parentName");
        QTest::addColumn<QRect>("twips");
        auto row = [](const char* n, const char* p, int l, int t, int w, int h) {
            QTest::newRow(n) << QString::fromLatin1(n) << QString::fromLatin1(p) << QRect(l, t, w, h);
        };
        row("SSTab1", "frmZelModem", 0, 0, 4245, 5535);
        row("cmdOk", "frmZelModem", 240, 4920, 1095, 495);
        row("cmdApply", "frmZelModem", 1560, 4920, 1095, 495);
        row("cmdClose", "frmZelModem", 2880, 4920, 1095, 495);
        row("optDirect", "Frame4", 240, 240, 1455, 255);
        row("cmbPort", "Frame4", 1800, 240, 1695, 315);
        row("Label2", "Frame1", 360, 480, 3255, 975);
        row("optPulse", "Frame5", 240, 720, 1095, 195);
        row("txtPhoneNumber", "Frame5", 1200, 600, 2295, 285);
        row("txt9", "tabDialingCanvas", 3120, 1920, 615, 285);
        row("chkWaiting", "tabDialingCanvas", 480, 2400, 1815, 375);
        row("Frame2", "tabDialingCanvas", 240, 2880, 3735, 1935);
        row("cmbModem", "tabModemSetupCanvas", 2040, 720, 1695, 315);
        row("optLoud", "Frame6", 240, 840, 1095, 375);
        row("Label7", "Frame6", 2040, 480, 1335, 495);
        row("txtModemIni", "tabModemSetupCanvas", 1560, 2520, 2175, 315);
    }
    void layoutByName() {
        QFETCH(QString, name);
        QFETCH(QString, parentName);
        QFETCH(QRect, twips);
        FrmZelModem d;
        auto* w = d.findChild<QWidget*>(name);
        QVERIFY(w);
        QCOMPARE(w->parentWidget()->objectName(), parentName);
        QCOMPARE(w->geometry(), twipsRect(twips.x(), twips.y(), twips.width(), twips.height()));
        QCOMPARE(w->font().family(), QStringLiteral("Arial"));
        QCOMPARE(w->font().pointSizeF(), 8.25);
    }

    void windowAndCaptions() {
        FrmZelModem d;
        QCOMPARE(d.windowTitle(), QStringLiteral("Modem Settings"));
        QCOMPARE(d.size(), QSize(zel::px(4260), zel::px(5760)));
        QCOMPARE(d.palette().color(QPalette::Window), QColor(192, 192, 192));
        QCOMPARE(d.SSTab1->count(), 3);
        QCOMPARE(d.SSTab1->tabText(0), QStringLiteral("Connection"));
        QCOMPARE(d.SSTab1->tabText(1), QStringLiteral("Dialing"));
        QCOMPARE(d.SSTab1->tabText(2), QStringLiteral("Modem Setup"));
        QCOMPARE(d.SSTab1->currentIndex(), 0);
        QCOMPARE(d.cmdOk->text(), QStringLiteral("&Ok"));
        QCOMPARE(d.cmdApply->text(), QStringLiteral("&Apply"));
        QCOMPARE(d.cmdClose->text(), QStringLiteral("&Close"));
        QCOMPARE(d.optDirect->text(), QStringLiteral("Direct Cable"));
        QCOMPARE(d.chkOutside->text(), QStringLiteral("Dial for outside line."));
        QCOMPARE(d.chkWaiting->text(), QStringLiteral("Disable Call waiting."));
        QCOMPARE(d.chkModemIni->text(), QStringLiteral("Ini. String"));
        QCOMPARE(d.Frame1->title(), QStringLiteral("Tip"));
        QVERIFY(d.Frame4->title().isEmpty());
        QCOMPARE(d.Label5->text(), QStringLiteral("Dialing Mode / Number"));
        QCOMPARE(d.Label7->text(), QStringLiteral("Modem Speaker\nVolume"));
        // Initial contents: nothing selected or checked.
        for (QRadioButton* o :
             {d.optDirect, d.optModem, d.optTone, d.optPulse, d.optOff, d.optLow, d.optLoud})
            QVERIFY(!o->isChecked());
        for (QCheckBox* c : {d.chkOutside, d.chkWaiting, d.chkModemIni})
            QCOMPARE(c->checkState(), Qt::Unchecked);
        QCOMPARE(d.cmbPort->currentText(), QStringLiteral("COM 1"));
        QCOMPARE(d.cmbModem->currentText(), QStringLiteral("COM 3"));
        QCOMPARE(d.txt9->text(), QStringLiteral("9"));
        QCOMPARE(d.txt70->text(), QStringLiteral("*70"));
        QCOMPARE(d.txtModemIni->text(), QStringLiteral("AT"));
        for (QComboBox* c : {d.cmbPort, d.cmbModem}) {
            QVERIFY(c->isEditable());
            QStringList items;
            for (int i = 0; i < c->count(); ++i)
                items << c->itemText(i);
            QCOMPARE(items, zel::availablePortTexts());
        }
    }

    // Shown, the controls of a tab stand where the tab control's own
    // coordinates put them, below the row of tabs.
    void tabControlsAreRelativeToTheTabControl() {
        FrmZelModem d;
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        QCOMPARE(d.optDirect->mapTo(d.SSTab1, QPoint()),
                 QPoint(zel::px(240) + zel::px(240), zel::px(480) + zel::px(240)));
        QVERIFY(d.Frame4->mapTo(d.SSTab1, QPoint()).y() >= d.SSTab1->tabBar()->height());
        d.SSTab1->setCurrentIndex(2);
        QTest::qWait(10);
        QCOMPARE(d.txtModemIni->mapTo(d.SSTab1, QPoint()), twipsRect(1560, 2520, 0, 0).topLeft());
        // The buttons stand in front of the tab control on every tab.
        QVERIFY(!d.cmdOk->isHidden() && d.cmdOk->isVisible());
        d.hide();
    }

    void helpTexts() {
        FrmZelModem d;
        const QString connection = QStringLiteral(
            "Pick which way you are going to connect your computer to the Model Zel.  If by a direct cable, "
            "pick which COM port you are going to use.  (Usually COM1 or COM2)");
        QCOMPARE(d.Label2->text(), connection); // no long run, no line break
        const QStringList dialing = d.Label3->text().split(QLatin1Char('\n'));
        QCOMPARE(dialing,
                 QStringList({
                     "Select which mode your modem will use in dialing on an outside line.",
                     "If you need to dial a 9 (or other number) to get an outside line, check that box.",
                     "To disable call waiting while connected to the Zel, check that box.",
                 }));
        const QStringList setup = d.Label4->text().split(QLatin1Char('\n'));
        QCOMPARE(setup,
                 QStringList({"Pick which ComPort your modem is connected to and what the volume level "
                              "you want through your modem's speakers.",
                              "If you need to send any additional commands to your modem, use the area "
                              "provided and check the Ini. String box."}));
        for (QLabel* l : {d.Label2, d.Label3, d.Label4})
            QVERIFY(l->wordWrap());
    }

    void enableRules_data() {
        QTest::addColumn<int>("connection"); // 0 direct, 1 modem, 2 neither
        QTest::addColumn<int>("outside");
        QTest::addColumn<int>("waiting");
        QTest::addColumn<int>("ini");
        for (int c = 0; c < 3; ++c)
            for (int o = 0; o < 3; ++o)
                for (int w = 0; w < 3; ++w)
                    for (int i = 0; i < 3; ++i)
                        QTest::addRow("conn%d out%d wait%d ini%d", c, o, w, i) << c << o << w << i;
    }
    void enableRules() {
        QFETCH(int, connection);
        QFETCH(int, outside);
        QFETCH(int, waiting);
        QFETCH(int, ini);
        FrmZelModem d;
        // Start from the opposite state so that every change must be noticed.
        FrmZelModem::setOption(connection == 0 ? d.optModem : d.optDirect, true);
        for (QCheckBox* c : {d.chkOutside, d.chkWaiting, d.chkModemIni})
            c->setCheckState(Qt::Checked);
        // Set the way loading does; the update must follow by itself.
        FrmZelModem::setOption(d.optDirect, connection == 0);
        FrmZelModem::setOption(d.optModem, connection == 1);
        d.chkOutside->setCheckState(States[outside]);
        d.chkWaiting->setCheckState(States[waiting]);
        d.chkModemIni->setCheckState(States[ini]);
        QCOMPARE(d.optDirect->isChecked(), connection == 0);
        QCOMPARE(d.optModem->isChecked(), connection == 1);

        const bool direct = connection == 0;
        QCOMPARE(d.cmbPort->isEnabled(), direct);
        for (QWidget* w : std::initializer_list<QWidget*>{d.optTone, d.optPulse, d.txtPhoneNumber,
                                                          d.chkOutside, d.chkWaiting, d.cmbModem, d.optOff,
                                                          d.optLow, d.optLoud, d.chkModemIni})
            QVERIFY2(w->isEnabled() == !direct, qPrintable(w->objectName()));
        // Only state 1 counts as checked.
        QCOMPARE(d.txt9->isEnabled(), !direct && outside == 1);
        QCOMPARE(d.txt70->isEnabled(), !direct && waiting == 1);
        QCOMPARE(d.txtModemIni->isEnabled(), !direct && ini == 1);
        for (QWidget* w : std::initializer_list<QWidget*>{d.Frame4, d.Frame5, d.Frame6, d.SSTab1, d.cmdOk,
                                                          d.cmdApply, d.cmdClose, d.Label5})
            QVERIFY(w->isEnabled());
    }

    void disabledKeepsItsText() {
        FrmZelModem d;
        FrmZelModem::setOption(d.optModem, true);
        d.chkOutside->setCheckState(Qt::Checked);
        d.txt9->setText(QStringLiteral("81"));
        QVERIFY(d.txt9->isEnabled());
        d.chkOutside->click();
        QVERIFY(!d.txt9->isEnabled());
        QCOMPARE(d.txt9->text(), QStringLiteral("81"));
        d.chkOutside->click();
        QVERIFY(d.txt9->isEnabled());
        QCOMPARE(d.txt9->text(), QStringLiteral("81"));
    }

    void tabClickRunsTheUpdate() {
        FrmZelModem d;
        FrmZelModem::setOption(d.optDirect, true);
        d.cmbPort->setEnabled(false); // out of step with the choice
        QTabBar* bar = d.SSTab1->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(1).center());
        QCOMPARE(d.SSTab1->currentIndex(), 1);
        QVERIFY(d.cmbPort->isEnabled());
    }

    void setOptionClearsAndSelects() {
        FrmZelModem d;
        FrmZelModem::setOption(d.optLow, true);
        FrmZelModem::setOption(d.optLoud, true);
        QVERIFY(!d.optLow->isChecked());
        QVERIFY(d.optLoud->isChecked());
        FrmZelModem::setOption(d.optLoud, false);
        QVERIFY(!d.optOff->isChecked() && !d.optLow->isChecked() && !d.optLoud->isChecked());
        QVERIFY(d.optLoud->autoExclusive());
        // The group still excludes afterwards.
        d.optOff->click();
        d.optLow->click();
        QVERIFY(!d.optOff->isChecked() && d.optLow->isChecked());
        // Groups are per frame.
        FrmZelModem::setOption(d.optTone, true);
        QVERIFY(d.optLow->isChecked());
    }

    void checkBoxesAreTwoStateButHoldGreyed() {
        FrmZelModem d;
        FrmZelModem::setOption(d.optModem, true);
        d.chkWaiting->setCheckState(Qt::PartiallyChecked);
        QCOMPARE(d.chkWaiting->checkState(), Qt::PartiallyChecked);
        d.chkWaiting->click();
        QCOMPARE(d.chkWaiting->checkState(), Qt::Checked);
        d.chkWaiting->click();
        QCOMPARE(d.chkWaiting->checkState(), Qt::Unchecked);
        d.chkWaiting->click();
        QCOMPARE(d.chkWaiting->checkState(), Qt::Checked);
    }

    void typingLimitsBindTypingOnly() {
        FrmZelModem d;
        FrmZelModem::setOption(d.optModem, true);
        d.chkOutside->setCheckState(Qt::Checked);
        d.chkModemIni->setCheckState(Qt::Checked);
        d.txtPhoneNumber->clear();
        QTest::keyClicks(d.txtPhoneNumber, QStringLiteral("123456789012345678901234567890"));
        QCOMPARE(d.txtPhoneNumber->text(), QStringLiteral("123456789012345678901234"));

        // A restored text keeps its padding, one blank over the limit.
        d.txt9->setText(QStringLiteral("9     "));
        QCOMPARE(d.txt9->text(), QStringLiteral("9     "));
        QTest::keyClicks(d.txt9, QStringLiteral("1"));
        QCOMPARE(d.txt9->text(), QStringLiteral("9     "));
        QTest::keyClick(d.txt9, Qt::Key_Backspace);
        QCOMPARE(d.txt9->text(), QStringLiteral("9    "));
        QTest::keyClicks(d.txt9, QStringLiteral("1"));
        QCOMPARE(d.txt9->text(), QStringLiteral("9    "));
        d.txt9->selectAll();
        QTest::keyClicks(d.txt9, QStringLiteral("12345678"));
        QCOMPARE(d.txt9->text(), QStringLiteral("12345"));

        const QString ini = QStringLiteral("AT") + QString(21, QLatin1Char(' '));
        d.txtModemIni->setText(ini);
        QCOMPARE(d.txtModemIni->text(), ini);
        QTest::keyClicks(d.txtModemIni, QStringLiteral("Z"));
        QCOMPARE(d.txtModemIni->text(), ini);
        d.txt70->setText(QStringLiteral("*70   "));
        QCOMPARE(d.txt70->text(), QStringLiteral("*70   "));

        // Port boxes take any text and keep restored padding.
        d.cmbPort->setEditText(QStringLiteral("COM 2"));
        QCOMPARE(d.cmbPort->currentText(), QStringLiteral("COM 2"));
        d.cmbModem->setEditText(QStringLiteral("SIM  "));
        QCOMPARE(d.cmbModem->currentText(), QStringLiteral("SIM  "));
    }

    void okSavesAndStaysOpen() {
        FrmZelModem d;
        QSignalSpy save(&d, &FrmZelModem::saveRequested);
        QSignalSpy main(&d, &FrmZelModem::mainWindowRequested);
        d.show();
        d.txtPhoneNumber->setText(QStringLiteral("555"));
        d.cmdOk->click();
        QCOMPARE(save.count(), 1);
        QCOMPARE(main.count(), 0);
        QVERIFY(!d.isHidden());
        QCOMPARE(d.txtPhoneNumber->text(), QStringLiteral("555"));
        d.hide();
    }

    void applySavesHidesAndRaisesTheMainWindow() {
        FrmZelModem d;
        QSignalSpy save(&d, &FrmZelModem::saveRequested);
        QSignalSpy main(&d, &FrmZelModem::mainWindowRequested);
        bool savedWhileShown = false;
        connect(&d, &FrmZelModem::saveRequested, this, [&] { savedWhileShown = !d.isHidden(); });
        d.show();
        d.cmdApply->click();
        QCOMPARE(save.count(), 1);
        QVERIFY(savedWhileShown);
        QCOMPARE(main.count(), 1);
        QVERIFY(d.isHidden());
    }

    void closeAndEscapeHideWithoutSaving() {
        QPointer<FrmZelModem> d = new FrmZelModem;
        QSignalSpy save(d, &FrmZelModem::saveRequested);
        QSignalSpy main(d, &FrmZelModem::mainWindowRequested);
        d->show();
        d->SSTab1->setCurrentIndex(2);
        d->txtModemIni->setText(QStringLiteral("ATM0"));
        d->cmdClose->click();
        QVERIFY(d->isHidden());
        QCOMPARE(main.count(), 1);

        d->show();
        QTest::keyClick(d.data(), Qt::Key_Escape);
        QVERIFY(d->isHidden());
        QCOMPARE(main.count(), 2);

        // The frame's close button hides too; the dialog lives on.
        d->show();
        d->close();
        QVERIFY(d);
        QVERIFY(d->isHidden());
        QCOMPARE(main.count(), 3);
        QCOMPARE(save.count(), 0);

        // Shown again: same contents, same tab.
        d->show();
        QCOMPARE(d->txtModemIni->text(), QStringLiteral("ATM0"));
        QCOMPARE(d->SSTab1->currentIndex(), 2);
        d->hide();
        delete d;
    }

    void enterPressesOk() {
        FrmZelModem d;
        QSignalSpy save(&d, &FrmZelModem::saveRequested);
        QSignalSpy main(&d, &FrmZelModem::mainWindowRequested);
        QVERIFY(d.cmdOk->isDefault());
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        FrmZelModem::setOption(d.optModem, true);
        d.SSTab1->setCurrentIndex(1);
        d.txtPhoneNumber->setFocus();
        d.txtPhoneNumber->setText(QStringLiteral("1234567"));
        QTest::keyClick(d.txtPhoneNumber, Qt::Key_Return);
        QCOMPARE(save.count(), 1);
        QCOMPARE(main.count(), 0);
        QVERIFY(!d.isHidden());
        QCOMPARE(d.txtPhoneNumber->text(), QStringLiteral("1234567"));
        d.hide();
    }
};
ZEL_TEST(FrmZelModemTest)
#include "tst_frmzelmodem.moc"
