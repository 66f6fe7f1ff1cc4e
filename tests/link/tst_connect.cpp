// Connect and disconnect over a fake port: captions, status labels, the poll
// timer, the settings menu, port errors, and dialling through a modem.
#include "support/fakeserial.h"
#include "support/testmain.h"
#include "support/testsupport.h"

#include "gui/frmzelmain.h"
#include "gui/frmzelmodem.h"
#include "gui/indicator.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTimer>

class ConnectTest : public QObject {
    Q_OBJECT
    std::unique_ptr<FrmZelMain> w;
    FakeSerial* port = nullptr;

    // The status labels shown, the button's caption, whether the poll runs
    // and whether the settings menu is locked: "lblConnected &Disconnect
    // polling locked".
    QString state() const {
        QStringList s;
        for (const char* name : {"lblOffLine", "lblNoDialTone", "lblInitializing", "lblHanging", "lblDialing",
                                 "lblConnected", "lblBusy"})
            if (!w->findChild<QWidget*>(QString::fromLatin1(name))->isHidden())
                s << QString::fromLatin1(name);
        s << w->cmdConnect->text();
        if (w->tmrXmit->isActive()) s << QStringLiteral("polling");
        if (!w->mnuModemSettings->isEnabled()) s << QStringLiteral("locked");
        return s.join(QLatin1Char(' '));
    }
    void useModem() { // on "COM 3", from the settings file
        w->frmZelModem->optModem->setChecked(true);
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
        QCOMPARE(state(), QStringLiteral("lblOffLine &Connect"));
        w->cmdConnect->click();
        QCOMPARE(port->openCount, 1);
        QCOMPARE(port->portText(), QStringLiteral("COM 2"));
        QCOMPARE(port->lineSettings, QStringLiteral("9600,n,8,1"));
        QCOMPARE(state(), QStringLiteral("lblConnected &Disconnect polling locked"));
        QCOMPARE(port->written, QByteArray("x")); // the first poll goes out at once

        w->picLed[10]->setLit(true); // something lit, to see the bar blanked
        w->cmdConnect->click();
        QVERIFY(!port->isOpen());
        QCOMPARE(state(), QStringLiteral("lblOffLine &Connect")); // at once, no wait
        QVERIFY(!w->tmrDelay->isActive());
        QVERIFY(!w->picLed[10]->isLit());
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
        QCOMPARE(state(), QStringLiteral("lblOffLine &Connect"));
    }

    void connectWithThePortLeftOpen() {
        // A failed dial leaves the port open: it is used as it is.
        port->setOpenState(true);
        w->cmdConnect->click();
        QCOMPARE(port->openCount, 0);
        QCOMPARE(state(), QStringLiteral("lblOffLine &Disconnect locked"));
    }

    // A port that cannot be opened, or fails while in use: a message naming
    // it and the reason, off line, and nothing more written to it.
    void portErrors_data() {
        QTest::addColumn<bool>("whileConnected");
        QTest::newRow("open fails") << false;
        QTest::newRow("fails while connected") << true;
    }
    void portErrors() {
        QFETCH(bool, whileConnected);
        if (whileConnected) w->cmdConnect->click();
        port->openError = QStringLiteral("Permission denied");
        zeltest::SeenBox box;
        zeltest::answerNextMessageBox(QMessageBox::Ok, &box);
        whileConnected ? port->failNow(port->openError) : w->cmdConnect->click();
        QVERIFY(box.shown);
        QCOMPARE(box.title, QStringLiteral("PORT ERROR"));
        QCOMPARE(box.icon, QMessageBox::Warning);
        QVERIFY(box.text.contains(QStringLiteral("\"COM 2\"")));
        QVERIFY(box.text.contains(QStringLiteral("Permission denied")));
        QCOMPARE(state(), QStringLiteral("lblOffLine &Connect"));
        const QByteArray written = port->written;
        w->tmrXmit_Timer();
        QCOMPARE(port->written, written);
        QCOMPARE(written, QByteArray(whileConnected ? "x" : ""));
    }

    // A Disconnect cancels whatever is pending. With the modem's port open it
    // hangs up, showing "Hanging Up" for a second; otherwise it is off line
    // at once. A late reply changes nothing, and a new Connect works.
    void disconnectAtEachStage_data() {
        QTest::addColumn<QString>("stage");
        QTest::addColumn<QString>("hangingUp");
        QTest::newRow("first second") << "first second"
                                      << "";
        QTest::newRow("reply wait") << "reply wait"
                                    << "lblHanging &Disconnect";
        QTest::newRow("connected") << "connected"
                                   << "lblHanging &Disconnect locked";
        QTest::newRow("hanging up") << "hanging up"
                                    << "";
        QTest::newRow("port closed") << "port closed"
                                     << "";
    }
    void disconnectAtEachStage() {
        QFETCH(QString, stage);
        QFETCH(QString, hangingUp);
        const bool dialled = stage != QLatin1String("first second") && stage != QLatin1String("port closed");
        useModem();
        if (stage == QLatin1String("port closed"))
            w->cmdConnect->setText(QStringLiteral("&Disconnect"));
        else
            w->cmdConnect->click();
        if (dialled) finishDelay(1000);
        if (stage == QLatin1String("connected") || stage == QLatin1String("hanging up"))
            port->receive("\r\nCONNECT 9600\r\n");
        if (stage == QLatin1String("hanging up")) w->cmdConnect->click();
        w->cmdConnect->click();
        QVERIFY(!port->isOpen());
        QCOMPARE(port->openCount, dialled ? 1 : 0);
        if (!hangingUp.isEmpty()) {
            QCOMPARE(state(), hangingUp);
            finishDelay(1000);
        }
        QCOMPARE(state(), QStringLiteral("lblOffLine &Connect"));
        QVERIFY(!w->tmrDelay->isActive());
        port->receive("\r\nCONNECT 9600\r\n");
        QCOMPARE(state(), QStringLiteral("lblOffLine &Connect"));
        w->frmZelModem->optDirect->setChecked(true);
        w->cmdConnect->click();
        QCOMPARE(state(), QStringLiteral("lblConnected &Disconnect polling locked"));
    }

