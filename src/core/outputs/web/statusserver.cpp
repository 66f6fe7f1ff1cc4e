#include "core/outputs/web/statusserver.h"

#include <QDateTime>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>
#include <QWebSocket>
#include <QWebSocketServer>

namespace zel {

namespace {

constexpr qsizetype MaxHeadBytes = 8192;
constexpr int HeadTimeoutMs = 10'000;
constexpr int SocketSendBuffer = 64 * 1024;
constexpr int MaxEventsAnswered = 1000;

bool isFlasher(AlarmKind k) {
    return k == AlarmKind::Pos125 || k == AlarmKind::Neg100 || k == AlarmKind::PosVariable ||
           k == AlarmKind::NegVariable;
}

QString isoLocal(qint64 utcMs) {
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(utcMs, Qt::LocalTime);
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

QJsonObject eventJson(const StatusEvent& e) {
    return {{"timeMs", double(e.timeMs)},
            {"time", isoLocal(e.timeMs)},
            {"event", e.event},
            {"state", e.state},
            {"detail", e.detail}};
}

// Constant time for equal lengths: the token is not guessed a byte at a time.
bool sameSecret(const QByteArray& a, const QByteArray& b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

struct Head {
    QByteArray method;
    QUrl url;
    QList<std::pair<QByteArray, QByteArray>> headers; // names lower-case
    QByteArray value(const char* name) const {
        for (const auto& [k, v] : headers)
            if (k == name) return v;
        return {};
    }
};

Head parseHead(const QByteArray& text) {
    Head head;
    const QList<QByteArray> lines = text.split('\n');
    if (lines.isEmpty()) return head;
    const QList<QByteArray> request = lines.first().trimmed().split(' ');
    if (request.size() >= 2) {
        head.method = request[0];
        head.url = QUrl::fromEncoded(request[1]);
    }
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            head.headers.append(
                {lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed()});
    }
    return head;
}

QByteArray statusLine(int code) {
    switch (code) {
    case 400:
        return "400 Bad Request";
    case 401:
        return "401 Unauthorized";
    case 403:
        return "403 Forbidden";
    case 404:
        return "404 Not Found";
    case 431:
        return "431 Request Header Fields Too Large";
    default:
        return "503 Service Unavailable";
    }
}

void refuse(QTcpSocket* socket, int code) {
    // Closing with the request unread would reset the connection, and a
    // browser drops the answer with it.
    socket->readAll();
    QByteArray reply = "HTTP/1.1 " + statusLine(code) + "\r\nContent-Length: 0\r\nConnection: close\r\n";
    if (code == 401) reply += "WWW-Authenticate: Bearer\r\n";
    socket->write(reply + "\r\n");
    socket->disconnectFromHost();
}

} // namespace

// Reads the first request head of every connection without consuming it,
// then hands the connection to the WebSocket server or the HTTP server.
class RequestGate : public QTcpServer {
public:
    explicit RequestGate(StatusServer* owner)
        : m_owner(owner) {}
    int httpConnections = 0;

protected:
    void incomingConnection(qintptr descriptor) override {
        auto* socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        // A bounded kernel buffer makes a client that stops reading show up
        // as a growing backlog here, where it is dropped.
        socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, SocketSendBuffer);
        if (m_waiting + httpConnections >= StatusServer::MaxHttpConnections) {
            refuse(socket, 503);
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            QTimer::singleShot(2000, socket, &QObject::deleteLater);
            return;
        }
        ++m_waiting;
        auto* deadline = new QTimer(socket);
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, socket, [this, socket] { giveUp(socket); });
        connect(socket, &QTcpSocket::readyRead, this,
                [this, socket, deadline] { inspect(socket, deadline); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { giveUp(socket); });
        deadline->start(HeadTimeoutMs);
    }

private:
    void giveUp(QTcpSocket* socket) {
        if (socket->property("zelDone").toBool()) return;
        socket->setProperty("zelDone", true);
        --m_waiting;
        socket->abort();
        socket->deleteLater();
    }

