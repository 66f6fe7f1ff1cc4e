#include "core/session/monitorsession.h"

#include "core/link/linkcontroller.h"
#include "core/monitor/episodetracker.h"
#include "core/monitor/monitormodel.h"

#include <QTimer>

namespace zel {

namespace {

AlarmKind flasherKind(MonitorModel::Flasher f) {
    switch (f) {
    case MonitorModel::PosVar:
        return AlarmKind::PosVariable;
    case MonitorModel::NegVar:
        return AlarmKind::NegVariable;
    case MonitorModel::Pos125:
        return AlarmKind::Pos125;
    case MonitorModel::Neg100:
    case MonitorModel::FlasherCount:
        break;
    }
    return AlarmKind::Neg100;
}

} // namespace

MonitorSession::MonitorSession(QObject* parent)
    : QObject(parent)
    , m_link(new LinkController(this))
    , m_model(new MonitorModel(this))
    , m_episodes(new EpisodeTracker(this)) {
    qRegisterMetaType<Readings>();
    qRegisterMetaType<AlarmEvent>();
    qRegisterMetaType<LinkEvent>();
    qRegisterMetaType<LinkStatus>();
    qRegisterMetaType<Episode>();
    connect(m_link, &LinkController::readingsReceived, this, [this](const Readings& r) {
        m_model->showReadings(r);
        m_episodes->onReadings(r);
        emit readingsReceived(r);
    });
    connect(m_link, &LinkController::packetRejected, this, &MonitorSession::packetRejected);
    connect(m_link, &LinkController::linkOpenChanged, m_model, &MonitorModel::setLinkOpen);
    connect(m_link, &LinkController::displayCleared, m_model, &MonitorModel::clearDisplay);
    connect(m_link, &LinkController::beepWanted, m_model, &MonitorModel::secBeep);
    connect(m_link, &LinkController::stateChanged, this, [this](const LinkEvent& e) {
        // Episodes end where the data ends: a link that is not connected has
        // none open.
        if (e.state != LinkState::Connected) m_episodes->endAll();
        LinkStatus s = m_status;
        s.state = e.state;
        s.detail = e.detail;
        s.noData = m_link->noData();
        emit linkEvent(e);
        setStatus(s);
    });
    connect(m_link, &LinkController::noDataChanged, this, [this](bool on) {
        LinkStatus s = m_status;
        s.noData = on;
        setStatus(s);
    });
    connect(m_link, &LinkController::dialingCaptionChanged, this, [this](const QString& caption) {
        LinkStatus s = m_status;
        s.dialCaption = caption;
        setStatus(s);
    });
    connect(m_link, &LinkController::activeChanged, this, &MonitorSession::activeChanged);
    connect(m_link, &LinkController::portError, this, &MonitorSession::portError);
    connect(m_link, &LinkController::rawRead, this, &MonitorSession::rawRead);
    connect(m_link, &LinkController::modemLog, this, &MonitorSession::modemLog);
    connect(m_link, &LinkController::modemWords, this, &MonitorSession::modemWords);
    connect(m_link, &LinkController::pollStatsChanged, this, &MonitorSession::pollStatsChanged);
    connect(m_model, &MonitorModel::alarmEvent, this, &MonitorSession::alarmEvent);
    connect(m_link, &LinkController::alarmEvent, this, &MonitorSession::alarmEvent);
    connect(m_episodes, &EpisodeTracker::episode, this, &MonitorSession::episode);
    connect(m_model, &MonitorModel::beep, this, &MonitorSession::beep);
    connect(m_model, &MonitorModel::barChanged, this,
            [this] { emit barChanged(m_model->barGraph().leds(), m_model->barGraph().dots()); });
    connect(m_model, &MonitorModel::flasherChanged, this,
            [this](MonitorModel::Flasher f, bool lit) { emit flasherChanged(flasherKind(f), lit); });
    connect(m_model, &MonitorModel::carrierAlarmChanged, this, &MonitorSession::carrierAlarmChanged);
    connect(m_model, &MonitorModel::audioAlarmChanged, this, &MonitorSession::audioAlarmChanged);
    connect(m_model, &MonitorModel::selectionChanged, this, &MonitorSession::selectionChanged);
    connect(m_model, &MonitorModel::thresholdsChanged, this, [this](int pos, int neg) {
        m_episodes->setThresholds(pos, neg);
        emit thresholdsChanged(pos, neg);
    });
    connect(m_model, &MonitorModel::speakerChanged, this, &MonitorSession::speakerChanged);
    m_episodes->setThresholds(m_model->positiveThreshold(), m_model->negativeThreshold());
}

void MonitorSession::setStatus(const LinkStatus& s) {
    if (s == m_status) return;
    m_status = s;
    emit linkStatusChanged(m_status);
}

void MonitorSession::applySettings(const Settings& settings) {
    m_link->setConnectionSettings(settings.connection);
    m_model->setSpeakerShown(settings.panel.speakerOnShown, settings.panel.speakerOffShown);
    m_model->setPositiveThreshold(settings.panel.positiveThreshold);
    m_model->setNegativeThreshold(settings.panel.negativeThreshold);
}

void MonitorSession::setConnectionSettings(const ConnectionSettings& settings) {
    m_link->setConnectionSettings(settings);
}

Settings MonitorSession::settings() const {
    Settings s;
    s.connection = m_link->connectionSettings();
    s.panel.speakerOnShown = m_model->speakerOnShown();
    s.panel.speakerOffShown = m_model->speakerOffShown();
    s.panel.positiveThreshold = m_model->positiveThreshold();
    s.panel.negativeThreshold = m_model->negativeThreshold();
    return s;
}

const ConnectionSettings& MonitorSession::connectionSettings() const {
    return m_link->connectionSettings();
}

QString MonitorSession::portText() const {
    return m_link->portText();
}

QString MonitorSession::configuredPort() const {
    const ConnectionSettings& c = m_link->connectionSettings();
    return (c.modemLink ? c.modemPort : c.directPort).trimmed();
}

void MonitorSession::setUnattended(bool on) {
    m_link->setRetryFirstConnect(on);
}

bool MonitorSession::isActive() const {
    return m_link->isActive();
}

bool MonitorSession::settingsEnabled() const {
    return m_link->settingsEnabled();
}

int MonitorSession::selection() const {
    return m_model->selection();
}

int MonitorSession::positiveThreshold() const {
    return m_model->positiveThreshold();
}

int MonitorSession::negativeThreshold() const {
    return m_model->negativeThreshold();
}

bool MonitorSession::speakerOnShown() const {
    return m_model->speakerOnShown();
}

bool MonitorSession::speakerOffShown() const {
    return m_model->speakerOffShown();
}

bool MonitorSession::carrierAlarm() const {
    return m_model->carrierAlarm();
}

void MonitorSession::connectLink() {
    m_link->connectLink();
}

void MonitorSession::disconnectLink() {
    m_link->disconnectLink();
}

void MonitorSession::toggleConnect() {
    m_link->toggleConnect();
}

void MonitorSession::selectNext() {
    m_model->selectNext();
}

void MonitorSession::setPositiveThreshold(int percent) {
    m_model->setPositiveThreshold(percent);
}

void MonitorSession::setNegativeThreshold(int percent) {
    m_model->setNegativeThreshold(percent);
}

void MonitorSession::toggleSpeaker() {
    m_model->toggleSpeaker();
}

void MonitorSession::shutDown() {
    m_link->shutDown();
    m_episodes->endAll();
    for (QTimer* t : findChildren<QTimer*>())
        t->stop();
}

} // namespace zel
