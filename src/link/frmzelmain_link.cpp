// Connect and disconnect, the non-blocking Delay, and dialling through a
// Hayes modem. Every wait is a timer or arriving data that continues the
// sequence; a Disconnect cancels whatever is pending, and nothing touches a
// closed port.
#include "app/frmzelmain.h"
#include "dialogs/frmzelmodem.h"
#include "link/modemdial.h"
#include "link/serialio.h"
#include "panel/indicator.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

namespace {
const QString ConnectCaption = QStringLiteral("&Connect");
const QString DisconnectCaption = QStringLiteral("&Disconnect");
const QString LineSettings = QStringLiteral("9600,n,8,1");
// The diagnostic list keeps this many recent lines.
constexpr int ModemLogLimit = 3000;
} // namespace

void FrmZelMain::cmdConnect_Click() {
    if (cmdConnect->text() != ConnectCaption) {
        disconnectLink();
        return;
    }
    cmdConnect->setText(DisconnectCaption);
    mnuModemSettings->setEnabled(true);
    lblDialing->hide();
    if (frmZelModem->optModem->isChecked()) {
        connectModem();
        return;
    }
    connectDirect();
}

void FrmZelMain::connectDirect() {
    // A port left open by a failed dial is used as it is.
    if (!MSComm1->isOpen()) {
        if (!openPort(frmZelModem->cmbPort->currentText())) return;
        showStatus(lblConnected);
        startPolling();
    }
    connectTail();
}

bool FrmZelMain::openPort(const QString& portText) {
    MSComm1->setPortText(portText);
    MSComm1->setSettings(LineSettings);
    if (MSComm1->open()) return true;
    disconnectTail();
    showPortError(portText, MSComm1->errorString());
    return false;
}

void FrmZelMain::connectTail() {
    cmdConnect->setText(DisconnectCaption);
    mnuModemSettings->setEnabled(false);
}

void FrmZelMain::disconnectLink() {
    // Whatever was pending (a dial, a busy wait, a hang-up) is over.
    cancelDelay();
    endModemWait();
    tmrXmit->stop();
    if (frmZelModem->optModem->isChecked() && MSComm1->isOpen()) {
        // Closing the port hangs the modem up; the label stays a second.
        showStatus(lblHanging);
        MSComm1->close();
        Delay(1000, [this] { disconnectTail(); });
        return;
    }
    if (MSComm1->isOpen()) MSComm1->close();
    disconnectTail();
}

void FrmZelMain::disconnectTail() {
    cmdConnect->setText(ConnectCaption);
    ClearDisplay();
    mnuModemSettings->setEnabled(true);
    showStatus(lblOffLine);
    tmrXmit->stop();
}

void FrmZelMain::showStatus(ColorLabel* label) {
    for (ColorLabel* l :
         {lblOffLine, lblNoDialTone, lblInitializing, lblHanging, lblDialing, lblConnected, lblBusy})
        if (l != label) l->hide();
    label->show();
}

void FrmZelMain::onPortFailed(const QString& reason) {
    // The port is already closed: stop everything that would use it.
    const bool wasActive = tmrXmit->isActive() || m_modemWaiting || cmdConnect->text() != ConnectCaption;
    cancelDelay();
    endModemWait();
    tmrXmit->stop();
    if (MSComm1->isOpen()) MSComm1->close();
    if (!wasActive) return;
    disconnectTail();
    showPortError(MSComm1->portText(), reason);
}

void FrmZelMain::showPortError(const QString& port, const QString& reason) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("PORT ERROR"),
                    QStringLiteral("The serial port \"%1\" cannot be used: %2\n\nThe panel is off line.")
                        .arg(port.trimmed(), reason),
                    QMessageBox::Ok, this);
    box.exec();
}

void FrmZelMain::Delay(float t, std::function<void()> then) {
    tmrDelay->setInterval(qRound(t));
    DelayFlag = true;
    m_delayThen = std::move(then);
    tmrDelay->start();
}

void FrmZelMain::cancelDelay() {
    tmrDelay->stop();
    DelayFlag = false;
    m_delayThen = nullptr;
}