    void inspect(QTcpSocket* socket, QTimer* deadline) {
        const QByteArray peeked = socket->peek(MaxHeadBytes + 4);
        const qsizetype end = peeked.indexOf("\r\n\r\n");
        if (end < 0) {
            if (peeked.size() > MaxHeadBytes) {
                finish(socket, deadline);
                refuse(socket, 431);
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                QTimer::singleShot(2000, socket, &QObject::deleteLater);
            }
            return;
        }
        finish(socket, deadline);
        const Head head = parseHead(peeked.left(end));
        // Checked here as well as per request, so a client without the token
        // cannot hold a kept-alive connection open.
        const QString queryToken =
            QUrlQuery(head.url).queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded);
        if (!m_owner->tokenMatches(queryToken, head.value("authorization"))) {
            refuse(socket, 401);
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            QTimer::singleShot(2000, socket, &QObject::deleteLater);
            return;
        }
        if (head.value("upgrade").toLower() == "websocket") {
            const int code = m_owner->checkUpgrade(peeked.left(end));
            if (code != 101) {
                refuse(socket, code);
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                QTimer::singleShot(2000, socket, &QObject::deleteLater);
                return;
            }
            socket->setParent(nullptr);
            m_owner->m_wsServer->handleConnection(socket);
        } else {
            ++httpConnections;
            connect(socket, &QObject::destroyed, this, [this] { --httpConnections; });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            addPendingConnection(socket);
            emit newConnection();
        }
        // The new owner reads what is already buffered on the next signal.
        QMetaObject::invokeMethod(
            socket, [socket] { emit socket->readyRead(); }, Qt::QueuedConnection);
    }

    void finish(QTcpSocket* socket, QTimer* deadline) {
        socket->setProperty("zelDone", true);
        --m_waiting;
        delete deadline;
        disconnect(socket, nullptr, this, nullptr);
    }

    StatusServer* m_owner;
    int m_waiting = 0;
};

StatusServer::StatusServer(QObject* parent)
    : QObject(parent)
    , m_wsServer(new QWebSocketServer(QStringLiteral("zel"), QWebSocketServer::NonSecureMode, this))
    , m_pushTimer(new QTimer(this)) {
    m_clock.start();
    m_flashOnTick.fill(-FlasherHoldMs - 1);
    m_pushTimer->setObjectName(QStringLiteral("tmrPush"));
    m_pushTimer->setInterval(PushIntervalMs);
    connect(m_pushTimer, &QTimer::timeout, this, &StatusServer::pushUpdates);
    connect(m_wsServer, &QWebSocketServer::newConnection, this, [this] {
        while (QWebSocket* socket = m_wsServer->nextPendingConnection())
            acceptClient(socket);
    });
}

StatusServer::~StatusServer() {
    close();
}

bool StatusServer::listen(const QHostAddress& address, quint16 port, const QString& token) {
    close();
    m_error.clear();
    if (address.isNull()) {
        m_error = QStringLiteral("no address to listen on");
        return false;
    }
    if (!address.isLoopback() && token.size() < MinRemoteTokenLength) {
        m_error = QStringLiteral("the status page listens on %1 only with an access token of at least %2 "
                                 "characters; without one it serves 127.0.0.1 alone")
                      .arg(address.toString())
                      .arg(MinRemoteTokenLength);
        return false;
    }
    m_http = new QHttpServer(this);
    m_http->setMissingHandler([this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
        handleRequest(request, std::move(responder));
    });
    m_gate = new RequestGate(this);
    if (!m_gate->listen(address, port)) {
        m_error = QStringLiteral("cannot serve the status page on %1 port %2: %3")
                      .arg(address.toString())
                      .arg(port)
                      .arg(m_gate->errorString());
        delete m_gate;
        m_gate = nullptr;
        delete m_http;
        m_http = nullptr;
        return false;
    }
    m_http->bind(m_gate);
    m_token = token;
    m_address = address;
    return true;
}

void StatusServer::close() {
    m_pushTimer->stop();
    const auto clients = m_clients;
    m_clients.clear();
    for (QWebSocket* socket : clients) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    delete m_http; // owns the gate
    m_http = nullptr;
    m_gate = nullptr;
}

bool StatusServer::isListening() const {
    return m_gate && m_gate->isListening();
}

quint16 StatusServer::serverPort() const {
    return m_gate ? m_gate->serverPort() : 0;
}

