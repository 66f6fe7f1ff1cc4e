#include "dialogs/frmzelmodem.h"

#include <QCloseEvent>
#include <QRadioButton>

FrmZelModem::FrmZelModem(QWidget* parent)
    : QDialog(parent) {}
void FrmZelModem::setOption(QRadioButton* button, bool on) {
    button->setChecked(on);
}
void FrmZelModem::FrmZelModemUpdate() {}
void FrmZelModem::cmdOk_Click() {
    emit saveRequested();
}
void FrmZelModem::cmdApply_Click() {}
void FrmZelModem::cmdClose_Click() {}
void FrmZelModem::reject() {
    cmdClose_Click();
}
void FrmZelModem::closeEvent(QCloseEvent* e) {
    e->ignore();
}
