// Menus, the About box and the confirmed exit.
#include "app/frmzelabout.h"
#include "app/frmzelmain.h"
#include "dialogs/frmzelmodem.h"
#include "link/serialio.h"

#include <QCloseEvent>
#include <QMessageBox>
#include <QTimer>

void FrmZelMain::cmdExit_Click() {
    Exit_Program();
}

void FrmZelMain::mnuExit_Click() {
    Exit_Program();
}

void FrmZelMain::mnuModemSettings_Click() {
    frmZelModem->show();
    frmZelModem->raise();
    frmZelModem->activateWindow();
}

void FrmZelMain::mnuAbout_Click() {
    if (!frmZelAbout) {
        frmZelAbout = new FrmZelAbout(this);
        frmZelAbout->setObjectName(QStringLiteral("frmZelAbout"));
    }
    frmZelAbout->show();
    frmZelAbout->raise();
}

void FrmZelMain::Exit_Program() {
    if (m_exiting) return;
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("EXIT PROGRAM"),
                    QStringLiteral("                Are you sure?   "), QMessageBox::Yes | QMessageBox::No,
                    this);
    box.setDefaultButton(QMessageBox::Yes);
    if (box.exec() != QMessageBox::Yes) return;
    m_exiting = true;
    if (MSComm1->isOpen()) MSComm1->close();
    // Nothing runs any more: no timer, no pending wait. Nothing is saved.
    cancelDelay();
    for (QTimer* t : findChildren<QTimer*>())
        t->stop();
    if (frmZelAbout) frmZelAbout->close();
    frmZelModem->hide();
    close();
    emit programEnded();
}

void FrmZelMain::closeEvent(QCloseEvent* e) {
    if (m_exiting) {
        e->accept();
        return;
    }
    // The frame's close button asks like File > Exit.
    Exit_Program();
    e->setAccepted(m_exiting);
}
