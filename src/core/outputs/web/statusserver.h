#pragma once
// The live status page of a station's monitors and its read-only API, served
// over HTTP, with the readings streamed to the page over a WebSocket on the
// same port (/ws).
//
// The server reads every request head itself and answers GET only: a request
// with another method or with a body is refused as soon as its head is in,
// before a byte of the body is read. Connections that have not shown the
// token yet have a small allowance of their own (the oldest is closed to
// make room once it has had UnauthenticatedGraceMs to send its request), so
// idle or half-open connections cannot lock out a token holder. Any
// connection idle for IdleTimeoutMs is closed, and so is one whose unsent
// answers pile up past MaxUnsentBytes. A WebSocket upgrade is checked here
// (path, token, origin, client limit) and the socket then handed to
// QWebSocketServer with its head still unread.
//
// onReadings() runs once per packet and only folds the reading into the
// monitor's newest value and its peaks since the last push; the JSON for the
// clients is built at most every PushIntervalMs, once for all of them.
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "core/types/types.h"

class QJsonObject;
class QTcpServer;
class QTcpSocket;
class QTimer;
class QUrl;
class QWebSocket;
class QWebSocketServer;

namespace zel {

class HttpConnection;

struct StatusEvent {
    qint64 timeMs = 0; // UTC, ms since the epoch
    QString event;     // "link" or an alarmKindName()
    QString state;     // "on" / "off", a link state's name, or empty (a flasher episode)
    QString detail;    // the reason of a link change, or an episode's summary
};

class StatusServer : public QObject {
    Q_OBJECT
public:
    struct Answer {
        int status = 200;
        QByteArray contentType;
        QByteArray body;
        QList<std::pair<QByteArray, QByteArray>> headers;
    };
    // Answers every GET in place of the station's page and API, behind the
    // same gate (bind, token, host, limits); no WebSocket is served then.
    // For a program that serves another view with the same rules.
    using Handler = std::function<Answer(const QUrl& target)>;

    static constexpr int MaxClients = 16;         // WebSocket clients
    static constexpr int MaxHttpConnections = 32; // that have shown the token
    static constexpr int MaxUnauthenticated = 16; // that have not, yet
    static constexpr int UnauthenticatedGraceMs = 250;
    static constexpr int IdleTimeoutMs = 5000;        // no complete request for this long: closed
    static constexpr qint64 MaxUnsentBytes = 1 << 20; // per HTTP connection
    static constexpr qint64 MaxIncomingMessage = 4096;
    static constexpr int PushIntervalMs = 40; // 25 updates a second
    static constexpr int HeartbeatMs = 1000;
    static constexpr int KeptEvents = 100; // per monitor
    static constexpr int MinRemoteTokenLength = 8;

    // Events of a monitor since a time (UTC ms): the history's, when it
    // exists, in any order. Without one the server answers from its own.
    using EventSource = std::function<QList<StatusEvent>(const QString& monitorId, qint64 sinceMs)>;

    explicit StatusServer(QObject* parent = nullptr);
    ~StatusServer() override;

    // Starts serving. Any address other than a loopback one needs a token
    // of at least MinRemoteTokenLength characters. False with errorString()
    // on refusal or when the port cannot be bound. Port 0 picks a free one.
    bool listen(const QHostAddress& address, quint16 port, const QString& token = {});
    void close();
    bool isListening() const;
    quint16 serverPort() const;
    QString errorString() const { return m_error; }

    // A secret kept in a file (a token): its first line, trimmed. False with
    // the reason when the file is missing, unreadable or empty; true with a
    // warning in *error when others than its owner may read it.
    static bool readSecretFile(const QString& path, QString* secret, QString* error);