    // ---- Dialling ----

    void dialSequence() {
        useModem();
        auto* d = w->frmZelModem; // tone dialling, from the settings file
        d->optLoud->setChecked(true);
        d->chkOutside->setCheckState(Qt::Checked);
        d->txt9->setText(QStringLiteral("9"));
        d->chkWaiting->setCheckState(Qt::Checked);
        d->txt70->setText(QStringLiteral("*70"));
        d->chkModemIni->setCheckState(Qt::Checked);
        d->txtModemIni->setText(QStringLiteral("AT&F"));
        QSignalSpy beeps(w.get(), &FrmZelMain::beeped);
        w->cmdConnect->click();
        QCOMPARE(state(), QStringLiteral("lblInitializing &Disconnect"));
        QCOMPARE(port->openCount, 0); // not before the first second is over
        finishDelay(1000);
        QCOMPARE(port->openCount, 1);
        QCOMPARE(port->portText(), QStringLiteral("COM 3"));
        QCOMPARE(port->writes, (QList<QByteArray>{"ATM1L3\r", "ate0\r", "AT&F\r", "ATDT9,,*70,,5551234\r"}));
        QCOMPARE(state(), QStringLiteral("lblDialing &Disconnect"));
        QCOMPARE(w->lblDialing->text(), QStringLiteral("             Dialing  9,,*70,,5551234"));
        QCOMPARE(beeps.count(), 1);

        // A reply in pieces; each arrival adds three lines to the log.
        port->receive("\r\nCONN");
        QCOMPARE(w->picshow->count(), 3);
        QCOMPARE(w->picshow->item(0)->text(), QStringLiteral("000000000\r\nCONN"));
        QCOMPARE(w->picshow->item(1)->text(), QStringLiteral("15"));
        QCOMPARE(w->picshow->item(2)->text(), QStringLiteral("CO"));
        QCOMPARE(state(), QStringLiteral("lblDialing &Disconnect"));
        port->receive("ECT 9600\r\n");
        QCOMPARE(w->picshow->count(), 6);
        QCOMPARE(w->ModemResponse, QByteArray("CONNECT 9600"));
        QCOMPARE(state(), QStringLiteral("lblConnected &Disconnect polling locked"));
        QCOMPARE(beeps.count(), 2);
        QCOMPARE(port->writes.last(), QByteArray("x"));
    }

    void dialWithoutSpeakerOrIniAndMuted() {
        useModem();
        w->frmZelModem->optPulse->setChecked(true);
        for (auto* o : {w->frmZelModem->optOff, w->frmZelModem->optLow, w->frmZelModem->optLoud})
            FrmZelModem::setOption(o, false);
        w->imgSpeakerOn_Click(); // speaker off: no beep on dialling
        QSignalSpy beeps(w.get(), &FrmZelMain::beeped);
        w->cmdConnect->click();
        finishDelay(1000);
        QCOMPARE(port->writes, (QList<QByteArray>{"ate0\r", "ATDP5551234\r"}));
        QCOMPARE(beeps.count(), 0);
    }

    // A failed call shows its label for three seconds and leaves the port
    // open and the bar as it was; the next Connect reopens the port.
    void failedCall_data() {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("label");
        QTest::newRow("busy") << QByteArray("\r\nBUSY\r\n") << QStringLiteral("lblBusy");
        QTest::newRow("no dialtone") << QByteArray("\r\nNO DIALTONE\r\n") << QStringLiteral("lblNoDialTone");
        QTest::newRow("no reply in a minute") << QByteArray() << QStringLiteral("lblNoDialTone");
    }
    void failedCall() {
        QFETCH(QByteArray, reply);
        QFETCH(QString, label);
        w->picLed[5]->setLit(true);
        dialToWait();
        port->receive("\r\nOK\r\n");
        QCOMPARE(state(), QStringLiteral("lblDialing &Disconnect")); // OK keeps waiting
        if (reply.isEmpty()) {
            auto* timeout = w->findChild<QTimer*>(QStringLiteral("tmrModemTimeout"));
            QVERIFY(timeout && timeout->isActive());
            QCOMPARE(timeout->interval(), 60000);
            w->tmrModemTimeout();
            QVERIFY(w->picshow->item(w->picshow->count() - 1)->text().contains(QStringLiteral("60 s")));
        } else {
            port->receive(reply);
        }
        QCOMPARE(state(), label + QStringLiteral(" &Disconnect"));
        finishDelay(3000);
        QCOMPARE(state(), QStringLiteral("lblOffLine &Connect"));
        QVERIFY(port->isOpen());
        QVERIFY(w->picLed[5]->isLit());
        w->cmdConnect->click();
        finishDelay(1000);
        QCOMPARE(port->closeCount, 1);
        QCOMPARE(port->openCount, 2);
        QCOMPARE(state(), QStringLiteral("lblDialing &Disconnect"));
    }

    void chatteringModemIsBounded() {
        dialToWait();
        for (int i = 0; i < 300; ++i)
            port->receive(QByteArray(100, 'R') + "\r\n");
        QCOMPARE(w->InputString.size(), FrmZelMain::ModemTextLimit);
        QCOMPARE(state(), QStringLiteral("lblDialing &Disconnect"));
    }
};
ZEL_TEST(ConnectTest)
#include "tst_connect.moc"
