#include "link/serialport.h"

#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTimer>

#include "link/alarm.h"
#include "link/portname.h"
#include "link/simport.h"

#include <cerrno>
#include <limits>

#ifndef Q_OS_WIN
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

struct LineSettings {
    qint32 baud = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;

    // Start bit, data, parity and stop bits (1.5 counted as 2).
    int bitsPerCharacter() const {
        return 1 + int(dataBits) + (parity == QSerialPort::NoParity ? 0 : 1) +
               (stopBits == QSerialPort::OneStop ? 1 : 2);
    }
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
    if (parity == u"n")
        s.parity = QSerialPort::NoParity;
    else if (parity == u"e")
        s.parity = QSerialPort::EvenParity;
    else if (parity == u"o")
        s.parity = QSerialPort::OddParity;
    else if (parity == u"m")
        s.parity = QSerialPort::MarkParity;
    else if (parity == u"s")
        s.parity = QSerialPort::SpaceParity;
    else
        return false;
    const int bits = parts[2].trimmed().toInt(&ok);
    if (!ok || bits < 5 || bits > 8) return false;
    s.dataBits = QSerialPort::DataBits(bits);
    const QString stop = parts[3].trimmed();
    if (stop == u"1")
        s.stopBits = QSerialPort::OneStop;
    else if (stop == u"1.5")
        s.stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == u"2")
        s.stopBits = QSerialPort::TwoStop;
    else
        return false;
    *out = s;
    return true;
}

// Why a device would not open, in the operator's terms.
bool isCharacterDevice(const QString& device) {
#ifdef Q_OS_WIN
    Q_UNUSED(device);
    return true;
#else
    struct stat st {};
    return ::stat(QFile::encodeName(device).constData(), &st) == 0 && S_ISCHR(st.st_mode);
#endif
}

QString openFailure(const QString& text, const QString& device, const QString& settings,
                    const QSerialPort& port) {
    const QString name =
        text.trimmed() == device ? device : QStringLiteral("%1 (%2)").arg(text.trimmed(), device);
    switch (port.error()) {
    case QSerialPort::DeviceNotFoundError:
        return QStringLiteral("The serial port %1 does not exist on this computer.").arg(name);
    case QSerialPort::PermissionError:
#ifndef Q_OS_WIN
        // Qt reports both "busy" and "not allowed" this way; tell them apart.
        if (::access(QFile::encodeName(device).constData(), R_OK | W_OK) != 0 && errno == EACCES)
            return QStringLiteral(
                       "Permission to use the serial port %1 is denied. On Linux, add your user to "
                       "the group that owns the device (usually \"dialout\") and log in again.")
                .arg(name);
#endif
        return QStringLiteral("The serial port %1 is busy: another program is using it.").arg(name);
    case QSerialPort::UnsupportedOperationError:
        if (!isCharacterDevice(device)) return QStringLiteral("%1 is not a serial port.").arg(name);
        return QStringLiteral("The serial port %1 does not accept the line settings %2.").arg(name, settings);
    default:
        if (!QFileInfo::exists(device))
            return QStringLiteral("The serial port %1 does not exist on this computer.").arg(name);
        return QStringLiteral("The serial port %1 could not be opened: %2.").arg(name, port.errorString());
    }
}

} // namespace

struct SerialPort::Impl {
    QString text;
    QString settingsText = QStringLiteral("9600,n,8,1");
    LineSettings settings;
    bool settingsValid = true;
    QSerialPort* serial = nullptr; // child of the SerialPort
    std::unique_ptr<SimPort> sim;
    QString error;
    // Mutes QSerialPort's read notifier while a reply is still on the line,
    // until it should be complete.
    zel::Alarm* replyWait = nullptr;
    QPointer<QSocketNotifier> reader;
    int awaited = 0;      // characters the awaited reply still lacks
    qint64 dueNs = 0;     // when its last one should be in
    bool onTime = false;  // it was complete when due; the read is under way
    int beyond = 0;       // ...with this many characters after it
    qint64 checkedNs = 0; // when that was found
    // Estimated arrival of the last character read, and time of the last
    // write: where the next reply's characters can start from.
    qint64 lastArrivalNs = std::numeric_limits<qint64>::min() / 2;
    qint64 lastWriteNs = std::numeric_limits<qint64>::min() / 2;
    int readThreshold = 0; // VMIN as last set; 0: as QSerialPort left it
    bool closing = false;
    bool failing = false; // this session has failed; failed() is on its way
    int failGeneration = 0;
};

