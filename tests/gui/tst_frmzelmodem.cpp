// The settings dialog alone: enable rules, option groups, limits, buttons and keys.
#include "gui/frmzelmodem.h"
#include "gui/spanregions.h"
#include "support/testmain.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTabBar>
#include <QTabWidget>

class FrmZelModemTest : public QObject {
    Q_OBJECT
private slots:
    // Every connection choice with every check box state; only Checked enables a text.
    void enableRules() {
        const Qt::CheckState states[] = {Qt::Unchecked, Qt::Checked, Qt::PartiallyChecked};
        FrmZelModem d;
        for (int connection = 0; connection < 3; ++connection)
            for (int outside = 0; outside < 3; ++outside)
                for (int ini = 0; ini < 3; ++ini) {
                    const int waiting = 2 - outside;
                    // From the opposite state, as loading does: the update must follow by itself.
                    FrmZelModem::setOption(connection == 0 ? d.optModem : d.optDirect, true);
                    for (QCheckBox* c : {d.chkOutside, d.chkWaiting, d.chkModemIni})
                        c->setCheckState(Qt::Checked);
                    FrmZelModem::setOption(d.optDirect, connection == 0);
                    FrmZelModem::setOption(d.optModem, connection == 1);
                    d.chkOutside->setCheckState(states[outside]);
                    d.chkWaiting->setCheckState(states[waiting]);
                    d.chkModemIni->setCheckState(states[ini]);
                    const QString row = QStringLiteral("%1%2%3").arg(connection).arg(outside).arg(ini);
                    const bool modem = connection != 0;
                    QVERIFY2(d.cmbPort->isEnabled() == !modem, qPrintable(row));
                    for (QWidget* w : std::initializer_list<QWidget*>{
                             d.optTone, d.optPulse, d.txtPhoneNumber, d.chkOutside, d.chkWaiting, d.cmbModem,
                             d.optOff, d.optLow, d.optLoud, d.chkModemIni})
                        QVERIFY2(w->isEnabled() == modem, qPrintable(row + w->objectName()));
                    QVERIFY2(d.txt9->isEnabled() == (modem && outside == 1), qPrintable(row));
                    QVERIFY2(d.txt70->isEnabled() == (modem && waiting == 1), qPrintable(row));
                    QVERIFY2(d.txtModemIni->isEnabled() == (modem && ini == 1), qPrintable(row));
                }
    }

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
        QVERIFY(d.SSTab1->tabBar()->sizeHint().width() <= d.SSTab1->width());
    }

    // An option group may be left empty and still excludes within its frame; a
    // click takes a greyed box to checked, then toggles; a disabled text keeps its text.
    void optionsAndCheckBoxes() {
        FrmZelModem d;
        FrmZelModem::setOption(d.optLow, true);
        FrmZelModem::setOption(d.optLoud, true);
        QVERIFY(!d.optLow->isChecked() && d.optLoud->isChecked());
        FrmZelModem::setOption(d.optLoud, false);
        QVERIFY(!d.optOff->isChecked() && !d.optLow->isChecked() && !d.optLoud->isChecked());
        d.optOff->click();
        d.optLow->click();
        QVERIFY(!d.optOff->isChecked() && d.optLow->isChecked());
        FrmZelModem::setOption(d.optTone, true);
        QVERIFY(d.optLow->isChecked());

        FrmZelModem::setOption(d.optModem, true);
        d.txt70->setText(QStringLiteral("*82"));
        d.chkWaiting->setCheckState(Qt::PartiallyChecked);
        for (Qt::CheckState next : {Qt::Checked, Qt::Unchecked, Qt::Checked}) {
            d.chkWaiting->click();
            QCOMPARE(d.chkWaiting->checkState(), next);
            QCOMPARE(d.txt70->isEnabled(), next == Qt::Checked);
            QCOMPARE(d.txt70->text(), QStringLiteral("*82"));
        }
    }

    // Typing may shorten a restored, padded text but not lengthen it; port boxes take any text.
    void typingLimitsBindTypingOnly() {
        FrmZelModem d;
        FrmZelModem::setOption(d.optModem, true);
        d.chkOutside->setCheckState(Qt::Checked);
        QTest::keyClicks(d.txtPhoneNumber, QStringLiteral("123456789012345678901234567890"));
        QCOMPARE(d.txtPhoneNumber->text(), QStringLiteral("123456789012345678901234"));
        d.txt9->setText(QStringLiteral("9     "));
        for (auto [key, after] :
             {std::pair{Qt::Key_1, "9     "}, {Qt::Key_Backspace, "9    "}, {Qt::Key_1, "9    "}}) {
            QTest::keyClick(d.txt9, key);
            QCOMPARE(d.txt9->text(), QLatin1String(after));
        }
        d.txt9->selectAll();
        QTest::keyClicks(d.txt9, QStringLiteral("12345678"));
        QCOMPARE(d.txt9->text(), QStringLiteral("12345"));
        d.cmbModem->setEditText(QStringLiteral("SIM  "));
        QCOMPARE(d.cmbModem->currentText(), QStringLiteral("SIM  "));
    }

    // Ok and Enter save and stay; Apply saves, hides and raises the main
    // window; the others hide without saving. Shown again, contents and tab stay.
    void buttonsAndKeys_data() {
        QTest::addColumn<int>("saves");
        QTest::addColumn<int>("raises");
        for (auto [name, saves, raises] : {std::tuple{"Ok", 1, 0},
                                           {"Enter", 1, 0},
                                           {"Apply", 1, 1},
                                           {"Close", 0, 1},
                                           {"Escape", 0, 1},
                                           {"close button", 0, 1}})
            QTest::newRow(name) << saves << raises;
    }
    void buttonsAndKeys() {
        QFETCH(int, raises);
        const QByteArray action = QTest::currentDataTag();
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
        if (action == "Ok") d.cmdOk->click();
        if (action == "Enter") QTest::keyClick(d.txtPhoneNumber, Qt::Key_Return);
        if (action == "Apply") d.cmdApply->click();
        if (action == "Close") d.cmdClose->click();
        if (action == "Escape") QTest::keyClick(&d, Qt::Key_Escape);
        if (action == "close button") d.close();
        QTEST(int(save.count()), "saves");
        QVERIFY(savedWhileShown);
        QCOMPARE(main.count(), raises);
        QCOMPARE(d.isHidden(), raises == 1);
        d.show();
        QCOMPARE(d.txtPhoneNumber->text(), QStringLiteral("1234567"));
        QCOMPARE(d.SSTab1->currentIndex(), 1);
    }

    // A restore sets every control and says so; the controls come back as settings, edits included.
    void settingsRoundTrip() {
        FrmZelModem d;
        zel::ConnectionSettings s;
        s.directCable = s.toneDial = s.speakerLow = false;
        s.modemLink = s.pulseDial = s.speakerLoud = true;
        s.outsideLineOn = s.modemIniOn = 1;
        s.callWaitingOn = 2;
        std::tie(s.modemPort, s.phoneNumber, s.outsideLineCode, s.modemIni) = std::tuple(
            QStringLiteral("USB0 "), QStringLiteral("5551234"), QStringLiteral("8"), QStringLiteral("ATZ"));
        QSignalSpy edited(&d, &FrmZelModem::settingsEdited);
        d.setSettings(s);
        QVERIFY(edited.count() > 0);
        QVERIFY(d.optModem->isChecked() && d.optPulse->isChecked() && d.txt9->isEnabled());
        QVERIFY(!d.txt70->isEnabled());
        QCOMPARE(d.settings(), s);
        edited.clear();
        d.txtPhoneNumber->end(false);
        QTest::keyClicks(d.txtPhoneNumber, QStringLiteral("9"));
        QVERIFY(edited.count() > 0);
        QCOMPARE(d.settings().phoneNumber, QStringLiteral("55512349"));
    }

    // A run of bar segments repaints its segments and gaps, the same region each time.
    void spanRegions() {
        zel::SpanRegions spans(
            {QRect(0, 5, 10, 20), QRect(15, 5, 10, 20), QRect(30, 5, 10, 20), QRect(45, 0, 10, 30)});
        const QRegion* kept = &spans.span(1, 2);
        QCOMPARE((QList<QRegion>{spans.span(0, 0), *kept, spans.span(0, 3), spans.span(2, 3)}),
                 (QList<QRegion>{{0, 5, 10, 20}, {15, 5, 25, 20}, {0, 0, 55, 30}, {30, 0, 25, 30}}));
        QCOMPARE(&spans.span(1, 2), kept);
        QCOMPARE(*kept, QRegion(15, 5, 25, 20));
        for (auto [first, last] : {std::pair{2, 1}, {-1, 0}, {3, 4}})
            QVERIFY(spans.span(first, last).isEmpty());
        QVERIFY(zel::SpanRegions().span(0, 0).isEmpty());
    }
};
ZEL_TEST(FrmZelModemTest)
#include "tst_frmzelmodem.moc"