bool StatusServer::tokenMatches(const QString& queryToken, const QByteArray& authorization) const {
    if (m_token.isEmpty()) return true;
    const QByteArray expected = m_token.toUtf8();
    if (!queryToken.isEmpty() && sameSecret(queryToken.toUtf8(), expected)) return true;
    const QByteArray prefix = "bearer ";
    if (authorization.size() > prefix.size() && authorization.left(prefix.size()).toLower() == prefix)
        return sameSecret(authorization.mid(prefix.size()).trimmed(), expected);
    return false;
}

// Without a token only a loopback name is served, so a page elsewhere cannot
// reach the server through a host name that resolves to 127.0.0.1.
bool StatusServer::hostAllowed(const QByteArray& host) const {
    if (!m_token.isEmpty() || host.isEmpty()) return true;
    QByteArray name = host;
    if (name.startsWith('[')) {
        name = name.mid(1, name.indexOf(']') - 1);
    } else if (const qsizetype colon = name.lastIndexOf(':'); colon >= 0) {
        name = name.left(colon);
    }
    if (name.toLower() == "localhost") return true;
    return QHostAddress(QString::fromLatin1(name)).isLoopback();
}

int StatusServer::checkUpgrade(const QByteArray& headText) const {
    const Head head = parseHead(headText);
    if (head.method != "GET") return 400;
    const QString queryToken =
        QUrlQuery(head.url).queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded);
    if (!tokenMatches(queryToken, head.value("authorization"))) return 401;
    if (head.url.path() != u"/ws") return 404;
    const QByteArray host = head.value("host");
    if (!hostAllowed(host)) return 403;
    // A browser names the page that opens the socket: only our own page may.
    const QByteArray origin = head.value("origin");
    if (!origin.isEmpty()) {
        const QUrl o = QUrl::fromEncoded(origin);
        const QByteArray originHost = (o.port() >= 0 ? o.authority() : o.host()).toUtf8();
        if (originHost.toLower() != host.toLower()) return 403;
    }
    if (m_clients.size() >= MaxClients) return 503;
    return 101;
}

void StatusServer::handleRequest(const QHttpServerRequest& request, QHttpServerResponder&& responder) {
    using Status = QHttpServerResponder::StatusCode;
    const QString queryToken = request.query().queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded);
    if (!tokenMatches(queryToken, request.value("Authorization"))) {
        responder.write(QByteArray(), {{"WWW-Authenticate", "Bearer"}}, Status::Unauthorized);
        return;
    }
    if (!hostAllowed(request.value("Host"))) {
        responder.write(QByteArray("unknown host name\n"), "text/plain", Status::Forbidden);
        return;
    }
    if (request.method() != QHttpServerRequest::Method::Get) {
        responder.write(QByteArray("read-only: GET only\n"),
                        {{"Content-Type", "text/plain"}, {"Allow", "GET"}}, Status::MethodNotAllowed);
        return;
    }
    const QString path = request.url().path();
    const std::initializer_list<std::pair<QByteArray, QByteArray>> jsonHeaders = {
        {"Content-Type", "application/json"},
        {"Cache-Control", "no-store"},
        {"X-Content-Type-Options", "nosniff"}};
    if (path == u"/") {
        responder.write(pageHtml(),
                        {{"Content-Type", "text/html; charset=utf-8"},
                         {"Cache-Control", "no-store"},
                         {"X-Content-Type-Options", "nosniff"},
                         {"Referrer-Policy", "no-referrer"},
                         {"Content-Security-Policy",
                          "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; "
                          "connect-src 'self'; img-src data:; frame-ancestors 'none'"}});
    } else if (path == u"/api/status") {
        responder.write(statusJson(), jsonHeaders);
    } else if (path == u"/api/events") {
        const QString since = request.query().queryItemValue(QStringLiteral("since"), QUrl::FullyDecoded);
        qint64 sinceMs = 0;
        if (!since.isEmpty()) {
            bool isNumber = false;
            sinceMs = since.toLongLong(&isNumber);
            if (!isNumber) {
                const QDateTime t = QDateTime::fromString(since, Qt::ISODateWithMs);
                if (!t.isValid()) {
                    responder.write(
                        QByteArray("since: expected an ISO 8601 time or milliseconds since 1970\n"),
                        "text/plain", Status::BadRequest);
                    return;
                }
                sinceMs = t.toMSecsSinceEpoch();
            }
        }
        responder.write(eventsJson(sinceMs), jsonHeaders);
    } else if (path == u"/ws") {
        responder.write(QByteArray("WebSocket only\n"), "text/plain", Status::BadRequest);
    } else {
        responder.write(QByteArray("not found\n"), "text/plain", Status::NotFound);
    }
}

