#include "core/outputs/web/statusserver.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>
#include <QWebSocket>
#include <QWebSocketServer>
#include <algorithm>

namespace zel {

namespace {

constexpr qsizetype MaxHeadBytes = 8192;
constexpr int SocketSendBuffer = 64 * 1024;
constexpr int MaxEventsAnswered = 1000;
constexpr AlarmKind Flashers[] = {AlarmKind::Pos125, AlarmKind::Neg100, AlarmKind::PosVariable,
                                  AlarmKind::NegVariable};

bool isFlasher(AlarmKind k) {
    return std::find(std::begin(Flashers), std::end(Flashers), k) != std::end(Flashers);
}

QString kindName(AlarmKind k) {
    return QString::fromLatin1(alarmKindName(k));
}

// The History window's names for the same events.
QString eventTitle(const QString& event) {
    static const QHash<QString, QString> titles = {
        {QStringLiteral("link"), QStringLiteral("Link")},
        {QStringLiteral("carrier-alarm"), QStringLiteral("Carrier alarm")},
        {QStringLiteral("audio-loss"), QStringLiteral("Audio loss")},
        {QStringLiteral("no-data"), QStringLiteral("No data")},
        {QStringLiteral("link-lost"), QStringLiteral("Link lost")},
        {QStringLiteral("pos125"), QStringLiteral("Past +125 %")},
        {QStringLiteral("neg100"), QStringLiteral("Past -100 %")},
        {QStringLiteral("pos-variable"), QStringLiteral("Past positive threshold")},
        {QStringLiteral("neg-variable"), QStringLiteral("Past negative threshold")},
    };
    return titles.value(event, event);
}

QString episodeSummary(const Episode& e) {
    const QString peak = QStringLiteral("peak %1 %").arg(positionToPercent(e.extreme));
    const qint64 ms = std::max<qint64>(0, e.lastMs - e.startMs);
    QString text = e.packets == 1 ? QStringLiteral("1 packet, ") + peak
                                  : QStringLiteral("%1 packets over %2 s, %3")
                                        .arg(e.packets)
                                        .arg(double(ms) / 1000.0, 0, 'f', 1)
                                        .arg(peak);
    if (e.threshold > 0) text += QStringLiteral(" (threshold %1 %)").arg(e.threshold);
    return text;
}

QJsonObject eventJson(const QString& monitor, const StatusEvent& e) {
    return {{"monitor", monitor}, {"timeMs", double(e.timeMs)},   {"time", formatLocalTime(e.timeMs)},
            {"event", e.event},   {"title", eventTitle(e.event)}, {"state", e.state},
            {"detail", e.detail}};
}

// Constant time whatever the texts: both sides are hashed first, so neither
// a byte nor the length of the token can be found by timing the answers.
bool sameSecret(const QByteArray& a, const QByteArray& b) {
    const QByteArray x = QCryptographicHash::hash(a, QCryptographicHash::Sha256);
    const QByteArray y = QCryptographicHash::hash(b, QCryptographicHash::Sha256);
    unsigned char diff = 0;
    for (qsizetype i = 0; i < x.size(); ++i)
        diff |= static_cast<unsigned char>(x[i] ^ y[i]);
    return diff == 0;
}

struct Head {
    QByteArray method, target, version;
    QList<std::pair<QByteArray, QByteArray>> headers; // names lower-case
    QByteArray value(const char* name) const {
        for (const auto& [k, v] : headers)
            if (k == name) return v;
        return {};
    }
};

bool parseHead(const QByteArray& text, Head* head) {
    const QList<QByteArray> lines = text.split('\n');
    const QList<QByteArray> request = lines.first().trimmed().split(' ');
    if (request.size() != 3 || !request[1].startsWith('/') || !request[2].startsWith("HTTP/1.")) return false;
    head->method = request[0];
    head->target = request[1];
    head->version = request[2];
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon <= 0) return false;
        head->headers.append({lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed()});
    }
    return true;
}