SerialPort::SerialPort(QObject* parent)
    : SerialIo(parent)
    , d(std::make_unique<Impl>()) {
    d->serial = new QSerialPort(this);
    connect(d->serial, &QSerialPort::readyRead, this, [this] {
        if (d->onTime) {
            // Found whole when due: it ended on time or the alarm would have
            // been early, so its end is placed there, and the characters of
            // the next reply found after it run on from there; but all of
            // them were in when counted, not at this later read.
            d->lastArrivalNs = qMin(d->dueNs + d->beyond * characterTimeNs(), d->checkedNs);
        } else {
            d->lastArrivalNs = zel::Alarm::nowNs();
        }
        d->onTime = false;
        emit readyRead();
    });
    d->replyWait = new zel::Alarm(this);
    d->replyWait->setObjectName(QStringLiteral("replyWait"));
    connect(d->replyWait, &zel::Alarm::timeout, this, &SerialPort::onReplyDue);
    connect(d->serial, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError e) {
        // NoError follows every successful open; errors while closing are
        // the hang-up's business, not the operator's.
        if (e == QSerialPort::NoError || d->closing || !d->serial->isOpen()) return;
        if (e != QSerialPort::ReadError && e != QSerialPort::ResourceError && e != QSerialPort::WriteError)
            return;
        // Qt's own text here is often a stale system message; say what it means.
        fail(QStringLiteral("The serial port %1 stopped working: the device was unplugged or the line was "
                            "closed at the other end.")
                 .arg(d->text.trimmed()));
    });
}

SerialPort::~SerialPort() {
    d->closing = true;
    d->sim.reset();
    if (d->serial->isOpen()) d->serial->close();
}

void SerialPort::setPortText(const QString& text) {
    d->text = text;
}

QString SerialPort::portText() const {
    return d->text;
}

void SerialPort::setSettings(const QString& settings) {
    d->settingsText = settings;
    d->settingsValid = parseSettings(settings, &d->settings);
}

bool SerialPort::open() {
    if (isOpen()) close();
    d->error.clear();
    d->failing = false;
    ++d->failGeneration;
    if (!d->settingsValid) {
        d->error = QStringLiteral("The line settings \"%1\" are not valid (expected the form 9600,n,8,1).")
                       .arg(d->settingsText);
        return false;
    }
    const zel::PortTarget target = zel::resolvePortText(d->text);
    switch (target.kind) {
    case zel::PortTarget::Kind::Invalid:
        d->error = target.error;
        return false;
    case zel::PortTarget::Kind::Simulator:
        d->sim = std::make_unique<SimPort>();
        connect(d->sim.get(), &SimPort::readyRead, this, &SerialIo::readyRead);
        return true;
    case zel::PortTarget::Kind::Device:
        break;
    }
    QSerialPort* port = d->serial;
    port->setPortName(target.device);
    port->setBaudRate(d->settings.baud);
    port->setParity(d->settings.parity);
    port->setDataBits(d->settings.dataBits);
    port->setStopBits(d->settings.stopBits);
    port->setFlowControl(QSerialPort::NoFlowControl);
    if (!port->open(QIODevice::ReadWrite)) {
        d->error = openFailure(d->text, target.device, d->settingsText, *port);
        return false;
    }
    return true;
}

bool SerialPort::isOpen() const {
    return d->sim || d->serial->isOpen();
}

void SerialPort::close() {
    d->closing = true;
    d->replyWait->stop();
    d->reader = nullptr;
    d->onTime = false;
    // A new session's line starts idle.
    d->lastArrivalNs = d->lastWriteNs = std::numeric_limits<qint64>::min() / 2;
    d->readThreshold = 0;
    if (d->sim) {
        // Closing may come from a slot the stand-in's own timer is running.
        d->sim->disconnect(this);
        d->sim.release()->deleteLater();
    }
    if (d->serial->isOpen()) {
        // Dropping DTR hangs up a modem even when the line was set not to
        // hang up on close; a pseudo-terminal refuses it, which is harmless.
        d->serial->setDataTerminalReady(false);
        d->serial->close();
    }
    d->serial->clearError();
    d->closing = false;
}

qint64 SerialPort::write(const QByteArray& data) {
    if (d->sim) return d->sim->write(data);
    if (!d->serial->isOpen()) return -1;
    const qint64 n = d->serial->write(data);
    d->lastWriteNs = zel::Alarm::nowNs();
    if (n < 0 && d->serial->isOpen())
        fail(QStringLiteral("Writing to the serial port %1 failed (%2).")
                 .arg(d->text.trimmed(), d->serial->errorString()));
    // Hand the request to the driver now rather than on the next pass of the
    // event loop: one wake-up fewer per poll.
    else if (n > 0)
        d->serial->flush();
    return n;
}