void StatusServer::acceptClient(QWebSocket* socket) {
    if (m_clients.size() >= MaxClients) { // raced past the gate's count
        socket->close(QWebSocketProtocol::CloseCodeGoingAway);
        socket->deleteLater();
        return;
    }
    socket->setParent(this);
    m_clients.append(socket);
    connect(socket, &QWebSocket::disconnected, this, [this, socket] {
        m_clients.removeOne(socket);
        socket->deleteLater();
        if (m_clients.isEmpty()) m_pushTimer->stop();
    });
    // The page only listens; whatever a client sends is dropped unread.
    connect(socket, &QWebSocket::textMessageReceived, socket, [] {});
    m_dirty = true; // the newcomer gets the state at once
    if (!m_pushTimer->isActive()) {
        // Peaks folded while nobody watched are old news.
        m_sincePush = 0;
        m_flashSeen = 0;
        m_pushTimer->start();
    }
}

void StatusServer::dropClient(QWebSocket* socket, const QString& reason) {
    m_clients.removeOne(socket);
    const QString peer = socket->peerAddress().toString() + u':' + QString::number(socket->peerPort());
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    emit clientDropped(peer, reason);
    if (m_clients.isEmpty()) m_pushTimer->stop();
}

void StatusServer::onReadings(const Readings& r) {
    m_last = r;
    if (m_sincePush == 0) {
        m_peak = r;
    } else {
        m_peak.posPeak = std::max(m_peak.posPeak, r.posPeak);
        m_peak.negPeak = std::max(m_peak.negPeak, r.negPeak);
        m_peak.carrierLevel = r.carrierLevel;
    }
    ++m_sincePush;
    ++m_packets;
    m_lastPacketTick = m_clock.elapsed();
}

void StatusServer::onLinkEvent(const LinkEvent& event) {
    m_link = event.state;
    m_linkDetail = event.detail;
    addEvent({event.timeMs, QStringLiteral("link"), QString::fromLatin1(linkStateName(event.state)),
              event.detail});
}

void StatusServer::onAlarmEvent(const AlarmEvent& event) {
    const int k = int(event.kind);
    if (k < 0 || k >= KindCount) return;
    if (isFlasher(event.kind)) {
        // Flashers report every lighting: fold them, keep them out of the list.
        if (event.on) {
            m_flashSeen |= 1u << k;
            m_flashOnTick[k] = m_clock.elapsed();
        } else {
            m_flashOnTick[k] = -FlasherHoldMs - 1;
        }
        return;
    }
    if (m_alarmOn[k] == event.on) return;
    m_alarmOn[k] = event.on;
    addEvent({event.timeMs,
              QString::fromLatin1(alarmKindName(event.kind)),
              event.on ? QStringLiteral("on") : QStringLiteral("off"),
              {}});
}

void StatusServer::setPortText(const QString& port) {
    m_port = port;
    m_dirty = true;
}

void StatusServer::addEvent(StatusEvent event) {
    if (event.detail.size() > 200) event.detail = event.detail.left(200) + u'…';
    m_events.push_back(event);
    if (m_events.size() > size_t(KeptEvents)) m_events.pop_front();
    if (!m_clients.isEmpty() && m_newEvents.size() < KeptEvents) m_newEvents.append(event);
    m_dirty = true;
}

bool StatusServer::flasherLit(AlarmKind kind, qint64 now) const {
    const int k = int(kind);
    return (m_flashSeen & (1u << k)) || now - m_flashOnTick[k] < FlasherHoldMs;
}

