#pragma once
// One monitor: its link (transport, dialling, poll) and its indicator
// model, wired together. This is what a front end drives (the panel, the
// logger): it calls the slots and listens to the signals, and never reaches
// into the parts for state it could be told.
#include <QObject>

#include "core/types/types.h"
#include "core/settings/settings.h"

namespace zel {

class LinkController;
class MonitorModel;

class MonitorSession : public QObject {
    Q_OBJECT
public:
    explicit MonitorSession(QObject* parent = nullptr);

    LinkController* link() const { return m_link; }
    MonitorModel* model() const { return m_model; }

    // Connection settings go to the link, panel settings to the model.
    void applySettings(const Settings& settings);
    void setConnectionSettings(const ConnectionSettings& settings);
    // The settings as they stand now (the panel part from the model).
    Settings settings() const;
    LinkState linkState() const;
    // The port text the session uses or last used.
    QString portText() const;

public slots:
    void connectLink();
    void disconnectLink();
    void toggleConnect();
    void selectNext();
    void setPositiveThreshold(int percent);
    void setNegativeThreshold(int percent);
    void toggleSpeaker();
    // Closes the link at once (a modem is hung up) and stops every timer.
    void shutDown();

signals:
    // After the model has shown them.
    void readingsReceived(const zel::Readings& readings);
    void packetRejected();
    void linkEvent(const zel::LinkEvent& event);
    void alarmEvent(const zel::AlarmEvent& event);
    void beep();
    void portError(const QString& portText, const QString& reason);

private:
    LinkController* m_link;
    MonitorModel* m_model;
};

} // namespace zel
