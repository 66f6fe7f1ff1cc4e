#include "core/transport/networktransport.h"

#include <QNetworkProxy>
#include <QRegularExpression>
#include <algorithm>
#include <cstring>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#endif

namespace zel {

namespace {

// Names under .invalid never resolve (RFC 6761) and are answered here,
// without asking a name server.
bool isReservedInvalid(const QString& host) {
    QString h = host.toLower();
    if (h.endsWith(QLatin1Char('.'))) h.chop(1);
    return h == QLatin1String("invalid") || h.endsWith(QLatin1String(".invalid"));
}

} // namespace

NetworkTransport::NetworkTransport(const QString& text, const NetworkPort& port, QObject* parent)
    : Transport(parent)
    , m_text(text)
    , m_port(port) {
    // A device server sits on the site's network: never go through a proxy.
    m_socket.setProxy(QNetworkProxy::NoProxy);
    m_openTimer.setObjectName(QStringLiteral("tmrNetOpen"));
    m_openTimer.setSingleShot(true);
    m_openTimer.setInterval(DefaultOpenTimeoutMs);
    connect(&m_openTimer, &QTimer::timeout, this, &NetworkTransport::openTimedOut);
    connect(&m_socket, &QTcpSocket::connected, this, [this] {
        if (m_phase != Phase::Connecting) return;
        // Each poll is one small write: Nagle would hold the second of two
        // requests in flight for an acknowledgement.
        m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
#if defined(Q_OS_LINUX) && defined(TCP_USER_TIMEOUT)
        const unsigned int ms = UnacknowledgedTimeoutMs;
        ::setsockopt(int(m_socket.socketDescriptor()), IPPROTO_TCP, TCP_USER_TIMEOUT, &ms, sizeof ms);
#endif
        socketConnected();
    });
    m_replyTimer.setObjectName(QStringLiteral("tmrNetReply"));
    m_replyTimer.setSingleShot(true);
    m_replyTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_replyTimer, &QTimer::timeout, this, &NetworkTransport::replyTimedOut);
    connect(&m_socket, &QTcpSocket::readyRead, this, &NetworkTransport::onSocketReadyRead);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, &NetworkTransport::onSocketError);
    connect(&m_socket, &QTcpSocket::disconnected, this, [this] {
        if (m_phase != Phase::Closed)
            fail(
                reasonFor(QAbstractSocket::RemoteHostClosedError, m_port, m_phase == Phase::Open, QString()) +
                farEndText());
    });
}

NetworkTransport::~NetworkTransport() {
    m_phase = Phase::Closed;
    m_socket.disconnect(this);
    m_socket.abort();
}

bool NetworkTransport::openLink() {
    close();
    m_socket.abort();
    m_tailSize = 0;
    setErrorString(QString());
    m_phase = Phase::Connecting;
    const quint64 generation = ++m_generation;
    m_openTimer.start();
    if (isReservedInvalid(m_port.host)) {
        QMetaObject::invokeMethod(
            this,
            [this, generation] {
                if (generation == m_generation && m_phase == Phase::Connecting)
                    fail(reasonFor(QAbstractSocket::HostNotFoundError, m_port, false, QString()));
            },
            Qt::QueuedConnection);
        return true;
    }
    m_socket.connectToHost(m_port.host, m_port.port);
    return true;
}

void NetworkTransport::close() {
    const bool wasOpen = isOpen();
    m_phase = Phase::Closed;
    ++m_generation;
    m_openTimer.stop();
    m_replyTimer.stop();
    m_lowWater = 1; // a new connection starts with the kernel's default
    if (wasOpen) QIODevice::close();
    // Let what was written (a DTR change) go out before the connection ends.
    if (m_socket.state() == QAbstractSocket::ConnectedState)
        m_socket.disconnectFromHost();
    else
        m_socket.abort();
}

void NetworkTransport::onSocketReadyRead() {
    if (m_phase == Phase::Closed) return;
    const quint64 awaits = m_awaits;
    socketReadyRead();
    // The reader did not ask for the next reply: report every byte again.
    if (m_awaits == awaits && m_phase != Phase::Closed) {
        m_replyTimer.stop();
        setLowWater(1);
    }
}