QByteArray StatusServer::statusJson() const {
    const qint64 now = m_clock.elapsed();
    QJsonObject alarms;
    for (int k = 0; k < KindCount; ++k) {
        const auto kind = AlarmKind(k);
        bool on = isFlasher(kind) ? flasherLit(kind, now) : m_alarmOn[k];
        if (kind == AlarmKind::LinkLost) on = on || m_link == LinkState::Reconnecting;
        alarms[QString::fromLatin1(alarmKindName(kind))] = on;
    }
    auto reading = [](float position) {
        return QJsonObject{{"percent", positionToPercent(position)}, {"position", double(position)}};
    };
    QJsonObject packets{{"total", double(m_packets)}};
    packets["lastAgeMs"] = m_lastPacketTick < 0 ? QJsonValue() : QJsonValue(double(now - m_lastPacketTick));
    const QJsonObject o{{"port", m_port},
                        {"link", QString::fromLatin1(linkStateName(m_link))},
                        {"linkDetail", m_linkDetail},
                        {"readings", QJsonObject{{"pos", reading(m_last.posPeak)},
                                                 {"neg", reading(m_last.negPeak)},
                                                 {"carrier", reading(m_last.carrierLevel)}}},
                        {"alarms", alarms},
                        {"packets", packets},
                        {"clients", clientCount()},
                        {"time", isoLocal(QDateTime::currentMSecsSinceEpoch())}};
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray StatusServer::eventsJson(qint64 sinceMs) const {
    QList<StatusEvent> events;
    if (m_eventSource) {
        events = m_eventSource(sinceMs);
    } else {
        for (const StatusEvent& e : m_events)
            if (e.timeMs >= sinceMs) events.append(e);
    }
    if (events.size() > MaxEventsAnswered) events = events.mid(events.size() - MaxEventsAnswered);
    QJsonArray list;
    for (const StatusEvent& e : events)
        list.append(eventJson(e));
    return QJsonDocument(QJsonObject{{"events", list}}).toJson(QJsonDocument::Compact);
}

void StatusServer::pushUpdates() {
    if (m_clients.isEmpty()) return;
    const qint64 now = m_clock.elapsed();
    quint32 flashBits = 0;
    for (AlarmKind kind :
         {AlarmKind::Pos125, AlarmKind::Neg100, AlarmKind::PosVariable, AlarmKind::NegVariable})
        if (flasherLit(kind, now)) flashBits |= 1u << int(kind);
    const bool due =
        m_sincePush > 0 || m_dirty || flashBits != m_flashSent || now - m_lastSendTick >= HeartbeatMs;
    if (!due) return;

    QJsonObject flash;
    QJsonObject alarms;
    for (int k = 0; k < KindCount; ++k) {
        const auto kind = AlarmKind(k);
        const QString name = QString::fromLatin1(alarmKindName(kind));
        if (isFlasher(kind))
            flash[name] = bool(flashBits & (1u << k));
        else
            alarms[name] = m_alarmOn[k] || (kind == AlarmKind::LinkLost && m_link == LinkState::Reconnecting);
    }
    const Readings shown = m_sincePush ? m_peak : m_last;
    QJsonArray events;
    for (const StatusEvent& e : std::as_const(m_newEvents))
        events.append(eventJson(e));
    const QJsonObject o{{"n", double(m_sincePush)},
                        {"total", double(m_packets)},
                        {"pos", double(shown.posPeak)},
                        {"neg", double(shown.negPeak)},
                        {"car", double(shown.carrierLevel)},
                        {"link", QString::fromLatin1(linkStateName(m_link))},
                        {"detail", m_linkDetail},
                        {"port", m_port},
                        {"alarms", alarms},
                        {"flash", flash},
                        {"events", events},
                        {"lastAgeMs", m_lastPacketTick < 0 ? -1.0 : double(now - m_lastPacketTick)}};
    const QString message = QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
    m_sincePush = 0;
    m_flashSeen = 0;
    m_flashSent = flashBits;
    m_dirty = false;
    m_newEvents.clear();
    m_lastSendTick = now;

    const auto clients = m_clients;
    for (QWebSocket* socket : clients) {
        if (socket->bytesToWrite() > m_maxBacklog) {
            dropClient(socket, QStringLiteral("not reading: %1 bytes waiting").arg(socket->bytesToWrite()));
            continue;
        }
        socket->sendTextMessage(message);
    }
}

} // namespace zel
