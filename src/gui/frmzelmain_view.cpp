// From the session to the panel: each signal lands on the controls that
// show it, and each click becomes a call on the session. Per packet this
// touches only widgets whose state changes and allocates nothing in the
// steady state.
#include "gui/frmzelmain.h"

#include "core/session/monitorsession.h"
#include "gui/colours.h"
#include "gui/frmzelmodem.h"
#include "gui/indicator.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>

#include "core/station/station.h"

#include <cstdio>

using zel::LinkState;
using namespace zel::colour;

namespace {

const QString ConnectCaption = QStringLiteral("&Connect");
const QString DisconnectCaption = QStringLiteral("&Disconnect");

// Writes a threshold into its text box unless it already reads so.
void showThreshold(QLineEdit* box, int value) {
    char digits[12];
    const int n = std::snprintf(digits, sizeof digits, "%d", value);
    if (box->text() == QLatin1String(digits, n)) return;
    box->setText(QString::fromLatin1(digits, n));
}

void setScrollValue(QScrollBar* bar, int value) {
    if (bar->value() == value) return;
    const QSignalBlocker quiet(bar);
    bar->setValue(value);
}

} // namespace

void FrmZelMain::connectSession() {
    zel::MonitorSession* session = m_session;
    connect(cmdConnect, &QPushButton::clicked, session, &zel::MonitorSession::toggleConnect);
    connect(cmdSelect, &QPushButton::clicked, session, &zel::MonitorSession::selectNext);
    connect(vsbPkPosLed, &QScrollBar::valueChanged, session, &zel::MonitorSession::setPositiveThreshold);
    connect(vsbPkNegLed, &QScrollBar::valueChanged, session, &zel::MonitorSession::setNegativeThreshold);
    connect(imgSpeakerOn, &ClickableImage::clicked, session, &zel::MonitorSession::toggleSpeaker);
    connect(imgSpeakerOff, &ClickableImage::clicked, session, &zel::MonitorSession::toggleSpeaker);
    connect(cmdExit, &QPushButton::clicked, this, &FrmZelMain::exitProgram);
    connect(mnuExit, &QAction::triggered, this, &FrmZelMain::exitProgram);
    connect(mnuAbout, &QAction::triggered, this, &FrmZelMain::showAbout);
    connect(mnuModemSettings, &QAction::triggered, this, &FrmZelMain::showModemSettings);
    connect(mnuSaveDefaults, &QAction::triggered, this, &FrmZelMain::saveSettings);
    connect(frmZelModem, &FrmZelModem::saveRequested, this, &FrmZelMain::saveSettings);
    connect(frmZelModem, &FrmZelModem::settingsEdited, this,
            [this] { m_session->setConnectionSettings(frmZelModem->settings()); });
    connect(frmZelModem, &FrmZelModem::mainWindowRequested, this, [this] {
        show();
        raise();
        activateWindow();
    });

    connect(session, &zel::MonitorSession::linkEvent, this, &FrmZelMain::showLinkEvent);
    connect(session, &zel::MonitorSession::linkStatusChanged, this, &FrmZelMain::showLinkStatus);
    connect(session, &zel::MonitorSession::activeChanged, this, &FrmZelMain::showActive);
    connect(session, &zel::MonitorSession::rawRead, this, &FrmZelMain::showRawRead);
    connect(session, &zel::MonitorSession::modemLog, this, &FrmZelMain::logModem);
    connect(session, &zel::MonitorSession::pollStatsChanged, this, &FrmZelMain::showPollStats);
    connect(session, &zel::MonitorSession::modemWords, this, &FrmZelMain::showModemWords);
    connect(session, &zel::MonitorSession::portError, this, &FrmZelMain::showPortError);
    connect(session, &zel::MonitorSession::beep, this, &FrmZelMain::beep);
    connect(session, &zel::MonitorSession::readingsReceived, this, &FrmZelMain::packetShown);
    connect(session, &zel::MonitorSession::barChanged, this, &FrmZelMain::showBarGraph);
    connect(session, &zel::MonitorSession::flasherChanged, this, &FrmZelMain::showFlasher);
    connect(session, &zel::MonitorSession::carrierAlarmChanged, this, &FrmZelMain::showCarrierAlarm);
    connect(session, &zel::MonitorSession::audioAlarmChanged, this, &FrmZelMain::showAudioAlarm);
    connect(session, &zel::MonitorSession::selectionChanged, this, &FrmZelMain::showSelection);
    connect(session, &zel::MonitorSession::thresholdsChanged, this, &FrmZelMain::showThresholds);
    connect(session, &zel::MonitorSession::speakerChanged, this, &FrmZelMain::showSpeaker);

    // What the session holds already.
    showSelection(session->selection());
    showSpeaker(session->speakerOnShown(), session->speakerOffShown());
    showThresholds(session->positiveThreshold(), session->negativeThreshold());
    // Setting the thresholds at start-up judges the carrier: its LED shows
    // the judgement from the start, unlike the audio LED.
    showCarrierAlarm(session->carrierAlarm());
    showActive(session->isActive(), session->settingsEnabled());
}

