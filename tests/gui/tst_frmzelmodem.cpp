// The settings dialog alone: enable rules, option groups, limits, buttons and keys.
#include "gui/frmzelmodem.h"
#include "gui/spanregions.h"
#include "support/testmain.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>

class FrmZelModemTest : public QObject {
    Q_OBJECT
private slots:
    // Every connection choice with every check box state; only Checked enables a text.
    void enableRules() {
        const Qt::CheckState states[] = {Qt::Unchecked, Qt::Checked, Qt::PartiallyChecked};
        FrmZelModem d;
        for (int connection = 0; connection < 3; ++connection) // direct, modem, neither
            for (int outside = 0; outside < 3; ++outside)
                for (int ini = 0; ini < 3; ++ini) {
                    const int waiting = 2 - outside;
                    const bool modem = connection != 0;
                    // From the opposite state, as loading does: the update must follow by itself.
                    FrmZelModem::setOption(modem ? d.optDirect : d.optModem, true);
                    for (QCheckBox* c : {d.chkOutside, d.chkWaiting, d.chkModemIni})
                        c->setCheckState(Qt::Checked);
                    FrmZelModem::setOption(d.optDirect, connection == 0);
                    FrmZelModem::setOption(d.optModem, connection == 1);
                    d.chkOutside->setCheckState(states[outside]);
                    d.chkWaiting->setCheckState(states[waiting]);
                    d.chkModemIni->setCheckState(states[ini]);
                    const QByteArray row = QByteArray::number(connection * 100 + outside * 10 + ini);
                    QVERIFY2(d.cmbPort->isEnabled() == !modem, row);
                    for (QWidget* w : std::initializer_list<QWidget*>{
                             d.optTone, d.optPulse, d.txtPhoneNumber, d.chkOutside, d.chkWaiting, d.cmbModem,
                             d.optOff, d.optLow, d.optLoud, d.chkModemIni})
                        QVERIFY2(w->isEnabled() == bool(modem), row + w->objectName().toLatin1());
                    QVERIFY2(
                        QList<bool>({d.txtOutsideLine->isEnabled(), d.txtCallWaiting->isEnabled(),
                                     d.txtModemIni->isEnabled()}) ==
                            QList<bool>({modem && outside == 1, modem && waiting == 1, modem && ini == 1}),
                        row);
                }
    }

    void captionsFit() {
        FrmZelModem d;
        d.show();
        for (int tab = 0; tab < d.tabs->count(); ++tab) {
            d.tabs->setCurrentIndex(tab); // a page is laid out when shown
            QCoreApplication::processEvents();
            for (QAbstractButton* b : d.tabs->currentWidget()->findChildren<QAbstractButton*>())
                if (qobject_cast<QCheckBox*>(b) || qobject_cast<QRadioButton*>(b))
                    QVERIFY2(b->width() >= b->sizeHint().width(), qPrintable(b->objectName()));
        }
        QVERIFY(d.tabs->tabBar()->sizeHint().width() <= d.tabs->width());
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
        FrmZelModem::setOption(d.optTone, true);
        QVERIFY(!d.optOff->isChecked() && d.optLow->isChecked());

        FrmZelModem::setOption(d.optModem, true);
        d.txtCallWaiting->setText("*82");
        d.chkWaiting->setCheckState(Qt::PartiallyChecked);
        for (Qt::CheckState next : {Qt::Checked, Qt::Unchecked, Qt::Checked}) {
            d.chkWaiting->click();
            QCOMPARE(std::tuple(d.chkWaiting->checkState(), d.txtCallWaiting->isEnabled(),
                                d.txtCallWaiting->text()),
                     std::tuple(next, next == Qt::Checked, QStringLiteral("*82")));
        }
    }

    // Typing may shorten a restored, padded text but not lengthen it; port boxes take any text.
    void typingLimitsBindTypingOnly() {
        FrmZelModem d;
        FrmZelModem::setOption(d.optModem, true);
        d.chkOutside->setCheckState(Qt::Checked);
        QTest::keyClicks(d.txtPhoneNumber, "123456789012345678901234567890");
        QCOMPARE(d.txtPhoneNumber->text(), "123456789012345678901234");
        d.txtOutsideLine->setText("9     ");
        for (auto [key, after] :
             {std::pair{Qt::Key_1, "9     "}, {Qt::Key_Backspace, "9    "}, {Qt::Key_1, "9    "}}) {
            QTest::keyClick(d.txtOutsideLine, key);
            QCOMPARE(d.txtOutsideLine->text(), QLatin1String(after));
        }
        d.txtOutsideLine->selectAll();
        QTest::keyClicks(d.txtOutsideLine, "12345678");
        QCOMPARE(d.txtOutsideLine->text(), "12345");
        d.cmbModem->setEditText("SIM  ");
        QCOMPARE(d.cmbModem->currentText(), "SIM  ");
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
        QFETCH(int, saves);
        QFETCH(int, raises);
        const QByteArray action = QTest::currentDataTag();
        FrmZelModem d;
        QSignalSpy main(&d, &FrmZelModem::mainWindowRequested);
        int savedWhileShown = 0;
        connect(&d, &FrmZelModem::saveRequested, this, [&] { savedWhileShown += d.isVisible() ? 1 : 100; });
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        FrmZelModem::setOption(d.optModem, true);
        d.tabs->setCurrentIndex(1);
        d.txtPhoneNumber->setFocus();
        d.txtPhoneNumber->setText("1234567");
        if (action == "Ok") d.cmdOk->click();
        if (action == "Enter") QTest::keyClick(d.txtPhoneNumber, Qt::Key_Return);
        if (action == "Apply") d.cmdApply->click();
        if (action == "Close") d.cmdClose->click();
        if (action == "Escape") QTest::keyClick(&d, Qt::Key_Escape);
        if (action == "close button") d.close();
        QCOMPARE(std::tuple(savedWhileShown, int(main.count()), d.isHidden()),
                 std::tuple(saves, raises, raises == 1));
        d.show();
        QCOMPARE(std::pair(d.txtPhoneNumber->text(), d.tabs->currentIndex()),
                 std::pair(QStringLiteral("1234567"), 1));
    }