void SerialPort::setReadThreshold(int count) {
#ifndef Q_OS_WIN
    if (d->sim || !d->serial->isOpen()) return;
    // In non-canonical mode the tty driver reports the descriptor readable
    // once VMIN characters wait; reads stay non-blocking either way.
    const cc_t wanted = cc_t(qBound(1, count, 255));
    if (d->readThreshold == wanted) return; // called for every reply
    termios t{};
    const int fd = int(d->serial->handle());
    if (::tcgetattr(fd, &t) != 0) return;
    t.c_cc[VMIN] = wanted;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &t) == 0) d->readThreshold = wanted;
#else
    Q_UNUSED(count);
#endif
}

void SerialPort::awaitReply(int characters) {
#ifndef Q_OS_WIN
    if (d->sim || !d->serial->isOpen() || characters < 1) return;
    const qint64 c = characterTimeNs();
    if (!d->reader) {
        // QSerialPort's read notifier is its child of type Read on the open
        // descriptor; the newest one, in case a closed port's notifier
        // awaits deletion. QSerialPort reads its state back from the
        // notifier itself, so muting it for a while confuses nothing.
        const auto notifiers = d->serial->findChildren<QSocketNotifier*>(Qt::FindDirectChildrenOnly);
        for (auto it = notifiers.crbegin(); it != notifiers.crend(); ++it) {
            if ((*it)->type() == QSocketNotifier::Read && (*it)->socket() == d->serial->handle()) {
                d->reader = *it;
                break;
            }
        }
        if (!d->reader) return;
    }
    const qint64 now = zel::Alarm::nowNs();
    qint64 due;
    if (now - d->lastArrivalNs < 2 * c) {
        // The line is busy: the reply runs on right behind what was read.
        due = d->lastArrivalNs + characters * c;
    } else {
        // The line is idle: the reply answers the last request, which must
        // cross the line first, or one before it, already under way.
        due = qMax(now + (characters - 1) * c, d->lastWriteNs + (characters + 1) * c);
    }
    d->awaited = characters;
    d->dueNs = due;
    d->onTime = false;
    d->reader->setEnabled(false);
    // A little after the due time: the last character's own jitter.
    d->replyWait->startAt(due + c * 15 / 100);
#else
    Q_UNUSED(characters);
#endif
}

void SerialPort::onReplyDue() {
#ifndef Q_OS_WIN
    if (!d->reader || !d->serial->isOpen()) return;
    int waiting = 0;
    d->checkedNs = zel::Alarm::nowNs();
    if (::ioctl(int(d->serial->handle()), FIONREAD, &waiting) != 0) waiting = 0;
    waiting += int(d->serial->bytesAvailable());
    d->reader->setEnabled(true);
    if (waiting >= d->awaited) {
        // Whole: the notifier reports it on this same pass of the event loop.
        d->onTime = true;
        d->beyond = waiting - d->awaited;
        return;
    }
    emit replyOverdue(waiting);
#endif
}

qint64 SerialPort::characterTimeNs() const {
    if (d->sim) return 0;
    return qint64(d->settings.bitsPerCharacter()) * 1'000'000'000 / d->settings.baud;
}

qint64 SerialPort::bytesAvailable() const {
    if (d->sim) return d->sim->bytesAvailable();
    return d->serial->isOpen() ? d->serial->bytesAvailable() : 0;
}

QByteArray SerialPort::readAll() {
    if (d->sim) return d->sim->readAll();
    return d->serial->isOpen() ? d->serial->readAll() : QByteArray();
}

void SerialPort::discardInput() {
    if (d->sim) {
        d->sim->discardInput();
        return;
    }
    if (!d->serial->isOpen()) return;
    // What the driver holds and what QSerialPort has buffered already.
    d->serial->clear(QSerialPort::Input);
    d->serial->readAll();
}

QString SerialPort::errorString() const {
    return d->error;
}

void SerialPort::fail(const QString& reason) {
    if (d->failing) return;
    d->failing = true;
    d->error = reason;
    // Close at once so the dead descriptor cannot report again, but tell the
    // receiver from the event loop: it may show a modal box.
    close();
    const int generation = ++d->failGeneration;
    QTimer::singleShot(0, this, [this, reason, generation] {
        // Reopened meanwhile: that failure belongs to a session that is over.
        if (generation != d->failGeneration || isOpen()) return;
        emit failed(reason);
    });
}