void FrmZelMain::showLinkStatus(const zel::LinkStatus& status) {
    lblDialing->setText(status.dialCaption);
    m_linkState = status.state;
    m_noData = status.noData;
    showStatus();
}

void FrmZelMain::showLinkEvent(const zel::LinkEvent& e) {
    // A lost link says why on its label.
    lblReconnecting->setToolTip(e.state == LinkState::Reconnecting ? e.detail : QString());
    if (e.state == LinkState::Initializing || e.state == LinkState::OffLine)
        for (ColorLabel* l : {lblConnected, lblBusy, lblNoDialTone})
            l->setToolTip(QString());
}

void FrmZelMain::showStatus() {
    ColorLabel* label = lblOffLine;
    switch (m_linkState) {
    case LinkState::OffLine:
        label = lblOffLine;
        break;
    case LinkState::Initializing:
        label = lblInitializing;
        break;
    case LinkState::Dialing:
        label = lblDialing;
        break;
    case LinkState::Connected:
        label = m_noData ? lblNoData : lblConnected;
        break;
    case LinkState::Busy:
        label = lblBusy;
        break;
    case LinkState::NoDialTone:
        label = lblNoDialTone;
        break;
    case LinkState::HangingUp:
        label = lblHanging;
        break;
    case LinkState::Reconnecting:
        label = lblReconnecting;
        break;
    }
    for (ColorLabel* l : {lblOffLine, lblNoDialTone, lblInitializing, lblHanging, lblDialing, lblConnected,
                          lblBusy, lblReconnecting, lblNoData})
        if (l != label) l->hide();
    label->show();
}

void FrmZelMain::showActive(bool active, bool settingsEnabled) {
    cmdConnect->setText(active ? DisconnectCaption : ConnectCaption);
    mnuModemSettings->setEnabled(settingsEnabled);
}

void FrmZelMain::showBarGraph(const zel::BarGraph::Bits& leds, const zel::BarGraph::Bits& dots) {
    const zel::BarGraph::Bits ledChanges = leds ^ m_shownLeds;
    const zel::BarGraph::Bits dotChanges = dots ^ m_shownDots;
    if (ledChanges.none() && dotChanges.none()) return;
    // One repaint request for the run of switched segments, with a region
    // kept for that run: a new region for each request would cost Qt an
    // allocation or two with every packet.
    int first = -1, last = -1;
    for (int i = 1; i < zel::BarGraph::Elements; ++i) {
        if (ledChanges[i]) picLed[i]->setLit(leds[i], Indicator::Repaint::ByCaller);
        if (dotChanges[i]) picDot[i]->setLit(dots[i], Indicator::Repaint::ByCaller);
        if (!ledChanges[i] && !dotChanges[i]) continue;
        if (first < 0) first = i;
        last = i;
    }
    m_panel->update(m_barSpans.span(first, last));
    m_shownLeds = leds;
    m_shownDots = dots;
}

void FrmZelMain::showFlasher(zel::AlarmKind kind, bool lit) {
    switch (kind) {
    case zel::AlarmKind::PosVariable:
        shpPkPosLed->setFillColor(lit ? Yellow : DimYellow);
        break;
    case zel::AlarmKind::NegVariable:
        shpPkNegLed->setFillColor(lit ? Yellow : DimYellow);
        break;
    case zel::AlarmKind::Pos125:
        shpPkPos125Led->setFillColor(lit ? Red : RedOut);
        break;
    case zel::AlarmKind::Neg100:
        shpPkNeg100Led->setFillColor(lit ? Red : RedOut);
        break;
    default:
        break;
    }
}

void FrmZelMain::showCarrierAlarm(bool on) {
    shpCarrierLed->setFillColor(on ? Red : RedOut);
}

