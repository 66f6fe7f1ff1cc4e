#include "gui/twips.h"
#include "gui/frmzelmodem.h"
#include "core/transport/portname.h"
#include "support/testmain.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTabBar>
#include <QTabWidget>

using zel::twipsRect;

class FrmZelModemTest : public QObject {
    Q_OBJECT
private slots:
    // A sample of controls: parent, place, font and caption (a group box's
    // title, otherwise the text).
    void layoutByName_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("parentName");
        QTest::addColumn<QRect>("twips");
        QTest::addColumn<QString>("caption");
        auto row = [](const char* n, const char* p, int l, int t, int w, int h, const char* caption) {
            QTest::newRow(n) << QString::fromLatin1(n) << QString::fromLatin1(p) << QRect(l, t, w, h)
                             << QString::fromLatin1(caption);
        };
        row("cmdOk", "frmZelModem", 240, 4920, 1095, 495, "&Ok");
        row("cmdClose", "frmZelModem", 2880, 4920, 1095, 495, "&Close");
        row("optDirect", "Frame4", 240, 240, 1455, 255, "Direct Cable");
        row("Frame1", "tabConnectionCanvas", 240, 2880, 3735, 1935, "Tip");
        row("Label5", "Frame5", 1200, 240, 2295, 255, "Dialing Mode / Number");
        row("txt9", "tabDialingCanvas", 3120, 1920, 615, 285, "9");
        row("Label7", "Frame6", 2040, 480, 1335, 495, "Modem Speaker\nVolume");
        row("chkModemIni", "tabModemSetupCanvas", 480, 2475, 975, 375, "Ini. String");
        row("txtModemIni", "tabModemSetupCanvas", 1560, 2520, 2175, 315, "AT");
    }
    void layoutByName() {
        QFETCH(QString, name);
        QFETCH(QRect, twips);
        FrmZelModem d;
        auto* w = d.findChild<QWidget*>(name);
        QVERIFY(w);
        QTEST(w->parentWidget()->objectName(), "parentName");
        QCOMPARE(w->geometry(), twipsRect(twips.x(), twips.y(), twips.width(), twips.height()));
        QCOMPARE(w->font().family(), QStringLiteral("Arial"));
        QCOMPARE(w->font().pointSizeF(), 8.25);
        QTEST(w->property(w->inherits("QGroupBox") ? "title" : "text").toString(), "caption");
    }

    void windowAndInitialContents() {
        FrmZelModem d;
        QCOMPARE(d.windowTitle(), QStringLiteral("Modem Settings"));
        QCOMPARE(d.size(), QSize(zel::px(4260), zel::px(5760)));
        QCOMPARE(d.palette().color(QPalette::Window), QColor(192, 192, 192));
        QStringList tabs;
        for (int i = 0; i < d.SSTab1->count(); ++i)
            tabs << d.SSTab1->tabText(i);
        QCOMPARE(tabs, (QStringList{"Connection", "Dialing", "Modem Setup"}));
        QCOMPARE(d.SSTab1->currentIndex(), 0);
        QVERIFY(d.cmdOk->isDefault());
        // Nothing selected until the settings are loaded.
        QVERIFY(!d.optDirect->isChecked() && !d.optModem->isChecked() && !d.optLow->isChecked());
        QCOMPARE(d.cmbPort->currentText(), QStringLiteral("COM 1"));
        QCOMPARE(d.cmbModem->currentText(), QStringLiteral("COM 3"));
        QCOMPARE(d.txt70->text(), QStringLiteral("*70"));
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

    // Long runs of blanks in the tips become line breaks; the double blank
    // after a full stop stays.
    void helpTexts() {
        FrmZelModem d;
        QVERIFY(!d.Label2->text().contains(QLatin1Char('\n')));
        QVERIFY(d.Label2->text().contains(QStringLiteral("Model Zel.  If by a direct cable")));
        QCOMPARE(d.Label3->text().split(QLatin1Char('\n')),
                 QStringList({
                     "Select which mode your modem will use in dialing on an outside line.",
                     "If you need to dial a 9 (or other number) to get an outside line, check that box.",
                     "To disable call waiting while connected to the Zel, check that box.",
                 }));
        QVERIFY(d.Label3->wordWrap());
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
        const Qt::CheckState states[] = {Qt::Unchecked, Qt::Checked, Qt::PartiallyChecked};
        FrmZelModem d;
        // Start from the opposite state so that every change must be noticed.
        FrmZelModem::setOption(connection == 0 ? d.optModem : d.optDirect, true);
        for (QCheckBox* c : {d.chkOutside, d.chkWaiting, d.chkModemIni})
            c->setCheckState(Qt::Checked);
        // Set the way loading does; the update must follow by itself.
        FrmZelModem::setOption(d.optDirect, connection == 0);
        FrmZelModem::setOption(d.optModem, connection == 1);
        d.chkOutside->setCheckState(states[outside]);
        d.chkWaiting->setCheckState(states[waiting]);
        d.chkModemIni->setCheckState(states[ini]);
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
        QVERIFY(!d.optLow->isChecked() && d.optLoud->isChecked());
        FrmZelModem::setOption(d.optLoud, false);
        QVERIFY(!d.optOff->isChecked() && !d.optLow->isChecked() && !d.optLoud->isChecked());
        // The group still excludes afterwards, and only within its frame.
        d.optOff->click();
        d.optLow->click();
        QVERIFY(!d.optOff->isChecked() && d.optLow->isChecked());
        FrmZelModem::setOption(d.optTone, true);
        QVERIFY(d.optLow->isChecked());
    }

    // A click leaves greyed for checked, then toggles; a disabled text keeps
    // what it holds.
    void checkBoxesAreTwoStateButHoldGreyed() {
        FrmZelModem d;
        FrmZelModem::setOption(d.optModem, true);
        d.txt70->setText(QStringLiteral("*82"));
        d.chkWaiting->setCheckState(Qt::PartiallyChecked);
        QCOMPARE(d.chkWaiting->checkState(), Qt::PartiallyChecked);
        for (Qt::CheckState next : {Qt::Checked, Qt::Unchecked, Qt::Checked}) {
            d.chkWaiting->click();
            QCOMPARE(d.chkWaiting->checkState(), next);
            QCOMPARE(d.txt70->isEnabled(), next == Qt::Checked);
            QCOMPARE(d.txt70->text(), QStringLiteral("*82"));
        }
    }

    void typingLimitsBindTypingOnly() {
        FrmZelModem d;
        FrmZelModem::setOption(d.optModem, true);
        d.chkOutside->setCheckState(Qt::Checked);
        QTest::keyClicks(d.txtPhoneNumber, QStringLiteral("123456789012345678901234567890"));
        QCOMPARE(d.txtPhoneNumber->text(), QStringLiteral("123456789012345678901234"));

        // A restored text keeps its padding, one blank over the limit; typing
        // may shorten it but not lengthen it.
        d.txt9->setText(QStringLiteral("9     "));
        QTest::keyClicks(d.txt9, QStringLiteral("1"));
        QCOMPARE(d.txt9->text(), QStringLiteral("9     "));
        QTest::keyClick(d.txt9, Qt::Key_Backspace);
        QCOMPARE(d.txt9->text(), QStringLiteral("9    "));
        QTest::keyClicks(d.txt9, QStringLiteral("1"));
        QCOMPARE(d.txt9->text(), QStringLiteral("9    "));
        d.txt9->selectAll();
        QTest::keyClicks(d.txt9, QStringLiteral("12345678"));
        QCOMPARE(d.txt9->text(), QStringLiteral("12345"));

        // Port boxes take any text and keep restored padding.
        d.cmbModem->setEditText(QStringLiteral("SIM  "));
        QCOMPARE(d.cmbModem->currentText(), QStringLiteral("SIM  "));
    }

    // Ok saves and stays; Apply saves (while shown), hides and raises the
    // main window; Close, Escape and the frame's close button hide without
    // saving. Shown again, the dialog has its contents and tab.
    void buttonsAndKeys_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("saves");
        QTest::addColumn<int>("raises");
        QTest::newRow("Ok") << "Ok" << 1 << 0;
        QTest::newRow("Enter") << "Enter" << 1 << 0;
        QTest::newRow("Apply") << "Apply" << 1 << 1;
        QTest::newRow("Close") << "Close" << 0 << 1;
        QTest::newRow("Escape") << "Escape" << 0 << 1;
        QTest::newRow("close button") << "close button" << 0 << 1;
    }
    void buttonsAndKeys() {
        QFETCH(QString, action);
        QFETCH(int, raises);
        FrmZelModem d;
        QSignalSpy save(&d, &FrmZelModem::saveRequested);
        QSignalSpy main(&d, &FrmZelModem::mainWindowRequested);
        bool savedWhileShown = true;
        connect(&d, &FrmZelModem::saveRequested, this, [&] { savedWhileShown = !d.isHidden(); });
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        FrmZelModem::setOption(d.optModem, true);
        d.SSTab1->setCurrentIndex(1);
        d.txtPhoneNumber->setFocus();
        d.txtPhoneNumber->setText(QStringLiteral("1234567"));

        if (action == QLatin1String("Ok")) d.cmdOk->click();
        if (action == QLatin1String("Enter")) QTest::keyClick(d.txtPhoneNumber, Qt::Key_Return);
        if (action == QLatin1String("Apply")) d.cmdApply->click();
        if (action == QLatin1String("Close")) d.cmdClose->click();
        if (action == QLatin1String("Escape")) QTest::keyClick(&d, Qt::Key_Escape);
        if (action == QLatin1String("close button")) d.close();
        QTEST(int(save.count()), "saves");
        QVERIFY(savedWhileShown);
        QCOMPARE(main.count(), raises);
        QCOMPARE(d.isHidden(), raises == 1);

        d.show();
        QCOMPARE(d.txtPhoneNumber->text(), QStringLiteral("1234567"));
        QCOMPARE(d.SSTab1->currentIndex(), 1);
        d.hide();
    }
};
ZEL_TEST(FrmZelModemTest)
#include "tst_frmzelmodem.moc"
