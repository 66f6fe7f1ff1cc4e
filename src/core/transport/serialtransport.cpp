#include "core/transport/serialtransport.h"

#include "core/transport/alarm.h"

#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace zel {

namespace {

struct LineSettings {
    int baud = 9600;
    char parity = 'n';
    int dataBits = 8;
    int stopBits = 1; // 1.5 is taken as 2
    int bitsPerCharacter() const { return 1 + dataBits + (parity == 'n' ? 0 : 1) + stopBits; }
};

// "9600,n,8,1": baud, parity (n, e, o, m, s), data bits (5-8), stop bits
// (1, 1.5, 2).
bool parseSettings(const QString& text, LineSettings* out) {
    const QStringList parts = text.split(u',');
    if (parts.size() != 4) return false;
    LineSettings s;
    bool ok = false;
    s.baud = parts[0].trimmed().toInt(&ok);
    if (!ok || s.baud <= 0) return false;
    const QString parity = parts[1].trimmed().toLower();
    if (parity.size() != 1 || !QStringLiteral("neoms").contains(parity)) return false;
    s.parity = char(parity.at(0).unicode());
    s.dataBits = parts[2].trimmed().toInt(&ok);
    if (!ok || s.dataBits < 5 || s.dataBits > 8) return false;
    const QString stop = parts[3].trimmed();
    if (stop == u"1")
        s.stopBits = 1;
    else if (stop == u"1.5" || stop == u"2")
        s.stopBits = 2;
    else
        return false;
    *out = s;
    return true;
}

speed_t speedOf(int baud) {
    switch (baud) {
    case 300:
        return B300;
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return 0;
    }
}

bool applyLine(int fd, const LineSettings& s) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return false;
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    t.c_cflag &= ~CMSPAR;
#endif
    const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= sizes[s.dataBits - 5];
    if (s.stopBits == 2) t.c_cflag |= CSTOPB;
    switch (s.parity) {
    case 'e':
        t.c_cflag |= PARENB;
        break;
    case 'o':
        t.c_cflag |= PARENB | PARODD;
        break;
#ifdef CMSPAR
    case 'm':
        t.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
    case 's':
        t.c_cflag |= PARENB | CMSPAR;
        break;
#endif
    default:
        break;
    }
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    const speed_t speed = speedOf(s.baud);
    if (!speed || ::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0) return false;
    return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

} // namespace

SerialTransport::SerialTransport(const QString& portText, const QString& device, QObject* parent)
    : Transport(parent)
    , m_text(portText)
    , m_device(device) {
    m_replyWait = new Alarm(this);
    m_replyWait->setObjectName(QStringLiteral("replyWait"));
    connect(m_replyWait, &Alarm::timeout, this, &SerialTransport::onReplyDue);
    m_input.reserve(4096);
}

SerialTransport::~SerialTransport() {
    if (m_fd >= 0) close();
}

void SerialTransport::setLineSettings(const QString& settings) {
    m_settingsText = settings;
}

bool SerialTransport::openLink() {
    if (isOpen()) close();
    m_failing = false;
    ++m_generation;
    LineSettings s;
    if (!parseSettings(m_settingsText, &s)) {
        setErrorString(
            QStringLiteral("The line settings \"%1\" are not valid (expected the form 9600,n,8,1).")
                .arg(m_settingsText));
        return false;
    }
    const QString name =
        m_text.trimmed() == m_device ? m_device : QStringLiteral("%1 (%2)").arg(m_text.trimmed(), m_device);
    const QByteArray path = QFile::encodeName(m_device);
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        if (e == ENOENT || e == ENODEV || e == ENXIO)
            setErrorString(QStringLiteral("The serial port %1 does not exist on this computer.").arg(name));
        else if (e == EACCES || e == EPERM)
            setErrorString(
                QStringLiteral("Permission to use the serial port %1 is denied. On Linux, add your "
                               "user to the group that owns the device (usually \"dialout\") and "
                               "log in again.")
                    .arg(name));
        else if (e == EBUSY)
            setErrorString(
                QStringLiteral("The serial port %1 is busy: another program is using it.").arg(name));
        else if (e == EISDIR)
            setErrorString(QStringLiteral("%1 is not a serial port.").arg(name));
        else
            setErrorString(QStringLiteral("The serial port %1 could not be opened: %2.")
                               .arg(name, QString::fromLocal8Bit(std::strerror(e))));
        return false;
    }
    auto refuse = [&](const QString& why) {
        ::close(fd);
        setErrorString(why);
        return false;
    };
    termios probe{};
    if (::tcgetattr(fd, &probe) != 0) return refuse(QStringLiteral("%1 is not a serial port.").arg(name));
    // Two programs on one line garble each other's replies: take it alone.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0)
        return refuse(QStringLiteral("The serial port %1 is busy: another program is using it.").arg(name));
    if (!applyLine(fd, s))
        return refuse(QStringLiteral("The serial port %1 does not accept the line settings %2.")
                          .arg(name, m_settingsText));
    m_fd = fd;
    m_baud = s.baud;
    m_bitsPerChar = s.bitsPerCharacter();
    m_readThreshold = 1;
    m_input.clear();
    m_lastArrivalNs = m_lastWriteNs = LongAgo;
    setDataTerminalReady(true);
    m_reader = new QSocketNotifier(qintptr(fd), QSocketNotifier::Read, this);
    connect(m_reader, &QSocketNotifier::activated, this, &SerialTransport::onReadable);
    QIODevice::open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    setErrorString(QString());
    return true;
}