void FrmZelMain::showAudioAlarm(bool on) {
    shpAudioLed->setFillColor(on ? Red : RedOut);
}

void FrmZelMain::showSelection(int selection) {
    for (int i = 0; i < 3; ++i)
        shpSelectLed[i]->setFillColor(i == selection ? Green : DimGreen);
}

void FrmZelMain::showThresholds(int positive, int negative) {
    showThreshold(txtPkPosLed, positive);
    showThreshold(txtPkNegLed, negative);
    setScrollValue(vsbPkPosLed, positive);
    setScrollValue(vsbPkNegLed, negative);
}

void FrmZelMain::showSpeaker(bool onShown, bool offShown) {
    imgSpeakerOn->setVisible(onShown);
    imgSpeakerOff->setVisible(offShown);
}

void FrmZelMain::showRawRead(const QByteArray& data) {
    // The diagnostic area lies below the panel, out of sight unless the window
    // is enlarged: a label nobody can see is not repainted for every packet.
    const QRect inWindow(lblRcvdat->mapTo(this, QPoint(0, 0)), lblRcvdat->size());
    lblRcvdat->setUpdatesEnabled(rect().intersects(inWindow));
    lblRcvdat->setText(QString::fromLatin1(data));
}

void FrmZelMain::showPollStats(int depth, double roundTripMs) {
    lblPollStats->setText(zel::pollStatsText(depth, roundTripMs));
}

void FrmZelMain::logModem(const QString& line) {
    // One line per entry: the modem's line breaks become visible marks.
    QString shown = line;
    shown.replace(QStringLiteral("\r"), QStringLiteral("<CR>"))
        .replace(QStringLiteral("\n"), QStringLiteral("<LF>"));
    picshow->addItem(shown);
    while (picshow->count() > ModemLogLimit)
        delete picshow->takeItem(0);
    picshow->scrollToBottom();
}

void FrmZelMain::showModemWords(const QString& words) {
    // The status keeps its caption ("No Dial Tone" for every "NO..."); what
    // the modem actually said is one hover away, and the newest log line.
    m_modemWords = words;
    for (ColorLabel* l : {lblConnected, lblBusy, lblNoDialTone})
        l->setToolTip(words);
    if (picshow->count() == 0 || picshow->item(picshow->count() - 1)->text() != words) logModem(words);
}

void FrmZelMain::showPortError(const QString& port, const QString& reason) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("PORT ERROR"),
                    QStringLiteral("The serial port \"%1\" cannot be used: %2\n\nThe panel is off line.")
                        .arg(port.trimmed(), reason),
                    QMessageBox::Ok, this);
    box.exec();
}

void FrmZelMain::beep() {
    QApplication::beep();
    emit beeped();
}

void FrmZelMain::restoreSettings() {
    const zel::SettingsStore::Loaded loaded = zel::SettingsStore::load();
    zel::Settings s;
    if (loaded.settings) {
        s = *loaded.settings;
    } else {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("FILE ERROR"),
                        QStringLiteral("Error Loading Custom Settings ... Will use Zel Defaults.     "),
                        QMessageBox::Ok, this);
        box.setDetailedText(loaded.problem);
        box.exec();
    }
    // The dialog shows them as a restore sets them; the session takes what
    // the dialog then shows.
    frmZelModem->setSettings(s.connection);
    s.connection = frmZelModem->settings();
    m_session->applySettings(s);
    showThresholds(s.panel.positiveThreshold, s.panel.negativeThreshold);
    QSettings conf(zel::SettingsStore::confPath(), QSettings::IniFormat);
    frmZelModem->loadExtras(conf);
}

void FrmZelMain::saveSettings() {
    QString why;
    const bool saved = zel::SettingsStore::save(m_session->settings(), &why);
    if (saved) {
        QSettings conf(zel::SettingsStore::confPath(), QSettings::IniFormat);
        frmZelModem->saveExtras(conf);
        m_station->setAlertSettings(frmZelModem->alertSettings());
        m_station->setSiteName(frmZelModem->txtStationName->text().trimmed());
        return;
    }
    QMessageBox box(QMessageBox::Warning, QStringLiteral("FILE ERROR"),
                    QStringLiteral("The settings could not be saved to\n%1\n\n%2")
                        .arg(QDir::toNativeSeparators(zel::SettingsStore::recordPath()), why),
                    QMessageBox::Ok, frmZelModem->isHidden() ? static_cast<QWidget*>(this) : frmZelModem);
    box.exec();
}