    // The station: its name heads the page; monitors are shown in the order
    // added, and the first one answers /api/status and /api/events without
    // ?monitor=. Readings and events for an unknown id are ignored.
    void setSite(const QString& id, const QString& name);
    void addMonitor(const QString& id, const QString& name, const QString& port);
    void setEventSource(EventSource source) { m_eventSource = std::move(source); }
    // GET /metrics answers with this text (the Prometheus exposition), under
    // the same token rules as the API; without a source it is not found.
    void setMetricsSource(std::function<QByteArray()> source) { m_metricsSource = std::move(source); }
    void setHandler(Handler handler) { m_handler = std::move(handler); }

    int clientCount() const { return int(m_clients.size()); }
    int httpConnectionCount() const { return m_authenticated; }

    // A WebSocket client whose unsent data grows past this is dropped.
    void setMaxBacklogBytes(qint64 bytes) { m_maxBacklog = bytes; }

    // Empty for an unknown monitor; an empty id is the first.
    QByteArray statusJson(const QString& monitorId = {}) const;
    QByteArray monitorsJson() const;
    QByteArray eventsJson(const QString& monitorId, qint64 sinceMs) const;
    static QByteArray pageHtml();

    // One push to every client; tmrPush calls it while clients are attached.
    void pushUpdates();

public slots:
    void onReadings(const QString& id, const zel::Readings& readings);
    void onPacketRejected(const QString& id);
    void onLinkStatus(const QString& id, const zel::LinkStatus& status);
    void onAlarmEvent(const QString& id, const zel::AlarmEvent& event);
    void onEpisode(const QString& id, const zel::Episode& episode);

signals:
    void clientDropped(const QString& peer, const QString& reason);

private:
    friend class HttpConnection;
    static constexpr int KindCount = int(AlarmKind::LinkLost) + 1;

    struct Monitor {
        QString id, name, port;
        bool hasReading = false;
        Readings last, peak; // peak: since the last push
        quint32 sincePush = 0;
        quint64 packets = 0, rejected = 0;
        qint64 lastPacketTick = -1;
        LinkStatus link;
        std::array<bool, KindCount> on{};          // alarms, and flashers with an open episode
        std::array<quint32, KindCount> episodes{}; // started since the server started
        std::deque<StatusEvent> events;
        QList<StatusEvent> newEvents; // since the last push
        bool dirty = true;
    };

    Monitor* find(const QString& id);
    const Monitor* find(const QString& id) const;
    Answer answer(const QByteArray& target) const;
    bool tokenMatches(const QString& queryToken, const QByteArray& authorization) const;
    bool hostAllowed(const QByteArray& host) const;
    int checkUpgrade(const QByteArray& path, const QByteArray& host, const QByteArray& origin) const;
    void acceptConnection();
    void connectionAuthenticated(HttpConnection* c);
    void connectionGone(HttpConnection* c);
    void upgrade(HttpConnection* c);
    void acceptClient(QWebSocket* socket);
    void dropClient(QWebSocket* socket, const QString& reason);
    void addEvent(Monitor& m, StatusEvent event);
    QJsonObject monitorJson(const Monitor& m, qint64 now) const;
    QJsonObject updateJson(Monitor& m, qint64 now);

    QTcpServer* m_listener = nullptr;
    QWebSocketServer* m_wsServer = nullptr;
    QTimer* m_pushTimer = nullptr;
    QList<QWebSocket*> m_clients;
    QList<HttpConnection*> m_connections;
    QList<HttpConnection*> m_unauthenticated; // of those, oldest first
    int m_authenticated = 0;
    QString m_token;
    QString m_error;
    QHostAddress m_address;
    qint64 m_maxBacklog = 64 * 1024;
    EventSource m_eventSource;
    std::function<QByteArray()> m_metricsSource;
    Handler m_handler;
    QElapsedTimer m_clock;
    qint64 m_lastSendTick = 0;

    QString m_siteId, m_siteName;
    std::vector<std::unique_ptr<Monitor>> m_monitors;
    QHash<QString, Monitor*> m_byId;
};

} // namespace zel
