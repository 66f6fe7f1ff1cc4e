// Menus, the About box and the confirmed exit.
#include "core/session/monitorsession.h"
#include "gui/frmzelabout.h"
#include "gui/frmzelmain.h"
#include "gui/frmzelmodem.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>

void FrmZelMain::showModemSettings() {
    frmZelModem->show();
    frmZelModem->raise();
    frmZelModem->activateWindow();
}

void FrmZelMain::showAbout() {
    if (!frmZelAbout) {
        frmZelAbout = new FrmZelAbout(this);
        frmZelAbout->setObjectName(QStringLiteral("frmZelAbout"));
        frmZelAbout->adjustSize();
        frmZelAbout->move(geometry().center() - frmZelAbout->rect().center());
    }
    frmZelAbout->show();
    frmZelAbout->raise();
}

void FrmZelMain::exitProgram() {
    if (m_exiting) return;
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("EXIT PROGRAM"),
                    QStringLiteral("                Are you sure?   "), QMessageBox::Yes | QMessageBox::No,
                    this);
    box.setDefaultButton(QMessageBox::Yes);
    // Wide enough for its title, which the frame would otherwise cut short.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        QFont titleFont = box.font();
        titleFont.setBold(true);
        const int titleWidth = QFontMetrics(titleFont).horizontalAdvance(box.windowTitle()) + 120;
        grid->addItem(new QSpacerItem(titleWidth, 0, QSizePolicy::Minimum, QSizePolicy::Minimum),
                      grid->rowCount(), 0, 1, grid->columnCount());
    }
    if (box.exec() != QMessageBox::Yes) return;
    m_exiting = true;
    // Nothing runs any more: no timer, no pending wait. Nothing is saved.
    m_session->shutDown();
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
    exitProgram();
    e->setAccepted(m_exiting);
}