void NetworkTransport::awaitReply(int characters) {
    if (m_phase != Phase::Open || characters < 1) return;
    ++m_awaits;
    const qint64 waiting = bytesAvailable();
    setLowWater(int(qMax<qint64>(1, characters - waiting)));
    // The reply crosses a 9600-baud line, 1.04 ms a character, maybe behind
    // one already under way, and then the network; late past this.
    m_replyTimer.start(int((2 * characters + 2) * 1.0417) + ReplyNetworkSlackMs);
}

void NetworkTransport::replyTimedOut() {
    if (m_phase != Phase::Open) return;
    setLowWater(1);
    int queued = 0;
#ifdef Q_OS_LINUX
    ::ioctl(int(m_socket.socketDescriptor()), FIONREAD, &queued);
#endif
    emit replyOverdue(int(bytesAvailable()) + queued);
}

void NetworkTransport::setLowWater(int bytes) {
    if (bytes == m_lowWater) return;
#if defined(Q_OS_LINUX)
    const int fd = int(m_socket.socketDescriptor());
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes) != 0) return;
    m_lowWater = bytes;
#endif
}

qint64 NetworkTransport::bytesAvailable() const {
    return QIODevice::bytesAvailable() + m_socket.bytesAvailable();
}

void NetworkTransport::finishOpen() {
    m_openTimer.stop();
    m_phase = Phase::Open;
    QIODevice::open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    emit opened();
    // Data that came with the connection (a device server's greeting, a
    // reply that raced the negotiation) is announced now that it can be read.
    if (m_phase == Phase::Open && bytesAvailable() > 0) emit readyRead();
}

void NetworkTransport::fail(const QString& reason) {
    if (m_phase == Phase::Closed) return;
    close();
    m_socket.abort();
    setErrorString(reason);
    emit failed(reason);
}

void NetworkTransport::openTimedOut() {
    if (m_phase == Phase::Connecting)
        fail(reasonFor(QAbstractSocket::SocketTimeoutError, m_port, false, QString()) +
             QStringLiteral(" within %1 s").arg(m_openTimer.interval() / 1000.0));
    else if (m_phase == Phase::Negotiating)
        fail(QStringLiteral("%1 does not answer as an RFC 2217 server within %2 s")
                 .arg(m_port.endpoint())
                 .arg(m_openTimer.interval() / 1000.0));
}

void NetworkTransport::onSocketError(QAbstractSocket::SocketError error) {
    if (m_phase == Phase::Closed) return;
    const QString extra = error == QAbstractSocket::RemoteHostClosedError ? farEndText() : QString();
    fail(reasonFor(error, m_port, m_phase == Phase::Open, m_socket.errorString()) + extra);
}

QString NetworkTransport::reasonFor(QAbstractSocket::SocketError error, const NetworkPort& port, bool wasOpen,
                                    const QString& detail) {
    const QString at = port.endpoint();
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return QStringLiteral("Connection refused by %1").arg(at);
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("Host %1 not found").arg(port.host);
    case QAbstractSocket::SocketTimeoutError:
        return wasOpen ? QStringLiteral("Connection to %1 lost: no answer").arg(at)
                       : QStringLiteral("No answer from %1").arg(at);
    case QAbstractSocket::RemoteHostClosedError:
        return wasOpen ? QStringLiteral("Connection to %1 lost: closed by the far end").arg(at)
                       : QStringLiteral("%1 closed the connection").arg(at);
    default:
        break;
    }
    const QString why = detail.isEmpty() ? QStringLiteral("network error") : detail;
    return wasOpen ? QStringLiteral("Connection to %1 lost: %2").arg(at, why)
                   : QStringLiteral("Cannot connect to %1: %2").arg(at, why);
}

void NetworkTransport::noteReceived(const char* data, qint64 size) {
    if (size <= 0) return;
    const int cap = int(m_tail.size());
    if (size >= cap) {
        std::memcpy(m_tail.data(), data + size - cap, std::size_t(cap));
        m_tailSize = cap;
        return;
    }
    const int n = int(size);
    const int keep = std::min(m_tailSize, cap - n);
    std::memmove(m_tail.data(), m_tail.data() + m_tailSize - keep, std::size_t(keep));
    std::memcpy(m_tail.data() + keep, data, std::size_t(n));
    m_tailSize = keep + n;
}