QByteArray reasonPhrase(int code) {
    switch (code) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 413:
        return "Content Too Large";
    case 431:
        return "Request Header Fields Too Large";
    default:
        return "Service Unavailable";
    }
}

QByteArray response(int code, const QByteArray& contentType, const QByteArray& body,
                    const QList<std::pair<QByteArray, QByteArray>>& headers, bool close) {
    QByteArray out = "HTTP/1.1 " + QByteArray::number(code) + ' ' + reasonPhrase(code) + "\r\n";
    if (!contentType.isEmpty()) out += "Content-Type: " + contentType + "\r\n";
    out += "Content-Length: " + QByteArray::number(body.size()) +
           "\r\nX-Content-Type-Options: nosniff\r\nCache-Control: no-store\r\n";
    if (code == 401) out += "WWW-Authenticate: Bearer\r\n";
    if (code == 405) out += "Allow: GET\r\n";
    for (const auto& [name, value] : headers)
        out += name + ": " + value + "\r\n";
    if (close) out += "Connection: close\r\n";
    return out + "\r\n" + body;
}

QByteArray jsonError(const QString& text) {
    return QJsonDocument(QJsonObject{{"error", text}}).toJson(QJsonDocument::Compact);
}

} // namespace

// One HTTP connection: reads request heads (never a body) and answers them in
// order, until it is closed, idle, or handed on as a WebSocket.
class HttpConnection : public QObject {
public:
    HttpConnection(StatusServer* owner, QTcpSocket* socket)
        : QObject(owner)
        , m_owner(owner)
        , m_socket(socket)
        , m_idle(new QTimer(this)) {
        socket->setParent(this);
        // Nothing but request heads is read: the buffer need hold no more.
        socket->setReadBufferSize(MaxHeadBytes + 4);
        // A bounded kernel buffer makes a client that stops reading show up
        // as unsent output here.
        socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, SocketSendBuffer);
        m_idle->setObjectName(QStringLiteral("tmrIdle"));
        m_idle->setSingleShot(true);
        m_idle->setInterval(StatusServer::IdleTimeoutMs);
        connect(m_idle, &QTimer::timeout, this, &HttpConnection::drop);
        connect(socket, &QTcpSocket::readyRead, this, &HttpConnection::process);
        connect(socket, &QTcpSocket::disconnected, this, &HttpConnection::drop);
        // An answer still going out is not idleness.
        connect(socket, &QTcpSocket::bytesWritten, m_idle, qOverload<>(&QTimer::start));
        m_idle->start();
    }

    bool authenticated = false;
    qint64 acceptedTick = 0;

    void drop() {
        if (m_gone) return;
        m_gone = true;
        m_owner->connectionGone(this);
        m_socket->disconnect(this);
        m_socket->abort();
        deleteLater();
    }

    // Hands the socket on, its unread request head and all.
    QTcpSocket* release() {
        m_gone = true;
        m_owner->connectionGone(this);
        m_socket->disconnect(this);
        m_socket->setParent(nullptr);
        m_socket->setReadBufferSize(0);
        QTcpSocket* s = m_socket;
        deleteLater();
        return s;
    }

    // Answers with the connection closed behind it.
    void refuse(int code, const QByteArray& body = {}) {
        m_closing = true;
        m_socket->readAll(); // unread input would reset the connection and lose the answer
        m_socket->write(response(code, body.isEmpty() ? QByteArray() : "text/plain", body, {}, true));
        m_socket->disconnectFromHost();
    }

    void process() {
        while (!m_gone) {
            if (m_closing) {
                m_socket->readAll();
                return;
            }
            const QByteArray peeked = m_socket->peek(MaxHeadBytes + 4);
            const qsizetype end = peeked.indexOf("\r\n\r\n");
            if (end < 0) {
                if (peeked.size() > MaxHeadBytes) refuse(431);
                return;
            }
            Head head;
            if (!parseHead(peeked.left(end), &head)) return refuse(400, "malformed request\n");
            const QUrlQuery query(QUrl::fromEncoded(head.target));
            const QString token = query.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded);
            if (!m_owner->tokenMatches(token, head.value("authorization"))) return refuse(401);
            // Refused before a byte of it is read.
            if (head.method != "GET") return refuse(405, "read-only: GET only\n");
            const QByteArray length = head.value("content-length");
            if (!head.value("transfer-encoding").isEmpty() || (!length.isEmpty() && length != "0"))
                return refuse(413, "a GET takes no body\n");
            if (head.value("upgrade").toLower() == "websocket") {
                const int code = m_owner->checkUpgrade(QUrl::fromEncoded(head.target).path().toUtf8(),
                                                       head.value("host"), head.value("origin"));
                if (code != 101) return refuse(code);
                return m_owner->upgrade(this);
            }
            if (!authenticated) {
                m_owner->connectionAuthenticated(this);
                if (!authenticated) return refuse(503, "too many connections\n");
            }
            if (!m_owner->hostAllowed(head.value("host"))) return refuse(403, "unknown host name\n");
            m_socket->read(end + 4);
            const bool close = head.value("connection").toLower() == "close" || head.version == "HTTP/1.0";
            const StatusServer::Answer a = m_owner->answer(head.target);
            m_socket->write(response(a.status, a.contentType, a.body, a.headers, close));
            if (m_socket->bytesToWrite() > StatusServer::MaxUnsentBytes) return drop(); // not reading
            m_idle->start();
            if (close) {
                m_closing = true;
                m_socket->disconnectFromHost();
            }
        }
    }

    QTcpSocket* socket() const { return m_socket; }

