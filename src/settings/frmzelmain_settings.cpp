// Saving and restoring the operator's settings: the dialog's connection
// choices, the speaker switch and the two peak thresholds.
#include "app/frmzelmain.h"

#include "dialogs/frmzelmodem.h"
#include "panel/indicator.h"
#include "settings/diskfile.h"
#include "settings/settingsfile.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QRadioButton>
#include <QScrollBar>

using zel::DiskFileDefinition;

namespace {

// A check box's value as stored: 0 clear, 1 checked, 2 greyed.
int checkValue(const QCheckBox* box) {
    switch (box->checkState()) {
    case Qt::Checked:
        return 1;
    case Qt::PartiallyChecked:
        return 2;
    default:
        return 0;
    }
}

// Sets a check box from a stored check state; a value the box cannot hold
// fails the step.
bool setCheckValue(QCheckBox* box, const QByteArray& field) {
    const std::optional<short> v = zel::checkStateValue(field);
    if (!v || *v < 0 || *v > 2) return false;
    box->setCheckState(*v == 1 ? Qt::Checked : *v == 2 ? Qt::PartiallyChecked : Qt::Unchecked);
    return true;
}

// Sets a threshold scroll bar from a level field. QScrollBar would clamp a
// value outside its range, so the range is checked here.
bool setLevel(QScrollBar* bar, const QByteArray& field) {
    const std::optional<short> v = zel::levelValue(field);
    if (!v || *v < bar->minimum() || *v > bar->maximum()) return false;
    bar->setValue(*v);
    return true;
}

QString text(const QByteArray& field) {
    return QString::fromLatin1(field);
}

// A port box shows the stored text as it is; the list follows when the text
// is one of its items.
void setPortText(QComboBox* box, const QByteArray& field) {
    const QString port = text(field);
    const int index = box->findText(port);
    if (index >= 0) box->setCurrentIndex(index);
    box->setEditText(port);
}

// The file's first record, or nothing when it cannot be had. A missing file
// is created empty (with its folder), which is no record either.
std::optional<DiskFileDefinition> readRecord(const QString& path) {
    if (!QFileInfo::exists(path)) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile created(path);
        created.open(QIODevice::WriteOnly | QIODevice::NewOnly);
        return std::nullopt;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    // A longer file (not one the program wrote) is read by its first record.
    return DiskFileDefinition::decode(file.read(DiskFileDefinition::Size));
}

} // namespace

void FrmZelMain::mnuSaveDefaults_Click() {
    Save_Data();
}

void FrmZelMain::Save_Data() {
    const FrmZelModem* d = frmZelModem;
    DiskFileDefinition r;
    r.DirectCable = d->optDirect->isChecked();
    r.ModemLink = d->optModem->isChecked();
    r.DirectPort = zel::fieldText(d->cmbPort->currentText(), r.PortWidth);
    r.ToneDial = d->optTone->isChecked();
    r.PulseDial = d->optPulse->isChecked();
    r.PhoneNumber = zel::fieldText(d->txtPhoneNumber->text(), r.PhoneWidth);
    r.OutsideLineOn = zel::checkStateText(checkValue(d->chkOutside));
    r.OutsideLineCode = zel::fieldText(d->txt9->text(), r.CodeWidth);
    r.CallWaitingOn = zel::checkStateText(checkValue(d->chkWaiting));
    r.CallWaitingCode = zel::fieldText(d->txt70->text(), r.CodeWidth);
    r.ModemPortName = zel::fieldText(d->cmbModem->currentText(), r.PortWidth);
    r.SpeakerOff = d->optOff->isChecked();
    r.SpeakerLow = d->optLow->isChecked();
    r.SpeakerLoud = d->optLoud->isChecked();
    r.ModemIniOn = zel::checkStateText(checkValue(d->chkModemIni));
    r.ModemIniString = zel::fieldText(d->txtModemIni->text(), r.IniWidth);
    r.BeepOffShown = !imgSpeakerOff->isHidden();
    r.BeepOnShown = !imgSpeakerOn->isHidden();
    // The thresholds as their boxes show them, not the scroll bars.
    r.PkPosLevel = zel::fieldText(txtPkPosLed->text(), r.LevelWidth);
    r.PkNegLevel = zel::fieldText(txtPkNegLed->text(), r.LevelWidth);

    // Written whole or not at all: a failed save leaves the last good file.
    const QString path = zel::settingsFilePath();
    QString why;
    if (zel::writeFileAtomically(path, r.encode(), &why)) return;
    QMessageBox box(QMessageBox::Warning, QStringLiteral("FILE ERROR"),
                    QStringLiteral("The settings could not be saved to\n%1\n\n%2")
                        .arg(QDir::toNativeSeparators(path), why),
                    QMessageBox::Ok, frmZelModem->isHidden() ? static_cast<QWidget*>(this) : frmZelModem);
    box.exec();
}

void FrmZelMain::Restore_Data() {
    FrmZelModem* d = frmZelModem;
    auto apply = [&](const DiskFileDefinition& r) {
        // In record order; each step runs the handlers an operator's change
        // would. A value a control cannot hold fails the whole restore.
        FrmZelModem::setOption(d->optDirect, r.DirectCable);
        FrmZelModem::setOption(d->optModem, r.ModemLink);
        setPortText(d->cmbPort, r.DirectPort);
        FrmZelModem::setOption(d->optTone, r.ToneDial);
        FrmZelModem::setOption(d->optPulse, r.PulseDial);
        d->txtPhoneNumber->setText(text(r.PhoneNumber));
        if (!setCheckValue(d->chkOutside, r.OutsideLineOn)) return false;
        d->txt9->setText(text(r.OutsideLineCode));
        if (!setCheckValue(d->chkWaiting, r.CallWaitingOn)) return false;
        d->txt70->setText(text(r.CallWaitingCode));
        setPortText(d->cmbModem, r.ModemPortName);
        FrmZelModem::setOption(d->optOff, r.SpeakerOff);
        FrmZelModem::setOption(d->optLow, r.SpeakerLow);
        FrmZelModem::setOption(d->optLoud, r.SpeakerLoud);
        if (!setCheckValue(d->chkModemIni, r.ModemIniOn)) return false;
        d->txtModemIni->setText(text(r.ModemIniString));
        imgSpeakerOff->setVisible(r.BeepOffShown);
        imgSpeakerOn->setVisible(r.BeepOnShown);
        txtPkPosLed->setText(text(r.PkPosLevel));
        txtPkNegLed->setText(text(r.PkNegLevel));
        if (!setLevel(vsbPkPosLed, r.PkPosLevel)) return false;
        if (!setLevel(vsbPkNegLed, r.PkNegLevel)) return false;
        return true;
    };

    const std::optional<DiskFileDefinition> stored = readRecord(zel::settingsFilePath());
    if (stored) {
        record = *stored;
        if (apply(record)) return;
    }

    QMessageBox box(QMessageBox::Warning, QStringLiteral("FILE ERROR"),
                    QStringLiteral("Error Loading Custom Settings ... Will use Zel Defaults.     "),
                    QMessageBox::Ok, this);
    box.exec();
    // The defaults cover every target, so no mixture of file and defaults
    // remains. They reach the file only with the next save.
    const DiskFileDefinition defaults;
    apply(defaults);
    d->FrmZelModemUpdate();
}
