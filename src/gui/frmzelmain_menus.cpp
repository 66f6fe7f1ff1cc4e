// Menus, the About box and the confirmed exit.
#include "core/outputs/history/historystore.h"
#include "core/session/monitorsession.h"
#include "core/station/station.h"
#include "gui/frmzelabout.h"
#include "gui/frmzelmain.h"
#include "gui/frmzelmodem.h"
#include "gui/history/compliancereport.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSettings>

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

void FrmZelMain::writeComplianceReport() {
    zel::HistoryStore* history = m_station->history();
    if (!history || !history->isOpen()) {
        showProblem(QStringLiteral("FILE ERROR"),
                    QStringLiteral("There is no history to report on: it is turned off in %1, or its file "
                                   "could not be opened.")
                        .arg(zel::SettingsStore::confPath()));
        return;
    }
    auto* ask = new zel::ComplianceReportDialog(history->monitors(), m_station->label(0), this);
    ask->setObjectName(QStringLiteral("complianceReportDialog"));
    ask->setAttribute(Qt::WA_DeleteOnClose);
    connect(
        ask, &zel::ComplianceReportDialog::requested, this, [this](const zel::ComplianceReportRequest& r) {
            // The history may have been closed while the dialog was open.
            zel::HistoryStore* store = m_station->history();
            const QString confPath = zel::SettingsStore::confPath();
            QSettings conf(confPath, QSettings::IniFormat);
            QStringList problems;
            const zel::ComplianceSettings settings = zel::readComplianceSettings(conf, &problems);
            for (const QString& p : problems)
                showProblem(QStringLiteral("SETTINGS"), confPath + QStringLiteral(": ") + p);
            QString why = QStringLiteral("the history is closed");
            if (store && store->isOpen() &&
                zel::writeComplianceReport(*store, r, settings, m_station->config().siteName, r.monitor,
                                           &why))
                return;
            showProblem(
                QStringLiteral("FILE ERROR"),
                QStringLiteral("The compliance report could not be written to\n%1\n\n%2").arg(r.path, why));
        });
    ask->open();
}