void SerialTransport::close() {
    m_replyWait->stop();
    delete m_reader;
    m_reader = nullptr;
    if (m_fd >= 0) {
        // Dropping DTR hangs up a modem even when the line was set not to
        // hang up on close; a pseudo-terminal refuses it, which is harmless.
        setDataTerminalReady(false);
        ::close(m_fd);
        m_fd = -1;
    }
    m_input.clear();
    m_lastArrivalNs = m_lastWriteNs = LongAgo;
    if (QIODevice::isOpen()) QIODevice::close();
}

void SerialTransport::setDataTerminalReady(bool on) {
    if (m_fd < 0) return;
    int bits = TIOCM_DTR;
    ::ioctl(m_fd, on ? TIOCMBIS : TIOCMBIC, &bits);
}

bool SerialTransport::drain() {
    char chunk[512];
    for (;;) {
        const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
        if (n > 0) {
            m_input.append(chunk, n);
            if (size_t(n) < sizeof chunk) return true;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return true;
        return false; // end of file or an error: the line is gone
    }
}

void SerialTransport::onReadable() {
    if (m_fd < 0) return;
    const qint64 before = m_input.size();
    if (!drain()) {
        fail(QStringLiteral("The serial port %1 stopped working: the device was unplugged or the line was "
                            "closed at the other end.")
                 .arg(m_text.trimmed()));
        return;
    }
    if (m_input.size() == before) return;
    m_lastArrivalNs = Alarm::nowNs();
    emit readyRead();
}

qint64 SerialTransport::bytesAvailable() const {
    return m_input.size() + QIODevice::bytesAvailable();
}

qint64 SerialTransport::readData(char* data, qint64 maxSize) {
    const qint64 n = qMin<qint64>(maxSize, m_input.size());
    if (n <= 0) return m_fd < 0 && !isOpen() ? -1 : 0;
    std::memcpy(data, m_input.constData(), size_t(n));
    m_input.remove(0, n);
    return n;
}

qint64 SerialTransport::writeData(const char* data, qint64 maxSize) {
    if (m_fd < 0) return -1;
    qint64 done = 0;
    while (done < maxSize) {
        const ssize_t n = ::write(m_fd, data + done, size_t(maxSize - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            // A full output queue: the line is stuck (flow control, a dead
            // device). Requests are a byte each; what did not fit is dropped
            // and the poll's retry asks again.
            break;
        }
        fail(QStringLiteral("Writing to the serial port %1 failed (%2).")
                 .arg(m_text.trimmed(), QString::fromLocal8Bit(std::strerror(errno))));
        return -1;
    }
    m_lastWriteNs = Alarm::nowNs();
    return done;
}

void SerialTransport::discardInput() {
    if (m_fd >= 0) {
        ::tcflush(m_fd, TCIFLUSH);
        drain();
    }
    m_input.clear();
}

void SerialTransport::setReadThreshold(int count) {
    if (m_fd < 0) return;
    // In non-canonical mode the driver reports the descriptor readable once
    // VMIN characters wait; reads stay non-blocking either way.
    const int wanted = qBound(1, count, 255);
    if (m_readThreshold == wanted) return;
    termios t{};
    if (::tcgetattr(m_fd, &t) != 0) return;
    t.c_cc[VMIN] = cc_t(wanted);
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(m_fd, TCSANOW, &t) == 0) m_readThreshold = wanted;
}

void SerialTransport::awaitReply(int characters) {
    if (m_fd < 0 || characters < 1) return;
    const qint64 c = characterTimeNs();
    const qint64 now = Alarm::nowNs();
    qint64 due;
    if (now - m_lastArrivalNs < 2 * c) {
        // The line is busy: the reply runs on right behind what was read.
        due = m_lastArrivalNs + characters * c;
    } else {
        // The line is idle: the reply answers the last request, which must
        // cross the line first, or one before it, already under way.
        due = qMax(now + (characters - 1) * c, m_lastWriteNs + (characters + 1) * c);
    }
    m_awaited = characters;
    m_dueNs = due;
    m_reader->setEnabled(false);
    // A little after the due time: the last character's own jitter.
    m_replyWait->startAt(due + c * 15 / 100);
}

void SerialTransport::onReplyDue() {
    if (m_fd < 0 || !m_reader) return;
    const qint64 checked = Alarm::nowNs();
    const qint64 before = m_input.size();
    if (!drain()) {
        onReadable(); // reports the failure
        return;
    }
    const int waiting = int(m_input.size());
    m_reader->setEnabled(true);
    if (waiting < m_awaited) {
        // Late: the driver wakes the reader once the rest is there, not for
        // each character. The threshold is set only here, so a reply on time
        // costs no terminal settings call.
        setReadThreshold(m_awaited - waiting);
        emit replyOverdue(waiting);
        return;
    }
    // Whole when due: it ended on time or the alarm would have been early,
    // so its end is placed there, and the characters of the next reply found
    // after it run on from there, but no later than when they were counted.
    const qint64 beyond = waiting - m_awaited;
    if (m_input.size() == before) return;
    m_lastArrivalNs = qMin(m_dueNs + beyond * characterTimeNs(), checked);
    emit readyRead();
}

qint64 SerialTransport::characterTimeNs() const {
    return qint64(m_bitsPerChar) * 1'000'000'000 / m_baud;
}

void SerialTransport::fail(const QString& reason) {
    if (m_failing) return;
    m_failing = true;
    setErrorString(reason);
    // Close at once so the dead descriptor cannot report again, but tell the
    // receiver from the event loop.
    close();
    const int generation = ++m_generation;
    QTimer::singleShot(0, this, [this, reason, generation] {
        // Reopened meanwhile: that failure belongs to a session that is over.
        if (generation != m_generation || isOpen()) return;
        emit failed(reason);
    });
}

} // namespace zel