void FrmZelMain::tmrDelay_Timer() {
    DelayFlag = false;
    tmrDelay->stop();
    if (auto then = std::exchange(m_delayThen, nullptr)) then();
}

// ---- Dialling ---------------------------------------------------------

void FrmZelMain::connectModem() {
    showStatus(lblInitializing);
    Delay(1000, [this] { dialAndWait(); });
}

void FrmZelMain::dialAndWait() {
    const FrmZelModem& d = *frmZelModem;
    ModemPort = d.cmbModem->currentText();
    if (MSComm1->isOpen()) MSComm1->close();
    MSComm1->setPortText(ModemPort);
    MSComm1->setSettings(LineSettings);
    if (!MSComm1->open()) {
        disconnectTail();
        showPortError(ModemPort, MSComm1->errorString());
        return;
    }

    zel::DialOptions o;
    o.speakerOff = d.optOff->isChecked();
    o.speakerLow = d.optLow->isChecked();
    o.speakerLoud = d.optLoud->isChecked();
    o.iniOn = d.chkModemIni->checkState() == Qt::Checked;
    o.ini = d.txtModemIni->text().toLatin1();
    o.tone = d.optTone->isChecked();
    o.outsideOn = d.chkOutside->checkState() == Qt::Checked;
    o.outside = d.txt9->text().toLatin1();
    o.waitingOn = d.chkWaiting->checkState() == Qt::Checked;
    o.waiting = d.txt70->text().toLatin1();
    o.number = d.txtPhoneNumber->text().toLatin1();

    lblDialing->setText(zel::dialingCaption(o));
    showStatus(lblDialing);
    if (!imgSpeakerOn->isHidden()) beep();
    // One burst, no wait for the modem's OK replies.
    for (const QByteArray& command : zel::modemCommands(o))
        MSComm1->write(command);
    MSComm1->discardInput();
    InputString = QByteArrayLiteral("000000000");
    m_modemWaiting = true;
    m_modemTimeout->start();
}

void FrmZelMain::Modem_status() {
    ModemResponse = zel::modemStatus(InputString);
}

void FrmZelMain::onModemReply() {
    if (!m_modemWaiting || !MSComm1->isOpen() || MSComm1->bytesAvailable() == 0) return;
    InputString += MSComm1->readAll();
    // A chattering modem must not grow the text without bound.
    if (InputString.size() > ModemTextLimit) InputString.remove(0, InputString.size() - ModemTextLimit);
    Modem_status();
    logModem(QString::fromLatin1(InputString));
    logModem(QString::number(InputString.size()));
    logModem(QString::fromLatin1(ModemResponse));
    switch (zel::classifyModemResponse(ModemResponse)) {
    case zel::ModemOutcome::Connected:
        endModemWait();
        showStatus(lblConnected);
        if (!imgSpeakerOn->isHidden()) beep();
        startPolling();
        connectTail();
        break;
    case zel::ModemOutcome::Busy:
        endModemWait();
        modemFailed(lblBusy);
        break;
    case zel::ModemOutcome::NoDialTone:
        endModemWait();
        modemFailed(lblNoDialTone);
        break;
    case zel::ModemOutcome::Waiting:
        break;
    }
}

void FrmZelMain::endModemWait() {
    m_modemWaiting = false;
    m_modemTimeout->stop();
}

void FrmZelMain::modemFailed(ColorLabel* label) {
    // The port stays open and the bar graph as it was; the next Connect
    // reopens the port.
    showStatus(label);
    Delay(3000, [this] {
        showStatus(lblOffLine);
        cmdConnect->setText(ConnectCaption);
        mnuModemSettings->setEnabled(true);
    });
}

void FrmZelMain::tmrModemTimeout() {
    if (!m_modemWaiting) return;
    endModemWait();
    logModem(QStringLiteral("No reply from the modem within %1 s").arg(ModemReplyTimeoutMs / 1000));
    modemFailed(lblNoDialTone);
}

void FrmZelMain::logModem(const QString& line) {
    picshow->addItem(line);
    while (picshow->count() > ModemLogLimit)
        delete picshow->takeItem(0);
}
