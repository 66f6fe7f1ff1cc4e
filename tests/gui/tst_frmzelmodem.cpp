// The settings dialog alone: which controls are enabled for which choices,
// the option groups, the greyed check boxes, the typing limits, the buttons
// and keys, and the choices handed back as settings.
#include "gui/frmzelmodem.h"
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

class FrmZelModemTest : public QObject {
    Q_OBJECT
private slots:
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

    // No caption of a check box or option is cut off.
    void captionsFit() {
        FrmZelModem d;
        d.show();
        for (int tab = 0; tab < d.SSTab1->count(); ++tab) {
            d.SSTab1->setCurrentIndex(tab); // a page is laid out when shown
            QCoreApplication::processEvents();
            for (QAbstractButton* b : d.SSTab1->currentWidget()->findChildren<QAbstractButton*>())
                if (qobject_cast<QCheckBox*>(b) || qobject_cast<QRadioButton*>(b))
                    QVERIFY2(b->width() >= b->sizeHint().width(), qPrintable(b->objectName()));
        }
        // Every tab's caption shows whole.
        QVERIFY(d.SSTab1->tabBar()->sizeHint().width() <= d.SSTab1->width());
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

    // What the controls show comes back as settings, and a restore sets
    // every control and says so.
    void settingsRoundTrip() {
        FrmZelModem d;
        zel::ConnectionSettings s;
        s.directCable = false;
        s.modemLink = true;
        s.modemPort = QStringLiteral("USB0 ");
        s.phoneNumber = QStringLiteral("5551234");
        s.toneDial = false;
        s.pulseDial = true;
        s.outsideLineOn = 1;
        s.outsideLineCode = QStringLiteral("8");
        s.callWaitingOn = 2;
        s.speakerLow = false;
        s.speakerLoud = true;
        s.modemIniOn = 1;
        s.modemIni = QStringLiteral("ATZ");
        QSignalSpy edited(&d, &FrmZelModem::settingsEdited);
        d.setSettings(s);
        QVERIFY(edited.count() > 0);
        QVERIFY(d.optModem->isChecked() && d.optPulse->isChecked() && d.txt9->isEnabled());
        QVERIFY(!d.txt70->isEnabled());
        QCOMPARE(d.settings(), s);
        // An operator's edit is announced too.
        edited.clear();
        d.txtPhoneNumber->end(false);
        QTest::keyClicks(d.txtPhoneNumber, QStringLiteral("9"));
        QVERIFY(edited.count() > 0);
        QCOMPARE(d.settings().phoneNumber, QStringLiteral("55512349"));
    }
};
ZEL_TEST(FrmZelModemTest)
#include "tst_frmzelmodem.moc"
