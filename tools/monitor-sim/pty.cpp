#include "pty.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

bool Pty::open(std::string* error) {
    const auto fail = [&](const char* what) {
        *error = std::string(what) + ": " + std::strerror(errno);
        close();
        return false;
    };
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_master < 0) return fail("posix_openpt");
    if (::grantpt(m_master) != 0) return fail("grantpt");
    if (::unlockpt(m_master) != 0) return fail("unlockpt");
    char name[128];
    if (::ptsname_r(m_master, name, sizeof name) != 0) return fail("ptsname");
    m_path = name;
    m_slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_slave < 0) return fail(name);
    // Raw 9600 8N1 until the panel sets its own: above all no echo, or every
    // packet would come back as input.
    termios tio{};
    if (::tcgetattr(m_slave, &tio) != 0) return fail("tcgetattr");
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    ::cfsetispeed(&tio, B9600);
    ::cfsetospeed(&tio, B9600);
    if (::tcsetattr(m_slave, TCSANOW, &tio) != 0) return fail("tcsetattr");
    // Our own slave descriptor was opened before the watch: only the panel's
    // opens and closes are counted.
    m_watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_watch < 0) return fail("inotify_init1");
    if (::inotify_add_watch(m_watch, name, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0)
        return fail("inotify_add_watch");
    m_openers = 0;
    return true;
}

void Pty::close() {
    for (int* fd : {&m_watch, &m_slave, &m_master}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    m_openers = 0;
}

bool Pty::readHangUp() {
    bool hungUp = false;
    alignas(inotify_event) char buf[4096];
    for (;;) {
        const ssize_t n = ::read(m_watch, buf, sizeof buf);
        if (n <= 0) break;
        for (ssize_t at = 0; at < n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
            if (ev->mask & IN_Q_OVERFLOW) {
                // Lost count: take it as a hang-up, the safe side for a modem.
                m_openers = 0;
                hungUp = true;
            }
            if (ev->mask & IN_OPEN) ++m_openers;
            if (ev->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
                if (m_openers > 0) --m_openers;
                if (m_openers == 0) hungUp = true;
            }
            at += ssize_t(sizeof(inotify_event) + ev->len);
        }
    }
    return hungUp;
}

void Pty::resetLine() {
    if (m_slave < 0) return;
    ::tcflush(m_slave, TCIFLUSH);
#ifdef TIOCNXCL
    ::ioctl(m_slave, TIOCNXCL);
#endif
}
