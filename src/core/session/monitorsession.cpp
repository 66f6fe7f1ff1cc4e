#include "core/session/monitorsession.h"

#include "core/link/linkcontroller.h"
#include "core/monitor/monitormodel.h"

#include <QTimer>

namespace zel {

MonitorSession::MonitorSession(QObject* parent)
    : QObject(parent)
    , m_link(new LinkController(this))
    , m_model(new MonitorModel(this)) {
    qRegisterMetaType<Readings>();
    qRegisterMetaType<AlarmEvent>();
    qRegisterMetaType<LinkEvent>();
    connect(m_link, &LinkController::readingsReceived, this, [this](const Readings& r) {
        m_model->showReadings(r);
        emit readingsReceived(r);
    });
    connect(m_link, &LinkController::packetRejected, this, &MonitorSession::packetRejected);
    connect(m_link, &LinkController::linkOpenChanged, m_model, &MonitorModel::setLinkOpen);
    connect(m_link, &LinkController::displayCleared, m_model, &MonitorModel::clearDisplay);
    connect(m_link, &LinkController::beepWanted, m_model, &MonitorModel::secBeep);
    connect(m_link, &LinkController::stateChanged, this, &MonitorSession::linkEvent);
    connect(m_link, &LinkController::portError, this, &MonitorSession::portError);
    connect(m_model, &MonitorModel::alarmEvent, this, &MonitorSession::alarmEvent);
    connect(m_link, &LinkController::alarmEvent, this, &MonitorSession::alarmEvent);
    connect(m_model, &MonitorModel::beep, this, &MonitorSession::beep);
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

LinkState MonitorSession::linkState() const {
    return m_link->state();
}

QString MonitorSession::portText() const {
    return m_link->portText();
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
    for (QTimer* t : findChildren<QTimer*>())
        t->stop();
}

} // namespace zel
