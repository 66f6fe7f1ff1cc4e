#pragma once
// The live status page and its read-only API, served over HTTP, with the
// readings streamed to the page over a WebSocket on the same port (/ws).
//
// QHttpServer 6.4 upgrades any WebSocket request on any path before a
// handler can refuse it, so a small gate in front of it reads each
// connection's first request head: WebSocket upgrades are checked here
// (path, token, origin, client limit) and refused with a plain status, the
// rest goes on to the HTTP server untouched.
//
// onReadings() runs once per packet and only folds the reading into the
// newest value and the peaks since the last push; the JSON for the clients
// is built at most every PushIntervalMs, once for all of them.
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <array>
#include <deque>
#include <functional>

#include "core/types/types.h"

class QHttpServer;
class QHttpServerRequest;
class QHttpServerResponder;
class QTcpSocket;
class QTimer;
class QWebSocket;
class QWebSocketServer;

namespace zel {

class RequestGate;

struct StatusEvent {
    qint64 timeMs = 0; // UTC, ms since the epoch
    QString event;     // "link" or an alarmKindName()
    QString state;     // on / off, or the link state's name
    QString detail;
};

class StatusServer : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxClients = 16;
    static constexpr int MaxHttpConnections = 32;
    static constexpr int PushIntervalMs = 40; // 25 updates a second
    static constexpr int HeartbeatMs = 1000;
    static constexpr int FlasherHoldMs = 1000;
    static constexpr int KeptEvents = 100;
    static constexpr int MinRemoteTokenLength = 8;

    // Events since a time (UTC ms), oldest first: the history's, when it
    // exists. Without one the server answers from its own last events.
    using EventSource = std::function<QList<StatusEvent>(qint64 sinceMs)>;

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

    void setEventSource(EventSource source) { m_eventSource = std::move(source); }
    int clientCount() const { return int(m_clients.size()); }

    // A client whose unsent data grows past this is dropped.
    void setMaxBacklogBytes(qint64 bytes) { m_maxBacklog = bytes; }

    QByteArray statusJson() const;
    QByteArray eventsJson(qint64 sinceMs) const;
    static QByteArray pageHtml();

    // One push to every client; tmrPush calls it while clients are attached.
    void pushUpdates();

public slots:
    void onReadings(const zel::Readings& readings);
    void onLinkEvent(const zel::LinkEvent& event);
    void onAlarmEvent(const zel::AlarmEvent& event);
    void setPortText(const QString& port);

signals:
    void clientDropped(const QString& peer, const QString& reason);

private:
    friend class RequestGate;
    static constexpr int KindCount = int(AlarmKind::LinkLost) + 1;

    // Status code for a WebSocket upgrade request head: 101 to accept.
    int checkUpgrade(const QByteArray& head) const;
    bool tokenMatches(const QString& queryToken, const QByteArray& authorization) const;
    bool hostAllowed(const QByteArray& host) const;
    void handleRequest(const QHttpServerRequest& request, QHttpServerResponder&& responder);
    void acceptClient(QWebSocket* socket);
    void dropClient(QWebSocket* socket, const QString& reason);
    void addEvent(StatusEvent event);
    bool flasherLit(AlarmKind kind, qint64 now) const;

    QHttpServer* m_http = nullptr;
    RequestGate* m_gate = nullptr;
    QWebSocketServer* m_wsServer = nullptr;
    QTimer* m_pushTimer = nullptr;
    QList<QWebSocket*> m_clients;
    QString m_token;
    QString m_error;
    QHostAddress m_address;
    qint64 m_maxBacklog = 64 * 1024;
    EventSource m_eventSource;

    // Folded per packet, reset per push.
    QElapsedTimer m_clock;
    Readings m_last;
    Readings m_peak;
    quint64 m_packets = 0;
    quint32 m_sincePush = 0;
    qint64 m_lastPacketTick = -1;
    qint64 m_lastSendTick = 0;

    QString m_port;
    LinkState m_link = LinkState::OffLine;
    QString m_linkDetail;
    std::array<bool, KindCount> m_alarmOn{};
    std::array<qint64, KindCount> m_flashOnTick{};
    quint32 m_flashSeen = 0; // flasher kinds lit since the last push, one bit each
    quint32 m_flashSent = 0;
    bool m_dirty = false;
    std::deque<StatusEvent> m_events;
    QList<StatusEvent> m_newEvents;
};

} // namespace zel