private:
    StatusServer* m_owner;
    QTcpSocket* m_socket;
    QTimer* m_idle;
    bool m_gone = false;
    bool m_closing = false;
};

StatusServer::StatusServer(QObject* parent)
    : QObject(parent)
    , m_wsServer(new QWebSocketServer(QStringLiteral("zel"), QWebSocketServer::NonSecureMode, this))
    , m_pushTimer(new QTimer(this)) {
    m_clock.start();
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
    m_listener = new QTcpServer(this);
    if (!m_listener->listen(address, port)) {
        m_error = QStringLiteral("cannot serve the status page on %1 port %2: %3")
                      .arg(address.toString())
                      .arg(port)
                      .arg(m_listener->errorString());
        delete m_listener;
        m_listener = nullptr;
        return false;
    }
    connect(m_listener, &QTcpServer::newConnection, this, &StatusServer::acceptConnection);
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
    const auto connections = m_connections; // each leaves the list
    for (HttpConnection* c : connections)
        c->drop();
    delete m_listener;
    m_listener = nullptr;
}

bool StatusServer::isListening() const {
    return m_listener && m_listener->isListening();
}

quint16 StatusServer::serverPort() const {
    return m_listener ? m_listener->serverPort() : 0;
}

bool StatusServer::readSecretFile(const QString& path, QString* secret, QString* error) {
    error->clear();
    QFile file(path);
    if (!file.exists()) {
        *error = QStringLiteral("%1: no such file").arg(path);
        return false;
    }
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2")
                     .arg(path, QFileInfo(path).isFile() ? file.errorString() : QStringLiteral("not a file"));
        return false;
    }
    const QString line = QString::fromUtf8(file.readLine(4096)).trimmed();
    if (line.isEmpty()) {
        *error = QStringLiteral("%1: the first line is empty").arg(path);
        return false;
    }
    *secret = line;
    if (file.permissions() & QFileDevice::ReadOther)
        *error = QStringLiteral("%1 can be read by every user; make it readable by its owner only "
                                "(chmod 600)")
                     .arg(path);
    return true;
}

