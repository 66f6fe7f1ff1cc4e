// The panel's watchers besides itself: the station's record (and the
// windows that show it), alerts with a tray notification, and the status
// page, each as zel.conf asks. None of them may stop the panel: a problem is
// shown once, without blocking.
#include "gui/frmzelmain.h"

#include "core/outputs/history/historystore.h"
#include "core/session/monitorsession.h"
#include "core/station/station.h"
#include "gui/frmzelmodem.h"
#include "gui/history/dailyreport.h"
#include "gui/history/historywindow.h"

#include <QAction>
#include <QDateEdit>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHostAddress>
#include <QMessageBox>
#include <QSettings>
#include <QSystemTrayIcon>

void FrmZelMain::startServices() {
    connect(m_station, &zel::Station::problem, this, &FrmZelMain::showProblem);
    {
        const QString confPath = zel::SettingsStore::confPath();
        QSettings conf(confPath, QSettings::IniFormat);
        zel::StationConfig config = m_station->config();
        QStringList problems, notices;
        zel::loadOutputSections(conf, &config, &problems, &notices);
        m_station->setOutputs(config);
        for (const QString& p : problems)
            showProblem(QStringLiteral("SETTINGS"), confPath + QStringLiteral(": ") + p);
        for (const QString& n : notices)
            logModem(confPath + QStringLiteral(": ") + n);
    }
    m_station->openOutputs();
    connect(mnuHistory, &QAction::triggered, this, &FrmZelMain::showHistory);
    connect(mnuDailyReport, &QAction::triggered, this, &FrmZelMain::writeReport);

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        m_tray = new QSystemTrayIcon(windowIcon(), this);
        m_tray->setToolTip(windowTitle());
        m_tray->show();
        connect(m_station, &zel::Station::notify, m_tray,
                [this](const QString& title, const QString& text) { m_tray->showMessage(title, text); });
    }
    // An output's trouble and its end also go to the diagnostic list, and
    // the central record's to the tray icon's tooltip while it lasts.
    connect(m_station, &zel::Station::problem, this, [this](const QString& kind, const QString& message) {
        logModem(kind + QStringLiteral(": ") + message);
        if (m_tray && kind == u"CENTRAL")
            m_tray->setToolTip(windowTitle() + QStringLiteral("\nCentral record: ") + message);
    });
    connect(m_station, &zel::Station::recovered, this, [this](const QString& kind, const QString& message) {
        logModem(kind + QStringLiteral(": ") + message);
        if (m_tray && kind == u"CENTRAL") m_tray->setToolTip(windowTitle());
    });
    connect(m_station, &zel::Station::alertFailed, this,
            [this](int, const QString& what, const QString& reason) {
                logModem(QStringLiteral("Alert not sent (%1): %2").arg(what, reason));
            });
    connect(m_station, &zel::Station::alertSent, this,
            [this](int, const QString& event, const QString& state, const QString& via) {
                logModem(QStringLiteral("Alert sent by %1: %2 %3").arg(via, event, state));
            });
    // A test's outcome is also shown beside the dialog's button.
    connect(m_station, &zel::Station::alertSent, frmZelModem,
            [this](int, const QString& event, const QString&, const QString& via) {
                if (event == u"test")
                    frmZelModem->showTestAlertResult(QStringLiteral("Sent by %1.").arg(via));
            });
    connect(m_station, &zel::Station::alertFailed, frmZelModem,
            [this](int, const QString& what, const QString& reason) {
                // `what` is "test alert" or "command test test", "webhook test test".
                if (what.startsWith(u"test"))
                    frmZelModem->showTestAlertResult(QStringLiteral("Not sent: %1.").arg(reason));
                else if (what.endsWith(u" test test"))
                    frmZelModem->showTestAlertResult(
                        QStringLiteral("Not sent by %1: %2.").arg(what.section(u' ', 0, 0), reason));
            });
    connect(frmZelModem, &FrmZelModem::testAlertRequested, this, [this] {
        m_station->setAlertSettings(frmZelModem->alertSettings());
        m_station->sendTestAlert(0);
    });
}

void FrmZelMain::showProblem(const QString& title, const QString& text) {
    // Once each, and never modal: the panel keeps watching.
    if (m_problemsShown.contains(text)) return;
    m_problemsShown.append(text);
    auto* box = new QMessageBox(QMessageBox::Warning, title, text, QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("problemBox"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}

void FrmZelMain::showHistory() {
    if (!m_historyWindow) {
        m_historyWindow = new zel::HistoryWindow(m_station->history(), this);
        m_historyWindow->setWindowFlag(Qt::Window);
        m_historyWindow->setAttribute(Qt::WA_DeleteOnClose);
        m_historyWindow->setObjectName(QStringLiteral("historyWindow"));
    }
    m_historyWindow->show();
    m_historyWindow->raise();
}

void FrmZelMain::writeReport() {
    QDialog ask(this);
    ask.setWindowTitle(QStringLiteral("Daily Report"));
    auto* form = new QFormLayout(&ask);
    auto* day = new QDateEdit(QDate::currentDate().addDays(-1), &ask);
    day->setObjectName(QStringLiteral("reportDay"));
    day->setCalendarPopup(true);
    day->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    form->addRow(QStringLiteral("Day:"), day);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &ask);
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, &ask, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &ask, &QDialog::reject);
    if (ask.exec() != QDialog::Accepted) return;
    const QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("Daily Report"),
        QStringLiteral("zel-report-%1.pdf").arg(day->date().toString(Qt::ISODate)),
        QStringLiteral("PDF (*.pdf)"));
    if (path.isEmpty()) return;
    QString why;
    zel::HistoryStore* history = m_station->history();
    if (!history)
        why = QStringLiteral("The history is turned off in %1.").arg(zel::SettingsStore::confPath());
    else if (zel::writeDailyReport(*history, day->date(), m_station->config().siteName, path, &why))
        return;
    QMessageBox box(QMessageBox::Warning, QStringLiteral("FILE ERROR"),
                    QStringLiteral("The report could not be written to\n%1\n\n%2").arg(path, why),
                    QMessageBox::Ok, this);
    box.exec();
}