QString NetworkTransport::farEndText() {
    // The last line received, after any telemetry, if it reads as a message.
    // Unread input counts too: the panel may not have read it yet.
    QByteArray tail(m_tail.data(), m_tailSize);
    if (m_socket.bytesAvailable() > 0) tail += m_socket.peek(64);
    QByteArray line = tail.trimmed();
    line = line.mid(line.lastIndexOf('\n') + 1);
    static const QRegularExpression packet(QStringLiteral("x[0-9]{9}"));
    QString text = QString::fromLatin1(line);
    qsizetype after = 0;
    for (auto it = packet.globalMatch(text); it.hasNext();)
        after = it.next().capturedEnd();
    text = text.mid(after).trimmed();
    int letters = 0;
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7e) return QString();
        letters += c.isLetter();
    }
    if (letters < 4) return QString();
    return QStringLiteral(" (\"%1\")").arg(text);
}

qint64 NetworkTransport::readData(char* data, qint64 maxSize) {
    if (m_phase != Phase::Open) return -1;
    const qint64 n = m_socket.read(data, maxSize);
    noteReceived(data, n);
    return n;
}

qint64 NetworkTransport::writeData(const char* data, qint64 size) {
    if (m_phase != Phase::Open) return -1;
    return m_socket.write(data, size);
}

void TcpTransport::discardInput() {
    if (m_socket.bytesAvailable() > 0) m_socket.skip(m_socket.bytesAvailable());
}

void Rfc2217Transport::socketConnected() {
    m_phase = Phase::Negotiating;
    m_data.clear();
    m_dataPos = 0;
    m_reply.clear();
    m_codec.start(m_reply);
    sendReply();
}

void Rfc2217Transport::sendReply() {
    if (m_reply.empty()) return;
    m_socket.write(m_reply.data(), qint64(m_reply.size()));
    m_reply.clear();
}

void Rfc2217Transport::pump() {
    const std::size_t before = m_data.size();
    while (m_socket.bytesAvailable() > 0) {
        const qint64 n = m_socket.read(m_raw.data(), qint64(m_raw.size()));
        if (n <= 0) break;
        m_codec.decode(std::string_view(m_raw.data(), std::size_t(n)), m_data, m_reply);
    }
    sendReply();
    if (m_data.size() > before) noteReceived(m_data.data() + before, qint64(m_data.size() - before));
}

void Rfc2217Transport::socketReadyRead() {
    const std::size_t before = m_data.size();
    pump();
    if (m_phase == Phase::Negotiating) {
        // A server that refuses COM-PORT-OPTION still carries the data, at
        // the line settings it was given.
        if (m_codec.comPort() != TelnetCodec::ComPort::Pending) finishOpen();
        return;
    }
    if (m_phase == Phase::Open && m_data.size() > before) emit readyRead();
}

qint64 Rfc2217Transport::bytesAvailable() const {
    return QIODevice::bytesAvailable() + qint64(m_data.size() - m_dataPos);
}

qint64 Rfc2217Transport::readData(char* data, qint64 maxSize) {
    if (m_phase != Phase::Open) return -1;
    if (m_dataPos == m_data.size()) pump(); // input not yet announced
    const std::size_t n = std::min<std::size_t>(std::size_t(maxSize), m_data.size() - m_dataPos);
    std::memcpy(data, m_data.data() + m_dataPos, n);
    m_dataPos += n;
    if (m_dataPos == m_data.size()) {
        m_data.clear(); // keeps its capacity
        m_dataPos = 0;
    }
    return qint64(n);
}

qint64 Rfc2217Transport::writeData(const char* data, qint64 size) {
    if (m_phase != Phase::Open) return -1;
    m_out.clear();
    m_codec.encode(std::string_view(data, std::size_t(size)), m_out);
    if (m_socket.write(m_out.data(), qint64(m_out.size())) < 0) return -1;
    return size;
}

void Rfc2217Transport::discardInput() {
    pump();
    m_data.clear();
    m_dataPos = 0;
}

void Rfc2217Transport::setDataTerminalReady(bool on) {
    m_codec.setDataTerminalReady(on, m_reply);
    if (m_phase == Phase::Negotiating || m_phase == Phase::Open)
        sendReply();
    else
        m_reply.clear(); // the codec keeps the choice for the next negotiation
}

} // namespace zel