void StatusServer::setSite(const QString& id, const QString& name) {
    m_siteId = id;
    m_siteName = name;
    for (auto& m : m_monitors)
        m->dirty = true;
}

void StatusServer::addMonitor(const QString& id, const QString& name, const QString& port) {
    Monitor* m = find(id);
    if (!m) {
        m_monitors.push_back(std::make_unique<Monitor>());
        m = m_monitors.back().get();
        m->id = id;
        m_byId.insert(id, m);
    }
    m->name = name;
    m->port = port;
    m->dirty = true;
}

StatusServer::Monitor* StatusServer::find(const QString& id) {
    if (id.isEmpty()) return m_monitors.empty() ? nullptr : m_monitors.front().get();
    return m_byId.value(id);
}

const StatusServer::Monitor* StatusServer::find(const QString& id) const {
    return const_cast<StatusServer*>(this)->find(id);
}

void StatusServer::acceptConnection() {
    while (QTcpSocket* socket = m_listener->nextPendingConnection()) {
        auto* c = new HttpConnection(this, socket);
        m_connections.append(c);
        // The oldest connection without the token yet, if it has had time to
        // send its request, makes room: a crowd of idle ones cannot keep a
        // token holder out. In a burst of new ones the newcomer is refused.
        if (m_unauthenticated.size() >= MaxUnauthenticated) {
            HttpConnection* oldest = m_unauthenticated.first();
            if (m_clock.elapsed() - oldest->acceptedTick < UnauthenticatedGraceMs) {
                c->refuse(503, "too many connections\n");
                continue;
            }
            oldest->drop();
        }
        c->acceptedTick = m_clock.elapsed();
        m_unauthenticated.append(c);
    }
}

void StatusServer::connectionAuthenticated(HttpConnection* c) {
    if (m_authenticated >= MaxHttpConnections) return;
    m_unauthenticated.removeOne(c);
    c->authenticated = true;
    ++m_authenticated;
}

void StatusServer::connectionGone(HttpConnection* c) {
    m_connections.removeOne(c);
    if (c->authenticated)
        --m_authenticated;
    else
        m_unauthenticated.removeOne(c);
}

