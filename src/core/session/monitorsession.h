#pragma once
// One monitor: its link (transport, dialling, poll), its indicator model and
// its episode tracker, wired together. This is the only door to a monitor: a
// front end or an output calls the slots, listens to the signals and reads
// the getters, and everything it needs (the link's status, the bar and the
// flashers, the diagnostic text, episodes) arrives as values.
#include <QObject>

#include "core/monitor/bargraph.h"
#include "core/settings/settings.h"
#include "core/types/types.h"

namespace zel {

class EpisodeTracker;
class LinkController;
class MonitorModel;

class MonitorSession : public QObject {
    Q_OBJECT
public:
    explicit MonitorSession(QObject* parent = nullptr);

    // Connection settings go to the link, panel settings to the model.
    void applySettings(const Settings& settings);
    void setConnectionSettings(const ConnectionSettings& settings);
    // The settings as they stand now (the panel part from the model).
    Settings settings() const;
    const ConnectionSettings& connectionSettings() const;
    // The port text the session uses or last used.
    QString portText() const;
    // The port text of the settings (the one the next connect will use).
    QString configuredPort() const;

    LinkState linkState() const { return m_status.state; }
    const LinkStatus& linkStatus() const { return m_status; }
    bool isActive() const;
    // Unattended (a logger), a first connect or dial that fails is tried
    // again like a lost link instead of reported once and left Off Line.
    void setUnattended(bool on);
    bool settingsEnabled() const;

    // The indicators as they stand.
    int selection() const;
    int positiveThreshold() const;
    int negativeThreshold() const;
    bool speakerOnShown() const;
    bool speakerOffShown() const;
    bool carrierAlarm() const;

    // Test seam only: front ends and outputs never use these.
    LinkController* link() const { return m_link; }
    MonitorModel* model() const { return m_model; }
    EpisodeTracker* episodes() const { return m_episodes; }

public slots:
    void connectLink();
    void disconnectLink();
    void toggleConnect();
    void selectNext();
    void setPositiveThreshold(int percent);
    void setNegativeThreshold(int percent);
    void toggleSpeaker();
    // Closes the link at once (a modem is hung up), ends open episodes and
    // stops every timer.
    void shutDown();

signals:
    // After the model has shown them.
    void readingsReceived(const zel::Readings& readings);
    void packetRejected();
    // A change of the link's state, with its reason or the modem's words.
    void linkEvent(const zel::LinkEvent& event);
    // Any change of the link's status (state, No Data, dial caption).
    void linkStatusChanged(const zel::LinkStatus& status);
    void activeChanged(bool active, bool settingsEnabled);
    void alarmEvent(const zel::AlarmEvent& event);
    void episode(const zel::Episode& episode);
    void beep();
    void portError(const QString& portText, const QString& reason);

    // The panel's indicators.
    void barChanged(const zel::BarGraph::Bits& leds, const zel::BarGraph::Bits& dots);
    void flasherChanged(zel::AlarmKind kind, bool lit);
    void carrierAlarmChanged(bool on);
    void audioAlarmChanged(bool on);
    void selectionChanged(int selection);
    void thresholdsChanged(int positive, int negative);
    void speakerChanged(bool onShown, bool offShown);

    // The diagnostic text: every raw read, the modem exchange, the modem's
    // own words when it ends a dial.
    void rawRead(const QByteArray& data);
    void modemLog(const QString& line);
    void modemWords(const QString& words);
    // How many requests the poll keeps in flight, and the link's measured
    // round trip (negative until measured).
    void pollStatsChanged(int depth, double roundTripMs);

private:
    void setStatus(const LinkStatus& s);

    LinkController* m_link;
    MonitorModel* m_model;
    EpisodeTracker* m_episodes;
    LinkStatus m_status;
};

} // namespace zel
