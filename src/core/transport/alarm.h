#pragma once
// A one-shot alarm at an absolute time on the monotonic clock. QTimer counts
// whole milliseconds, a tenth of a reply at 9600 baud; where the system has
// a finer timer (Linux: timerfd) the alarm keeps to the microsecond, so a
// reply can be read a fraction of a character after it ends.
#include <QObject>

class QSocketNotifier;
class QTimer;

namespace zel {

class Alarm : public QObject {
    Q_OBJECT
public:
    explicit Alarm(QObject* parent = nullptr);
    ~Alarm() override;

    // Now, on the clock the deadlines are given in.
    static qint64 nowNs();

    // (Re)arms the alarm; a deadline already past fires from the event loop.
    void startAt(qint64 deadlineNs);
    void stop();
    bool isActive() const { return m_active; }
    qint64 deadlineNs() const { return m_deadline; }

public slots:
    // The deadline has passed: disarms and emits timeout().
    void expire();

signals:
    void timeout();

private:
    void onTimerFd();

    bool m_active = false;
    qint64 m_deadline = 0;
    int m_fd = -1;                         // timerfd, when the system has one
    QSocketNotifier* m_notifier = nullptr; // ... watched here
    QTimer* m_fallback = nullptr;          // otherwise, in whole milliseconds
};

} // namespace zel