void StatusServer::upgrade(HttpConnection* c) {
    QTcpSocket* socket = c->release();
    m_wsServer->handleConnection(socket);
    // The WebSocket server reads what is already buffered on the next signal.
    QMetaObject::invokeMethod(
        socket, [socket] { emit socket->readyRead(); }, Qt::QueuedConnection);
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

int StatusServer::checkUpgrade(const QByteArray& path, const QByteArray& host,
                               const QByteArray& origin) const {
    if (path != "/ws" || m_handler) return 404;
    if (!hostAllowed(host)) return 403;
    // A browser names the page that opens the socket: only our own page may.
    if (!origin.isEmpty()) {
        const QUrl o = QUrl::fromEncoded(origin);
        const QByteArray originHost = (o.port() >= 0 ? o.authority() : o.host()).toUtf8();
        if (originHost.toLower() != host.toLower()) return 403;
    }
    if (m_clients.size() >= MaxClients) return 503;
    return 101;
}

// A GET's answer: the other methods never get this far.
StatusServer::Answer StatusServer::answer(const QByteArray& target) const {
    const QUrl url = QUrl::fromEncoded(target);
    if (m_handler) return m_handler(url);
    const QUrlQuery query(url);
    const QString path = url.path();
    const QByteArray json = "application/json";
    const QString monitorId = query.queryItemValue(QStringLiteral("monitor"), QUrl::FullyDecoded);
    const auto unknownMonitor = [&] {
        return Answer{404,
                      json,
                      jsonError(m_monitors.empty() ? QStringLiteral("no monitor is served")
                                                   : QStringLiteral("no monitor \"%1\"").arg(monitorId)),
                      {}};
    };
    if (path == u"/") {
        return {200,
                "text/html; charset=utf-8",
                pageHtml(),
                {{"Referrer-Policy", "no-referrer"},
                 {"Content-Security-Policy",
                  "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; "
                  "connect-src 'self'; img-src data:; frame-ancestors 'none'"}}};
    }
    if (path == u"/api/monitors") return {200, json, monitorsJson(), {}};
    if (path == u"/metrics" && m_metricsSource)
        return {200, "text/plain; version=0.0.4; charset=utf-8", m_metricsSource(), {}};
    if (path == u"/api/status") {
        const QByteArray body = statusJson(monitorId);
        return body.isEmpty() ? unknownMonitor() : Answer{200, json, body, {}};
    }
    if (path == u"/api/events") {
        if (!find(monitorId)) return unknownMonitor();
        const QString since = query.queryItemValue(QStringLiteral("since"), QUrl::FullyDecoded);
        qint64 sinceMs = 0;
        if (!since.isEmpty()) {
            bool isNumber = false;
            sinceMs = since.toLongLong(&isNumber);
            if (!isNumber) {
                const QDateTime t = QDateTime::fromString(since, Qt::ISODateWithMs);
                if (!t.isValid())
                    return {400,
                            json,
                            jsonError(QStringLiteral(
                                "since: expected an ISO 8601 time or milliseconds since 1970")),
                            {}};
                sinceMs = t.toMSecsSinceEpoch();
            }
        }
        return {200, json, eventsJson(monitorId, sinceMs), {}};
    }
    if (path == u"/ws") return {400, "text/plain", "WebSocket only\n", {}};
    return {404, "text/plain", "not found\n", {}};
}

void StatusServer::acceptClient(QWebSocket* socket) {
    if (m_clients.size() >= MaxClients) { // raced past the check
        socket->close(QWebSocketProtocol::CloseCodeGoingAway);
        socket->deleteLater();
        return;
    }
    // The page sends nothing: a client that sends much is closed unread.
    socket->setMaxAllowedIncomingFrameSize(quint64(MaxIncomingMessage));
    socket->setMaxAllowedIncomingMessageSize(quint64(MaxIncomingMessage));
    socket->setParent(this);
    m_clients.append(socket);
    connect(socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this, [this, socket] {
        if (m_clients.contains(socket)) dropClient(socket, socket->errorString());
    });
    connect(socket, &QWebSocket::disconnected, this, [this, socket] {
        m_clients.removeOne(socket);
        socket->deleteLater();
        if (m_clients.isEmpty()) m_pushTimer->stop();
    });
    for (auto& m : m_monitors) // the newcomer gets the whole state at once
        m->dirty = true;
    if (!m_pushTimer->isActive()) {
        // Peaks folded while nobody watched are old news.
        for (auto& m : m_monitors) {
            m->sincePush = 0;
            m->newEvents.clear();
        }
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

void StatusServer::onReadings(const QString& id, const Readings& r) {
    Monitor* m = find(id);
    if (!m || id.isEmpty()) return;
    m->last = r;
    m->hasReading = true;
    if (m->sincePush == 0) {
        m->peak = r;
    } else {
        m->peak.posPeak = std::max(m->peak.posPeak, r.posPeak);
        m->peak.negPeak = std::max(m->peak.negPeak, r.negPeak);
        m->peak.carrierLevel = r.carrierLevel;
    }
    ++m->sincePush;
    ++m->packets;
    m->lastPacketTick = m_clock.elapsed();
}

void StatusServer::onPacketRejected(const QString& id) {
    if (Monitor* m = find(id); m && !id.isEmpty()) ++m->rejected;
}

void StatusServer::onLinkStatus(const QString& id, const LinkStatus& s) {
    Monitor* m = find(id);
    if (!m || id.isEmpty()) return;
    // A change of state or reason is an event, and so is the same status
    // again: another attempt that ended the same way. No data and the dial
    // caption alone are not.
    const bool event = s.state != m->link.state || s.detail != m->link.detail || s == m->link;
    m->link = s;
    m->dirty = true;
    if (event)
        addEvent(*m, {QDateTime::currentMSecsSinceEpoch(), QStringLiteral("link"),
                      QString::fromLatin1(linkStateName(s.state)), s.detail});
}

void StatusServer::onAlarmEvent(const QString& id, const AlarmEvent& e) {
    Monitor* m = find(id);
    const int k = int(e.kind);
    // Flashers arrive as episodes.
    if (!m || id.isEmpty() || k < 0 || k >= KindCount || isFlasher(e.kind) || m->on[k] == e.on) return;
    m->on[k] = e.on;
    addEvent(*m, {e.timeMs, kindName(e.kind), e.on ? QStringLiteral("on") : QStringLiteral("off"), {}});
}

void StatusServer::onEpisode(const QString& id, const Episode& e) {
    Monitor* m = find(id);
    const int k = int(e.kind);
    if (!m || id.isEmpty() || !isFlasher(e.kind)) return;
    if (e.open && !m->on[k]) ++m->episodes[k];
    m->on[k] = e.open;
    m->dirty = true;
    if (!e.open) addEvent(*m, {e.startMs, kindName(e.kind), {}, episodeSummary(e)});
}

void StatusServer::addEvent(Monitor& m, StatusEvent event) {
    if (event.detail.size() > 200) event.detail = event.detail.left(200) + u'…';
    m.events.push_back(event);
    if (m.events.size() > size_t(KeptEvents)) m.events.pop_front();
    if (!m_clients.isEmpty() && m.newEvents.size() < KeptEvents) m.newEvents.append(event);
    m.dirty = true;
}

QJsonObject StatusServer::monitorJson(const Monitor& m, qint64 now) const {
    QJsonObject alarms;
    QJsonObject episodes;
    for (int k = 0; k < KindCount; ++k) {
        const auto kind = AlarmKind(k);
        bool on = m.on[k];
        if (kind == AlarmKind::LinkLost) on = on || m.link.state == LinkState::Reconnecting;
        if (kind == AlarmKind::NoData) on = on || m.link.noData;
        alarms[kindName(kind)] = on;
        if (isFlasher(kind)) episodes[kindName(kind)] = double(m.episodes[k]);
    }
    auto reading = [](float position) {
        return QJsonObject{{"percent", positionToPercent(position)}, {"position", double(position)}};
    };
    // Before the first packet there is nothing to show, not the bottom of a bar.
    const QJsonValue readings = m.hasReading
                                    ? QJsonValue(QJsonObject{{"pos", reading(m.last.posPeak)},
                                                             {"neg", reading(m.last.negPeak)},
                                                             {"carrier", reading(m.last.carrierLevel)}})
                                    : QJsonValue();
    QJsonObject packets{{"total", double(m.packets)}, {"rejected", double(m.rejected)}};
    packets["lastAgeMs"] = m.lastPacketTick < 0 ? QJsonValue() : QJsonValue(double(now - m.lastPacketTick));
    return {{"id", m.id},
            {"name", m.name},
            {"port", m.port},
            {"link", QString::fromLatin1(linkStateName(m.link.state))},
            {"linkDetail", m.link.detail},
            {"noData", m.link.noData},
            {"dialCaption", m.link.dialCaption},
            {"readings", readings},
            {"alarms", alarms},
            {"episodes", episodes},
            {"packets", packets}};
}

QByteArray StatusServer::statusJson(const QString& monitorId) const {
    const Monitor* m = find(monitorId);
    if (!m) return {};
    QJsonObject o = monitorJson(*m, m_clock.elapsed());
    o["site"] = m_siteName;
    o["clients"] = clientCount();
    o["time"] = formatLocalTime(QDateTime::currentMSecsSinceEpoch());
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray StatusServer::monitorsJson() const {
    const qint64 now = m_clock.elapsed();
    QJsonArray list;
    for (const auto& m : m_monitors)
        list.append(monitorJson(*m, now));
    const QJsonObject o{{"site", QJsonObject{{"id", m_siteId}, {"name", m_siteName}}},
                        {"monitors", list},
                        {"clients", clientCount()},
                        {"time", formatLocalTime(QDateTime::currentMSecsSinceEpoch())}};
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray StatusServer::eventsJson(const QString& monitorId, qint64 sinceMs) const {
    const Monitor* m = find(monitorId);
    if (!m) return {};
    QList<StatusEvent> events;
    if (m_eventSource) {
        events = m_eventSource(m->id, sinceMs);
    } else {
        for (const StatusEvent& e : m->events)
            if (e.timeMs >= sinceMs) events.append(e);
    }
    // Oldest first whatever the source's order; the newest are kept.
    std::stable_sort(events.begin(), events.end(),
                     [](const StatusEvent& a, const StatusEvent& b) { return a.timeMs < b.timeMs; });
    if (events.size() > MaxEventsAnswered) events = events.mid(events.size() - MaxEventsAnswered);
    QJsonArray list;
    for (const StatusEvent& e : events)
        list.append(eventJson(m->id, e));
    return QJsonDocument(QJsonObject{{"monitor", m->id}, {"events", list}}).toJson(QJsonDocument::Compact);
}

// What changed in a monitor since the last push; bar positions 0..55 as the
// panel draws them, with their percent beside them.
QJsonObject StatusServer::updateJson(Monitor& m, qint64 now) {
    QJsonObject flash;
    QJsonObject alarms;
    for (int k = 0; k < KindCount; ++k) {
        const auto kind = AlarmKind(k);
        if (isFlasher(kind))
            flash[kindName(kind)] = m.on[k];
        else
            alarms[kindName(kind)] =
                m.on[k] || (kind == AlarmKind::LinkLost && m.link.state == LinkState::Reconnecting) ||
                (kind == AlarmKind::NoData && m.link.noData);
    }
    const Readings shown = m.sincePush ? m.peak : m.last;
    const auto position = [&m](float p) { return m.hasReading ? QJsonValue(double(p)) : QJsonValue(); };
    const auto percent = [&m](float p) {
        return m.hasReading ? QJsonValue(positionToPercent(p)) : QJsonValue();
    };
    QJsonArray events;
    for (const StatusEvent& e : std::as_const(m.newEvents))
        events.append(eventJson(m.id, e));
    QJsonObject o{{"id", m.id},
                  {"name", m.name},
                  {"port", m.port},
                  {"n", double(m.sincePush)},
                  {"total", double(m.packets)},
                  {"pos", position(shown.posPeak)},
                  {"neg", position(shown.negPeak)},
                  {"car", position(shown.carrierLevel)},
                  {"posPercent", percent(shown.posPeak)},
                  {"negPercent", percent(shown.negPeak)},
                  {"carPercent", percent(shown.carrierLevel)},
                  {"link", QString::fromLatin1(linkStateName(m.link.state))},
                  {"detail", m.link.detail},
                  {"noData", m.link.noData},
                  {"dial", m.link.dialCaption},
                  {"alarms", alarms},
                  {"flash", flash},
                  {"events", events},
                  {"lastAgeMs", m.lastPacketTick < 0 ? -1.0 : double(now - m.lastPacketTick)}};
    m.sincePush = 0;
    m.dirty = false;
    m.newEvents.clear();
    return o;
}

void StatusServer::pushUpdates() {
    if (m_clients.isEmpty()) return;
    const qint64 now = m_clock.elapsed();
    const bool heartbeat = now - m_lastSendTick >= HeartbeatMs;
    QJsonArray updates;
    for (auto& m : m_monitors)
        if (heartbeat || m->sincePush > 0 || m->dirty) updates.append(updateJson(*m, now));
    if (updates.isEmpty()) return;
    const QJsonObject o{{"site", m_siteName}, {"monitors", updates}};
    const QString message = QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
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
