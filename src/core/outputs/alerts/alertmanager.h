#pragma once
// Decides when an alarm is worth telling someone, once, and sends that one
// decision by every channel: a command, a webhook POST and a desktop
// notification (the notify() signal); alertDecided() carries it to any other.
//
// An alarm must last the on-delay before its "on" is sent, and be gone for
// the off-delay before its "off" is sent, so a flicker sends nothing. Each
// alarm kind has its own pair of timers, named "tmrAlertOn-<kind>" and
// "tmrAlertOff-<kind>" (kind as alarmKindName() gives it). Overmodulation
// (+125 %, -100 %) is alerted by episode, as the core finds them: an episode
// that starts is the alarm coming, one that ends is the alarm going.
//
// Nothing here blocks: the command runs as a child process in its own process
// group (no shell unless the user writes one); past CommandTimeoutMs the whole
// group is killed and that is recorded. A webhook exchange has one deadline
// and is retried with a doubling backoff; a redirect is a failure, never
// followed. Failures come out of alertFailed(), never as a box.
#include <QObject>
#include <QString>
#include <array>
#include <optional>

#include "core/outputs/alerts/alertdecision.h"
#include "core/outputs/alerts/alertsettings.h"
#include "core/types/types.h"

class QNetworkAccessManager;
class QTimer;

namespace zel {

class AlertManager : public QObject {
    Q_OBJECT
public:
    static constexpr int CommandTimeoutMs = 30'000;
    static constexpr int WebhookTries = 3;
    static constexpr int WebhookDeadlineMs = 10'000;
    static constexpr int MaxRunningCommands = 8;

    explicit AlertManager(QObject* parent = nullptr);
    ~AlertManager() override;

    void setSettings(const AlertSettings& settings);
    const AlertSettings& settings() const { return m_settings; }

    // First retry of a failed webhook after this long, then twice as long
    // each time (2 s, 4 s by default).
    void setWebhookBackoffMs(int ms) { m_backoffMs = ms; }
    int webhookBackoffMs() const { return m_backoffMs; }
    // One try of the webhook (connecting, sending, the whole answer) ends
    // within this, however slowly the server trickles its answer.
    void setWebhookDeadlineMs(int ms) { m_deadlineMs = ms; }
    int webhookDeadlineMs() const { return m_deadlineMs; }

    // Whether the alarm of that kind has been sent "on" and not yet "off".
    bool isRaised(AlarmKind kind) const;

    // The JSON body a webhook gets (also for tests).
    static QByteArray jsonBody(const AlertDecision& alert);

public slots:
    // Alarms that are on or off for a while (carrier, audio loss, no data,
    // link lost). The flashers' per-lighting events are ignored: their
    // alerts come from onEpisode().
    void onAlarmEvent(const zel::AlarmEvent& event);
    void onEpisode(const zel::Episode& episode);
    void onLinkEvent(const zel::LinkEvent& event);
    // Every packet's readings: what a test alert, no data and link lost
    // report. None until the first packet after the link comes up.
    void onReadings(const zel::Readings& readings);
    void setPortText(const QString& port);
    void setMonitor(const zel::MonitorId& id, const QString& name = {});
    void setStation(const QString& name);
    void sendTestAlert();
    // Sends an alert decided elsewhere (no delay of its own), as given, by
    // the command and the webhook.
    void send(const zel::AlertDecision& alert);

signals:
    // An alarm's "on" or "off" after its delay, or a test alert: emitted once,
    // before the channels send it.
    void alertDecided(const zel::AlertDecision& alert);
    // `event` and `state` as in ZEL_EVENT / ZEL_STATE; `via` is "command",
    // "webhook" or "notification".
    void alertSent(const QString& event, const QString& state, const QString& via);
    void alertFailed(const QString& what, const QString& reason);
    void notify(const QString& title, const QString& text);
    // The command was started or the webhook request went out: the end of
    // a delay to here is what alert_latency_ms measures.
    void dispatched(const QString& via);

private:
    struct Track {
        QTimer* onTimer = nullptr;
        QTimer* offTimer = nullptr;
        bool present = false; // the alarm condition as last reported
        bool raised = false;  // "on" sent, "off" not yet
        std::optional<Readings> readings;
        QString detail;
        qint64 timeMs = 0;
    };
    static constexpr int KindCount = int(AlarmKind::LinkLost) + 1;

    Track& track(AlarmKind kind) { return m_tracks[size_t(kind)]; }
    void setPresent(AlarmKind kind, bool present, qint64 timeMs, const std::optional<Readings>& readings,
                    const QString& detail = {});
    void delayEnded(AlarmKind kind, bool on);
    void decide(AlertDecision alert);
    void runCommand(const AlertDecision& alert);
    void postWebhook(const AlertDecision& alert, const QByteArray& body, int attempt);

    AlertSettings m_settings;
    std::array<Track, KindCount> m_tracks;
    QString m_port;
    MonitorId m_monitorId;
    QString m_monitorName;
    QString m_station;
    std::optional<Readings> m_reading; // the last packet's, since the link came up
    bool m_linkUp = false;
    bool m_operatorStop = false;
    int m_backoffMs = 2000;
    int m_deadlineMs = WebhookDeadlineMs;
    int m_running = 0;
    QNetworkAccessManager* m_network = nullptr;
};

} // namespace zel
