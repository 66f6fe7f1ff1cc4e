#include "core/transport/alarm.h"

#include <QSocketNotifier>
#include <QTimer>

#include <chrono>

#ifdef Q_OS_LINUX
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>
#endif

namespace zel {

Alarm::Alarm(QObject* parent)
    : QObject(parent) {
#ifdef Q_OS_LINUX
    m_fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_fd >= 0) {
        m_notifier = new QSocketNotifier(qintptr(m_fd), QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &Alarm::onTimerFd);
        return;
    }
#endif
    m_fallback = new QTimer(this);
    m_fallback->setSingleShot(true);
    m_fallback->setTimerType(Qt::PreciseTimer);
    connect(m_fallback, &QTimer::timeout, this, &Alarm::expire);
}

Alarm::~Alarm() {
#ifdef Q_OS_LINUX
    if (m_fd >= 0) {
        delete m_notifier;
        ::close(m_fd);
    }
#endif
}

qint64 Alarm::nowNs() {
#ifdef Q_OS_LINUX
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
#else
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
#endif
}

void Alarm::startAt(qint64 deadlineNs) {
    m_active = true;
    m_deadline = deadlineNs;
#ifdef Q_OS_LINUX
    if (m_fd >= 0) {
        // Zero would disarm the timer; anything already past fires at once.
        const qint64 at = qMax<qint64>(deadlineNs, 1);
        itimerspec spec{};
        spec.it_value.tv_sec = time_t(at / 1'000'000'000);
        spec.it_value.tv_nsec = long(at % 1'000'000'000);
        if (::timerfd_settime(m_fd, TFD_TIMER_ABSTIME, &spec, nullptr) == 0) {
            m_notifier->setEnabled(true);
            return;
        }
        // A timer that cannot be armed must not leave the caller waiting.
        QMetaObject::invokeMethod(this, &Alarm::expire, Qt::QueuedConnection);
        return;
    }
#endif
    const qint64 left = deadlineNs - nowNs();
    // Rounded up: a millisecond late rather than early.
    m_fallback->start(int(qBound<qint64>(0, (left + 999'999) / 1'000'000, qint64(INT32_MAX))));
}

void Alarm::stop() {
    m_active = false;
#ifdef Q_OS_LINUX
    if (m_fd >= 0) {
        const itimerspec off{};
        ::timerfd_settime(m_fd, 0, &off, nullptr);
        return;
    }
#endif
    m_fallback->stop();
}

// Whatever called this, nothing is armed any more: the timer fd and the
// fallback are one-shot, so there is nothing to disarm.
void Alarm::expire() {
    if (!m_active) return;
    m_active = false;
    emit timeout();
}

void Alarm::onTimerFd() {
#ifdef Q_OS_LINUX
    // Re-armed for later after it expired: re-arming cleared the expiry.
    if (m_active && m_deadline > nowNs()) return;
    // The expiry is not read: the descriptor is no longer watched, and the
    // next startAt() clears it when it re-arms. That saves a read each time.
    m_notifier->setEnabled(false);
    expire();
#endif
}

} // namespace zel
