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
#include <QThreadPool>
#include <memory>

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
    // A compliance report still being written is finished first.
    QThreadPool::globalInstance()->waitForDone();
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
    connect(ask, &zel::ComplianceReportDialog::requested, this,
            [this, path = history->path()](const zel::ComplianceReportRequest& r) {
                const QString confPath = zel::SettingsStore::confPath();
                QSettings conf(confPath, QSettings::IniFormat);
                QStringList problems;
                const zel::ComplianceSettings settings = zel::readComplianceSettings(conf, &problems);
                for (const QString& p : problems)
                    showProblem(QStringLiteral("SETTINGS"), confPath + QStringLiteral(": ") + p);
                // A long period takes seconds to read and lay out: done on a
                // thread of the pool, through a connection of its own, so the
                // poll never waits for it. `done` lives here and brings the
                // outcome back when the work deletes it; exitProgram() waits
                // for the pool.
                auto why = std::make_shared<QString>();
                auto* done = new QObject;
                connect(done, &QObject::destroyed, this, [this, why, file = r.path] {
                    if (!why->isEmpty())
                        showProblem(QStringLiteral("FILE ERROR"),
                                    QStringLiteral("The compliance report could not be written to\n%1\n\n%2")
                                        .arg(file, *why));
                });
                QThreadPool::globalInstance()->start([=, station = m_station->config().siteName] {
                    {
                        zel::HistoryStore reader;
                        QObject::connect(&reader, &zel::HistoryStore::problem,
                                         [why](const QString& m) { *why = m; });
                        if (reader.open(path) &&
                            zel::writeComplianceReport(reader, r, settings, station, r.monitor, why.get()))
                            why->clear();
                        else if (why->isEmpty())
                            *why = QStringLiteral("the history %1 could not be read").arg(path);
                    }
                    done->deleteLater();
                });
            });
    ask->open();
}
