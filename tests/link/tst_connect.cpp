// Connect and disconnect over a fake port: captions, status labels, the poll
// timer, the settings menu, port errors, and dialling through a modem.
#include "support/fakeserial.h"
#include "support/testmain.h"
#include "support/testsupport.h"

#include "app/frmzelmain.h"
#include "dialogs/frmzelmodem.h"
#include "panel/indicator.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTimer>

namespace {
const char* const StatusLabels[] = {"lblOffLine", "lblNoDialTone", "lblInitializing", "lblHanging",
                                    "lblDialing", "lblConnected",  "lblBusy"};
} // namespace

class ConnectTest : public QObject {
    Q_OBJECT
    std::unique_ptr<FrmZelMain> w;
    FakeSerial* port = nullptr;

    // The one status label shown.
    QString shownStatus() const {
        QStringList shown;
        for (const char* name : StatusLabels)
            if (!w->findChild<QWidget*>(QString::fromLatin1(name))->isHidden())
                shown << QString::fromLatin1(name);
        return shown.join(QLatin1Char('+'));
    }
    QString caption() const { return w->cmdConnect->text(); }
    void useModem() {
        w->frmZelModem->optModem->setChecked(true);
        w->frmZelModem->cmbModem->setEditText(QStringLiteral("COM 3"));
        w->frmZelModem->txtPhoneNumber->setText(QStringLiteral("5551234"));
    }
    // Runs the pending one- or three-second wait to its end.
    void finishDelay(int expectedMs) {
        QVERIFY(w->tmrDelay->isActive());
        QCOMPARE(w->tmrDelay->interval(), expectedMs);
        w->tmrDelay_Timer();
    }
    void dialToWait() {
        useModem();
        w->cmdConnect->click();
        finishDelay(1000);
    }

private slots:
    void init() {
        zeltest::writeSettingsFile(zeltest::sampleRecord()); // direct cable on "COM 2"
        port = new FakeSerial;
        w = std::make_unique<FrmZelMain>(port);
    }
    void cleanup() { w.reset(); }

    void directConnectAndDisconnect() {
        w->cmdConnect->click();
        QCOMPARE(port->openCount, 1);
        QCOMPARE(port->portText(), QStringLiteral("COM 2"));
        QCOMPARE(port->lineSettings, QStringLiteral("9600,n,8,1"));
        QCOMPARE(caption(), QStringLiteral("&Disconnect"));
        QCOMPARE(shownStatus(), QStringLiteral("lblConnected"));
        QVERIFY(w->tmrXmit->isActive());
        QVERIFY(!w->mnuModemSettings->isEnabled());
        QCOMPARE(port->written, QByteArray("x")); // the first poll goes out at once

        w->picLed[10]->show(); // something lit, to see the bar blanked
        w->cmdConnect->click();
        QVERIFY(!port->isOpen());
        QCOMPARE(caption(), QStringLiteral("&Connect"));
        QCOMPARE(shownStatus(), QStringLiteral("lblOffLine")); // at once, no wait
        QVERIFY(!w->tmrXmit->isActive());
        QVERIFY(!w->tmrDelay->isActive());
        QVERIFY(w->mnuModemSettings->isEnabled());
        QVERIFY(w->picLed[10]->isHidden());
    }

