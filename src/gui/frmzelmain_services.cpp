// The panel's watchers besides itself: the station's record (and the
// windows that show it), alerts with a tray notification, and the status
// page, each as zel.conf asks. None of them may stop the panel: a problem is
// shown once, without blocking.
#include "gui/frmzelmain.h"

#include "core/outputs/alerts/alertmanager.h"
#include "core/outputs/alerts/alertsettings.h"
#include "core/outputs/history/historystore.h"
#include "core/outputs/history/recorder.h"
#include "core/link/linkcontroller.h"
#include "core/session/monitorsession.h"
#include "core/session/services.h"
#include "core/outputs/web/statusserver.h"
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
    QSettings conf(zel::SettingsStore::confPath(), QSettings::IniFormat);
    m_history = new zel::HistoryStore(this);
    m_history->setObjectName(QStringLiteral("history"));
    connect(m_history, &zel::HistoryStore::problem, this,
            [this](const QString& m) { showProblem(QStringLiteral("HISTORY"), m); });
    if (conf.value(QStringLiteral("history/enabled"), true).toBool()) {
        const QString path =
            conf.value(QStringLiteral("history/file"), zel::HistoryStore::defaultPath()).toString();
        m_history->setRetentionDays(
            conf.value(QStringLiteral("history/retentionDays"), zel::HistoryStore::DefaultRetentionDays)
                .toInt());
        m_history->open(path);
    }
    // The record follows the port in use: a new one when the port changes.
    connect(m_session->link(), &zel::LinkController::activeChanged, this, [this](bool active) {
        if (active) ensureRecorder();
    });
    connect(mnuHistory, &QAction::triggered, this, &FrmZelMain::showHistory);
    connect(mnuDailyReport, &QAction::triggered, this, &FrmZelMain::writeReport);

    zel::AlertSettings alerts;
    alerts.load(conf);
    m_alerts = zel::attachAlerts(m_session, alerts);
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        m_tray = new QSystemTrayIcon(windowIcon(), this);
        m_tray->setToolTip(windowTitle());
        m_tray->show();
        connect(m_alerts, &zel::AlertManager::notify, m_tray,
                [this](const QString& title, const QString& text) { m_tray->showMessage(title, text); });
    }
    connect(m_alerts, &zel::AlertManager::alertFailed, this,
            [this](const QString& what, const QString& reason) {
                logModem(QStringLiteral("Alert not sent (%1): %2").arg(what, reason));
            });
    connect(m_alerts, &zel::AlertManager::alertSent, this,
            [this](const QString& event, const QString& state, const QString& via) {
                logModem(QStringLiteral("Alert sent by %1: %2 %3").arg(via, event, state));
            });
    // A test's outcome is also shown beside the dialog's button.
    connect(m_alerts, &zel::AlertManager::alertSent, frmZelModem,
            [this](const QString& event, const QString&, const QString& via) {
                if (event == u"test")
                    frmZelModem->showTestAlertResult(QStringLiteral("Sent by %1.").arg(via));
            });
    connect(m_alerts, &zel::AlertManager::alertFailed, frmZelModem,
            [this](const QString& what, const QString& reason) {
                // `what` is "test alert" or "command test test", "webhook test test".
                if (what.startsWith(u"test"))
                    frmZelModem->showTestAlertResult(QStringLiteral("Not sent: %1.").arg(reason));
                else if (what.endsWith(u" test test"))
                    frmZelModem->showTestAlertResult(
                        QStringLiteral("Not sent by %1: %2.").arg(what.section(u' ', 0, 0), reason));
            });
    connect(frmZelModem, &FrmZelModem::testAlertRequested, this, [this] {
        m_alerts->setSettings(frmZelModem->alertSettings());
        m_alerts->sendTestAlert();
    });

    if (conf.value(QStringLiteral("http/enabled"), false).toBool()) {
        m_statusServer = new zel::StatusServer(this);
        const QHostAddress address(
            conf.value(QStringLiteral("http/address"), QStringLiteral("127.0.0.1")).toString());
        const int port = conf.value(QStringLiteral("http/port"), 8080).toInt();
        if (address.isNull() || port < 1 || port > 65535 ||
            !m_statusServer->listen(address, quint16(port),
                                    conf.value(QStringLiteral("http/token")).toString()))
            showProblem(QStringLiteral("STATUS PAGE"),
                        address.isNull() ? QStringLiteral("The status page's address in %1 is not valid.")
                                               .arg(zel::SettingsStore::confPath())
                                         : m_statusServer->errorString());
        else
            zel::attachStatusServer(m_session, m_statusServer, m_history);
    }
}

void FrmZelMain::ensureRecorder() {
    if (!m_history || !m_history->isOpen()) return;
    auto* current = m_session->findChild<zel::Recorder*>(QString(), Qt::FindDirectChildrenOnly);
    if (current && current->monitor() == zel::monitorName(m_session)) return;
    delete current; // flushes what it holds
    zel::Recorder* r = zel::attachRecorder(m_session, m_history);
    connect(r, &zel::Recorder::problem, this,
            [this](const QString& m) { showProblem(QStringLiteral("HISTORY"), m); });
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
        m_historyWindow = new zel::HistoryWindow(m_history, this);
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
    if (zel::writeDailyReport(*m_history, day->date(), zel::monitorName(m_session), path, &why)) return;
    QMessageBox box(QMessageBox::Warning, QStringLiteral("FILE ERROR"),
                    QStringLiteral("The report could not be written to\n%1\n\n%2").arg(path, why),
                    QMessageBox::Ok, this);
    box.exec();
}
