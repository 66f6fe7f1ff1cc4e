#include "logger/sdnotify.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>

#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace zel {

SdNotify::SdNotify(QObject* parent)
    : QObject(parent) {
    const QByteArray path = qgetenv("NOTIFY_SOCKET");
    const QByteArray usec = qgetenv("WATCHDOG_USEC");
    const QByteArray pid = qgetenv("WATCHDOG_PID");
    qunsetenv("NOTIFY_SOCKET");
    qunsetenv("WATCHDOG_USEC");
    qunsetenv("WATCHDOG_PID");

    // A path, or an abstract name written with a leading '@'. Anything else
    // (a vsock address, a path too long for sockaddr_un) is not for us.
    if ((path.startsWith('/') || path.startsWith('@')) &&
        size_t(path.size()) < sizeof(sockaddr_un::sun_path)) {
        m_address = path;
        if (m_address.startsWith('@')) m_address[0] = '\0';
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    }
    // The period is meant for this process only (WATCHDOG_PID, when given).
    bool ok = false;
    const qulonglong us = usec.toULongLong(&ok);
    if (ok && us > 0 && (pid.isEmpty() || pid.toLongLong() == qint64(::getpid())))
        m_watchdog = std::chrono::microseconds(us);
}

SdNotify::~SdNotify() {
    if (m_fd >= 0) ::close(m_fd);
}

bool SdNotify::send(const QByteArray& state) {
    if (m_fd < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, m_address.constData(), size_t(m_address.size()));
    const socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(m_address.size()));
    // Never blocks: a busy manager costs a lost notification, not a stalled poll.
    return ::sendto(m_fd, state.constData(), size_t(state.size()), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&address), length) == state.size();
}

void SdNotify::ready() {
    if (!available()) return;
    send(QByteArrayLiteral("READY=1"));
    if (QCoreApplication* app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, [this] { send(QByteArrayLiteral("STOPPING=1")); });
}

void SdNotify::startWatchdog() {
    if (!available() || m_watchdog.count() == 0 || m_timer) return;
    m_timer = new QTimer(this);
    m_timer->setObjectName(QStringLiteral("tmrWatchdog"));
    const auto half = std::chrono::duration_cast<std::chrono::milliseconds>(m_watchdog / 2);
    m_timer->setInterval(std::max<std::chrono::milliseconds>(half, std::chrono::milliseconds(1)));
    connect(m_timer, &QTimer::timeout, this, [this] { send(QByteArrayLiteral("WATCHDOG=1")); });
    m_timer->start();
}

} // namespace zel
