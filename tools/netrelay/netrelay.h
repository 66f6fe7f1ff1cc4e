#pragma once
// A TCP relay that stands for a slow network between the panel and a device
// server: each direction's bytes are held for a delay (with jitter) before
// they go on, in order, and the relay can stall, holding everything until
// it resumes. One upstream connection per accepted client. Loopback only.
#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTimer>
#include <deque>
#include <list>
#include <memory>
#include <random>

class QTcpSocket;

namespace zelrelay {

class NetRelay : public QObject {
    Q_OBJECT
public:
    explicit NetRelay(QObject* parent = nullptr);
    ~NetRelay() override;

    // Listens on 127.0.0.1 (`port` 0: any free one) and relays each client to
    // `targetPort` on 127.0.0.1.
    bool listen(quint16 targetPort, quint16 port = 0);
    quint16 port() const { return m_server.serverPort(); }
    QString tcpText() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(port()); }

    // Each direction holds its bytes `oneWayMs` plus a uniform jitter of up
    // to ±`jitterMs` (never letting bytes overtake each other): the round
    // trip is twice `oneWayMs`. Applies to bytes received from now on.
    void setDelay(int oneWayMs, double jitterMs = 0);
    int oneWayMs() const { return m_delayMs; }
    // While stalled nothing is passed on either way; bytes keep being taken
    // in and go on, in order, once the relay resumes.
    void setStalled(bool stalled);
    bool stalled() const { return m_stalled; }
    int connections() const { return int(m_pairs.size()); }

private:
    struct Chunk {
        qint64 dueNs;
        QByteArray data;
    };
    struct Pipe {
        QTcpSocket* from = nullptr;
        QTcpSocket* to = nullptr;
        std::deque<Chunk> queue;
        qint64 lastDueNs = 0;
        QTimer timer;
    };
    struct Pair {
        QTcpSocket* client = nullptr;
        QTcpSocket* server = nullptr;
        Pipe up, down;
    };

    void onNewConnection();
    void take(Pipe& pipe);
    void pass(Pipe& pipe);
    void schedule(Pipe& pipe);
    void drop(Pair* pair);

    QTcpServer m_server;
    quint16 m_targetPort = 0;
    int m_delayMs = 0;
    qint64 m_jitterNs = 0;
    bool m_stalled = false;
    std::list<std::unique_ptr<Pair>> m_pairs;
    std::mt19937 m_random{24};
};

} // namespace zelrelay