    // A restore sets every control and says so; the controls come back as settings, edits included.
    void settingsRoundTrip() {
        FrmZelModem d;
        zel::ConnectionSettings s;
        s.directCable = s.toneDial = s.speakerLow = false;
        s.modemLink = s.pulseDial = s.speakerLoud = true;
        s.outsideLineOn = s.modemIniOn = 1;
        s.callWaitingOn = 2;
        std::tie(s.modemPort, s.phoneNumber, s.outsideLineCode, s.modemIni) =
            std::tuple("USB0 ", "5551234", "8", "ATZ");
        QSignalSpy edited(&d, &FrmZelModem::settingsEdited);
        d.setSettings(s);
        QVERIFY(edited.count() > 0 && d.optPulse->isChecked() && d.txtOutsideLine->isEnabled() &&
                !d.txtCallWaiting->isEnabled());
        QCOMPARE(d.settings(), s);
        edited.clear();
        d.txtPhoneNumber->end(false);
        QTest::keyClicks(d.txtPhoneNumber, "9");
        QVERIFY(edited.count() > 0);
        QCOMPARE(d.settings().phoneNumber, "55512349");

        // The station's name goes to zel.conf's [site] and comes back.
        QTemporaryDir dir;
        QSettings conf(dir.filePath("zel.conf"), QSettings::IniFormat);
        QTest::keyClicks(d.findChild<QLineEdit*>("txtStationName"), "WZEL 1230 AM ");
        d.saveExtras(conf);
        QCOMPARE(conf.value("site/name").toString(), "WZEL 1230 AM");
        FrmZelModem again;
        again.loadExtras(conf);
        QCOMPARE(again.txtStationName->text(), "WZEL 1230 AM");
    }

    // An alert command with an unclosed quote is refused when it is set:
    // Ok and Apply keep the dialog open on the Alerts tab and say why.
    void unclosedQuoteInTheAlertCommandIsRefused() {
        FrmZelModem d;
        d.show();
        QSignalSpy saved(&d, &FrmZelModem::saveRequested);
        d.txtAlertCommand->setText("sh -c \"echo $ZEL_EVENT");
        for (QPushButton* b : {d.cmdOk, d.cmdApply}) {
            d.tabs->setCurrentIndex(0);
            b->click();
            QCOMPARE(std::tuple(int(saved.count()), d.isVisible(), d.tabs->currentWidget()->objectName()),
                     std::tuple(0, true, QStringLiteral("tabAlerts")));
            QVERIFY2(d.lblAlertCommandProblem->isVisible() &&
                         d.lblAlertCommandProblem->text().contains("double quote is not closed"),
                     qPrintable(d.lblAlertCommandProblem->text()));
        }
        d.txtAlertCommand->setText("sh -c 'echo \"$ZEL_EVENT\"'");
        d.cmdOk->click();
        QCOMPARE(saved.count(), 1);
        QVERIFY(!d.lblAlertCommandProblem->isVisible());
    }

    // A run of bar segments repaints its segments and gaps, the same region each time.
    void spanRegions() {
        zel::SpanRegions spans({QRect(0, 5, 10, 20), QRect(15, 5, 10, 20), QRect(30, 0, 10, 30)});
        const QRegion* kept = &spans.span(1, 2);
        QCOMPARE(
            (QList<QRegion>{spans.span(0, 0), *kept, spans.span(0, 2), spans.span(2, 1), spans.span(2, 3)}),
            (QList<QRegion>{{0, 5, 10, 20}, {15, 0, 25, 30}, {0, 0, 40, 30}, {}, {}}));
        QVERIFY(&spans.span(1, 2) == kept && spans.span(-1, 0).isEmpty() &&
                zel::SpanRegions().span(0, 0).isEmpty());
    }
};
ZEL_TEST(FrmZelModemTest)
#include "tst_frmzelmodem.moc"