    void anyOtherCaptionDisconnects_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("no ampersand") << QStringLiteral("Connect");
        QTest::newRow("lower case") << QStringLiteral("&connect");
        QTest::newRow("trailing blank") << QStringLiteral("&Connect ");
    }
    void anyOtherCaptionDisconnects() {
        QFETCH(QString, text);
        w->cmdConnect->setText(text);
        w->cmdConnect_Click();
        QCOMPARE(port->openCount, 0);
        QCOMPARE(caption(), QStringLiteral("&Connect"));
        QCOMPARE(shownStatus(), QStringLiteral("lblOffLine"));
    }

    void connectWithThePortLeftOpen() {
        // A failed dial leaves the port open: it is used as it is.
        port->setOpenState(true);
        w->cmdConnect->click();
        QCOMPARE(port->openCount, 0);
        QCOMPARE(shownStatus(), QStringLiteral("lblOffLine"));
        QVERIFY(!w->tmrXmit->isActive());
        QCOMPARE(caption(), QStringLiteral("&Disconnect"));
        QVERIFY(!w->mnuModemSettings->isEnabled());
    }

    void portThatCannotBeOpened() {
        port->openError = QStringLiteral("Permission denied");
        zeltest::SeenBox box;
        zeltest::answerNextMessageBox(QMessageBox::Ok, &box);
        w->cmdConnect->click();
        QVERIFY(box.shown);
        QCOMPARE(box.title, QStringLiteral("PORT ERROR"));
        QVERIFY(box.text.contains(QStringLiteral("COM 2")));
        QVERIFY(box.text.contains(QStringLiteral("Permission denied")));
        QCOMPARE(box.icon, QMessageBox::Warning);
        QCOMPARE(caption(), QStringLiteral("&Connect"));
        QCOMPARE(shownStatus(), QStringLiteral("lblOffLine"));
        QVERIFY(!w->tmrXmit->isActive());
        QVERIFY(w->mnuModemSettings->isEnabled());
        QVERIFY(port->written.isEmpty());
    }

    void portThatFailsWhileConnected() {
        w->cmdConnect->click();
        QVERIFY(w->tmrXmit->isActive());
        zeltest::SeenBox box;
        zeltest::answerNextMessageBox(QMessageBox::Ok, &box);
        port->failNow(QStringLiteral("The device was removed"));
        QVERIFY(box.shown);
        QVERIFY(box.text.contains(QStringLiteral("COM 2")));
        QVERIFY(box.text.contains(QStringLiteral("The device was removed")));
        QCOMPARE(caption(), QStringLiteral("&Connect"));
        QCOMPARE(shownStatus(), QStringLiteral("lblOffLine"));
        QVERIFY(!w->tmrXmit->isActive());
        // Nothing keeps writing to the dead port.
        const int writes = port->writes.size();
        w->tmrXmit_Timer();
        QCOMPARE(port->writes.size(), writes);
    }

    void modemDisconnectHangsUpForASecond() {
        dialToWait();
        port->receive("\r\nCONNECT 9600\r\n");
        QCOMPARE(shownStatus(), QStringLiteral("lblConnected"));
        w->cmdConnect->click();
        QVERIFY(!port->isOpen());
        QCOMPARE(shownStatus(), QStringLiteral("lblHanging"));
        QCOMPARE(caption(), QStringLiteral("&Disconnect"));
        QVERIFY(!w->tmrXmit->isActive());
        QVERIFY(!w->mnuModemSettings->isEnabled());
        finishDelay(1000);
        QCOMPARE(shownStatus(), QStringLiteral("lblOffLine"));
        QCOMPARE(caption(), QStringLiteral("&Connect"));
        QVERIFY(w->mnuModemSettings->isEnabled());
    }

    void disconnectDuringTheHangingUpWait() {
        dialToWait();
        port->receive("\r\nCONNECT 9600\r\n");
        w->cmdConnect->click(); // hanging up
        w->cmdConnect->click(); // again, during the wait: the port is closed already
        QCOMPARE(shownStatus(), QStringLiteral("lblOffLine"));
        QCOMPARE(caption(), QStringLiteral("&Connect"));
        QVERIFY(!w->tmrDelay->isActive());
        // A Connect right after is not undone by the abandoned wait.
        w->frmZelModem->optDirect->setChecked(true);
        w->cmdConnect->click();
        QCOMPARE(shownStatus(), QStringLiteral("lblConnected"));
        QTest::qWait(20);
        QCOMPARE(shownStatus(), QStringLiteral("lblConnected"));
    }

    void modemDisconnectWithThePortClosedDoesNotWait() {
        useModem();
        w->cmdConnect->setText(QStringLiteral("&Disconnect"));
        w->cmdConnect->click();
        QCOMPARE(shownStatus(), QStringLiteral("lblOffLine"));
        QVERIFY(!w->tmrDelay->isActive());
    }

    void delayDoesNotBlock() {
        bool ran = false;
        w->Delay(1000.4f, [&] { ran = true; });
        QVERIFY(!ran);
        QVERIFY(w->DelayFlag);
        QCOMPARE(w->tmrDelay->interval(), 1000);
        w->tmrDelay_Timer();
        QVERIFY(ran);
        QVERIFY(!w->DelayFlag);
        QVERIFY(!w->tmrDelay->isActive());
    }

    // ---- Dialling ----

    void dialSequence() {
        useModem();
        auto* d = w->frmZelModem;
        d->optTone->setChecked(true);
        d->optLoud->setChecked(true);
        d->chkOutside->setCheckState(Qt::Checked);
        d->txt9->setText(QStringLiteral("9"));
        d->chkWaiting->setCheckState(Qt::Checked);
        d->txt70->setText(QStringLiteral("*70"));
        d->chkModemIni->setCheckState(Qt::Checked);
        d->txtModemIni->setText(QStringLiteral("AT&F"));
        QSignalSpy beeps(w.get(), &FrmZelMain::beeped);
        w->cmdConnect->click();
        QCOMPARE(shownStatus(), QStringLiteral("lblInitializing"));
        QCOMPARE(caption(), QStringLiteral("&Disconnect"));
        QVERIFY(w->mnuModemSettings->isEnabled());
        QCOMPARE(port->openCount, 0); // not before the first second is over
        finishDelay(1000);
        QCOMPARE(port->openCount, 1);
        QCOMPARE(port->portText(), QStringLiteral("COM 3"));
        QCOMPARE(port->writes, (QList<QByteArray>{"ATM1L3\r", "ate0\r", "AT&F\r", "ATDT9,,*70,,5551234\r"}));
        QCOMPARE(shownStatus(), QStringLiteral("lblDialing"));
        QCOMPARE(w->lblDialing->text(), QStringLiteral("             Dialing  9,,*70,,5551234"));
        QCOMPARE(beeps.count(), 1);
        QCOMPARE(w->InputString, QByteArray("000000000"));
        QVERIFY(!w->tmrXmit->isActive());

        // A reply in pieces; each arrival adds three lines to the log.
        port->receive("\r\nCONN");
        QCOMPARE(w->picshow->count(), 3);
        QCOMPARE(w->picshow->item(0)->text(), QStringLiteral("000000000\r\nCONN"));
        QCOMPARE(w->picshow->item(1)->text(), QStringLiteral("15"));
        QCOMPARE(w->picshow->item(2)->text(), QStringLiteral("CO"));
        QCOMPARE(shownStatus(), QStringLiteral("lblDialing"));
        port->receive("ECT 9600\r\n");
        QCOMPARE(w->picshow->count(), 6);
        QCOMPARE(w->ModemResponse, QByteArray("CONNECT 9600"));
        QCOMPARE(shownStatus(), QStringLiteral("lblConnected"));
        QCOMPARE(beeps.count(), 2);
        QVERIFY(w->tmrXmit->isActive());
        QCOMPARE(port->writes.last(), QByteArray("x"));
        QCOMPARE(caption(), QStringLiteral("&Disconnect"));
        QVERIFY(!w->mnuModemSettings->isEnabled());
    }

    void dialWithoutSpeakerOrIniAndMuted() {
        useModem();
        w->frmZelModem->optPulse->setChecked(true);
        for (auto* o : {w->frmZelModem->optOff, w->frmZelModem->optLow, w->frmZelModem->optLoud})
            FrmZelModem::setOption(o, false);
        w->frmZelModem->chkModemIni->setCheckState(Qt::Unchecked);
        w->frmZelModem->chkOutside->setCheckState(Qt::Unchecked);
        w->frmZelModem->chkWaiting->setCheckState(Qt::Unchecked);
        w->imgSpeakerOn_Click(); // speaker off: no beep on dialling
        QSignalSpy beeps(w.get(), &FrmZelMain::beeped);
        w->cmdConnect->click();
        finishDelay(1000);
        QCOMPARE(port->writes, (QList<QByteArray>{"ate0\r", "ATDP5551234\r"}));
        QCOMPARE(beeps.count(), 0);
    }

    void busyAndNoDialTone_data() {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("label");
        QTest::newRow("busy") << QByteArray("\r\nBUSY\r\n") << QStringLiteral("lblBusy");
        QTest::newRow("no dialtone") << QByteArray("\r\nNO DIALTONE\r\n") << QStringLiteral("lblNoDialTone");
        QTest::newRow("no carrier") << QByteArray("\r\nNO CARRIER\r\n") << QStringLiteral("lblNoDialTone");
        QTest::newRow("no answer") << QByteArray("\r\nNO ANSWER\r\n") << QStringLiteral("lblNoDialTone");
    }
    void busyAndNoDialTone() {
        QFETCH(QByteArray, reply);
        QFETCH(QString, label);
        w->picLed[5]->show();
        dialToWait();
        port->receive("\r\nOK\r\n");
        QCOMPARE(shownStatus(), QStringLiteral("lblDialing")); // OK keeps waiting
        port->receive(reply);
        QCOMPARE(shownStatus(), label);
        QCOMPARE(caption(), QStringLiteral("&Disconnect"));
        finishDelay(3000);
        QCOMPARE(shownStatus(), QStringLiteral("lblOffLine"));
        QCOMPARE(caption(), QStringLiteral("&Connect"));
        QVERIFY(w->mnuModemSettings->isEnabled());
        // What it leaves behind: the port open, no poll, the bar as it was.
        QVERIFY(port->isOpen());
        QVERIFY(!w->tmrXmit->isActive());
        QVERIFY(!w->picLed[5]->isHidden());
        QCOMPARE(w->picshow->count(), 6);
        // The next Connect closes and reopens the port.
        w->cmdConnect->click();
        finishDelay(1000);
        QCOMPARE(port->closeCount, 1);
        QCOMPARE(port->openCount, 2);
        QCOMPARE(shownStatus(), QStringLiteral("lblDialing"));
    }

    void disconnectDuringTheFirstSecondCancelsTheDial() {
        useModem();
        w->cmdConnect->click();
        w->cmdConnect->click();
        QCOMPARE(shownStatus(), QStringLiteral("lblOffLine"));
        QCOMPARE(caption(), QStringLiteral("&Connect"));
        QVERIFY(!w->tmrDelay->isActive());
        QCOMPARE(port->openCount, 0);
    }

    void disconnectDuringTheReplyWait() {
        dialToWait();
        w->cmdConnect->click();
        QVERIFY(!port->isOpen());
        finishDelay(1000); // hanging up
        QCOMPARE(shownStatus(), QStringLiteral("lblOffLine"));
        // A late reply touches nothing.
        port->receive("\r\nCONNECT 9600\r\n");
        QCOMPARE(shownStatus(), QStringLiteral("lblOffLine"));
        QVERIFY(!w->tmrXmit->isActive());
    }

    void replyWaitEndsAfterAMinute() {
        dialToWait();
        auto* timeout = w->findChild<QTimer*>(QStringLiteral("tmrModemTimeout"));
        QVERIFY(timeout && timeout->isActive());
        QCOMPARE(timeout->interval(), 60000);
        w->tmrModemTimeout();
        QCOMPARE(shownStatus(), QStringLiteral("lblNoDialTone"));
        QVERIFY(w->picshow->item(w->picshow->count() - 1)->text().contains(QStringLiteral("60 s")));
        finishDelay(3000);
        QCOMPARE(shownStatus(), QStringLiteral("lblOffLine"));
        QCOMPARE(caption(), QStringLiteral("&Connect"));
    }

    void chatteringModemIsBounded() {
        dialToWait();
        for (int i = 0; i < 300; ++i)
            port->receive(QByteArray(100, 'R') + "\r\n");
        QCOMPARE(w->InputString.size(), FrmZelMain::ModemTextLimit);
        QCOMPARE(shownStatus(), QStringLiteral("lblDialing"));
    }
};
ZEL_TEST(ConnectTest)
#include "tst_connect.moc"
