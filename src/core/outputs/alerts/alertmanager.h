#pragma once
// Turns alarm and link events into alerts that reach someone: a command,
// a webhook POST and a desktop notification (the notify() signal).
//
// An alarm must last the on-delay before its "on" is sent, and be gone for
// the off-delay before its "off" is sent, so a flicker sends nothing. Each
// alarm kind has its own pair of timers, named "tmrAlertOn-<kind>" and
// "tmrAlertOff-<kind>" (kind as alarmKindName() gives it). The +125 % and
// -100 % flashers report every lighting; a run of lightings less than
// EpisodeGapMs apart is one episode ("tmrEpisode-<kind>" ends it).
//
// Nothing here blocks: the command runs as a child process (no shell unless
// the user writes one), is killed after CommandTimeoutMs and recorded; the
// webhook is retried with a doubling backoff. Failures come out of
// alertFailed(), never as a box.
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <array>
#include <memory>

#include "core/outputs/alerts/alertsettings.h"
#include "core/types/types.h"

class QNetworkAccessManager;
class QNetworkReply;
class QProcess;
class QTimer;

namespace zel {

class AlertManager : public QObject {
    Q_OBJECT
public:
    static constexpr int CommandTimeoutMs = 30'000;
    static constexpr int EpisodeGapMs = 1500;
    static constexpr int WebhookTries = 3;
    static constexpr int WebhookTimeoutMs = 10'000;
    static constexpr int MaxRunningCommands = 8;

    explicit AlertManager(QObject* parent = nullptr);
    ~AlertManager() override;

    void setSettings(const AlertSettings& settings);
    const AlertSettings& settings() const { return m_settings; }

    // First retry of a failed webhook after this long, then twice as long
    // each time (2 s, 4 s by default).
    void setWebhookBackoffMs(int ms) { m_backoffMs = ms; }
    int webhookBackoffMs() const { return m_backoffMs; }

    // Whether the alarm of that kind has been sent "on" and not yet "off".
    bool isRaised(AlarmKind kind) const;

    // The environment and JSON body an alert carries (also for tests).
    struct Alert {
        QString event; // alarmKindName(), or "test"
        QString state; // on, off, test
        QString port;
        qint64 timeMs = 0;
        Readings readings;
    };
    static QString isoLocalTime(qint64 utcMs);
    static QByteArray jsonBody(const Alert& alert);

public slots:
    void onAlarmEvent(const zel::AlarmEvent& event);
    void onLinkEvent(const zel::LinkEvent& event);
    void setPortText(const QString& port);
    void sendTestAlert();

signals:
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
        QTimer* episodeTimer = nullptr; // flasher kinds only
        bool present = false;           // the alarm condition as last reported
        bool raised = false;            // "on" sent, "off" not yet
        Readings readings;
        qint64 timeMs = 0;
    };
    static constexpr int KindCount = int(AlarmKind::LinkLost) + 1;

    Track& track(AlarmKind kind) { return m_tracks[size_t(kind)]; }
    void setPresent(AlarmKind kind, bool present, qint64 timeMs, const Readings& readings);
    void onDelayEnded(AlarmKind kind);
    void offDelayEnded(AlarmKind kind);
    void dispatch(const Alert& alert);
    void runCommand(const Alert& alert);
    void postWebhook(const Alert& alert, const QByteArray& body, int attempt);

    AlertSettings m_settings;
    std::array<Track, KindCount> m_tracks;
    QString m_port;
    Readings m_lastReadings;
    bool m_linkUp = false;
    bool m_operatorStop = false;
    int m_backoffMs = 2000;
    int m_running = 0;
    QNetworkAccessManager* m_network = nullptr;
};

} // namespace zel
