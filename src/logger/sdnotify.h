#pragma once
// Readiness and watchdog notifications for systemd (a Type=notify service
// with WatchdogSec=): datagrams written to $NOTIFY_SOCKET directly, so the
// logger needs no libsystemd. Outside systemd every call does nothing.
#include <QObject>
#include <QString>
#include <chrono>

class QTimer;

namespace zel {

class SdNotify : public QObject {
    Q_OBJECT
public:
    // Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID, then removes them
    // from the environment, so that a program the logger starts (an alert
    // command) cannot speak for it.
    explicit SdNotify(QObject* parent = nullptr);
    ~SdNotify() override;

    bool available() const { return m_fd >= 0; }
    // The watchdog's period as systemd asked for it; zero when none is.
    std::chrono::microseconds watchdogPeriod() const { return m_watchdog; }

    // Sends one state text ("READY=1", "STATUS=..."); false when it could not.
    bool send(const QByteArray& state);
    // READY=1; STOPPING=1 follows when the application's event loop ends.
    void ready();
    // WATCHDOG=1 at half the period, from the event loop, so that a loop that
    // hangs stops feeding it and systemd restarts the service. Does nothing
    // when no watchdog was asked for.
    void startWatchdog();
    QTimer* watchdogTimer() const { return m_timer; }

private:
    int m_fd = -1;
    QByteArray m_address; // the socket path; a leading NUL for an abstract one
    std::chrono::microseconds m_watchdog{0};
    QTimer* m_timer = nullptr;
};

} // namespace zel
