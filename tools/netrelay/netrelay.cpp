#include "netrelay.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <algorithm>

namespace zelrelay {

namespace {
qint64 nowNs() {
    static QElapsedTimer clock;
    if (!clock.isValid()) clock.start();
    return clock.nsecsElapsed();
}
} // namespace

NetRelay::NetRelay(QObject* parent)
    : QObject(parent) {
    connect(&m_server, &QTcpServer::newConnection, this, &NetRelay::onNewConnection);
}

NetRelay::~NetRelay() {
    while (!m_pairs.empty())
        drop(m_pairs.front().get());
}

bool NetRelay::listen(quint16 targetPort, quint16 port) {
    m_targetPort = targetPort;
    return m_server.listen(QHostAddress::LocalHost, port);
}

void NetRelay::setDelay(int oneWayMs, double jitterMs) {
    m_delayMs = qMax(0, oneWayMs);
    m_jitterNs = qint64(qBound(0.0, jitterMs, double(m_delayMs)) * 1e6);
}

void NetRelay::setStalled(bool stalled) {
    m_stalled = stalled;
    for (auto& pair : m_pairs) {
        schedule(pair->up);
        schedule(pair->down);
    }
}

void NetRelay::onNewConnection() {
    while (QTcpSocket* client = m_server.nextPendingConnection()) {
        auto pair = std::make_unique<Pair>();
        Pair* p = pair.get();
        p->client = client;
        p->server = new QTcpSocket(this);
        p->up.from = p->down.to = client;
        p->up.to = p->down.from = p->server;
        // The relay itself must not gather small writes.
        client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        for (Pipe* pipe : {&p->up, &p->down}) {
            pipe->timer.setSingleShot(true);
            pipe->timer.setTimerType(Qt::PreciseTimer);
            connect(&pipe->timer, &QTimer::timeout, this, [this, pipe] { pass(*pipe); });
            connect(pipe->from, &QTcpSocket::readyRead, this, [this, pipe] { take(*pipe); });
        }
        connect(p->server, &QTcpSocket::connected, this, [this, p] {
            p->server->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            schedule(p->up);
        });
        for (QTcpSocket* s : {client, p->server})
            connect(
                s, &QTcpSocket::disconnected, this, [this, p] { drop(p); }, Qt::QueuedConnection);
        connect(
            p->server, &QTcpSocket::errorOccurred, this, [this, p] { drop(p); }, Qt::QueuedConnection);
        m_pairs.push_back(std::move(pair));
        p->server->connectToHost(QHostAddress::LocalHost, m_targetPort);
    }
}

void NetRelay::take(Pipe& pipe) {
    const QByteArray data = pipe.from->readAll();
    if (data.isEmpty()) return;
    qint64 due = nowNs() + qint64(m_delayMs) * 1'000'000;
    if (m_jitterNs > 0) due += std::uniform_int_distribution<qint64>(-m_jitterNs, m_jitterNs)(m_random);
    pipe.lastDueNs = std::max(due, pipe.lastDueNs);
    pipe.queue.push_back({pipe.lastDueNs, data});
    if (pipe.queue.size() == 1) schedule(pipe);
}

void NetRelay::pass(Pipe& pipe) {
    if (m_stalled || pipe.to->state() != QAbstractSocket::ConnectedState) return;
    const qint64 now = nowNs();
    while (!pipe.queue.empty() && pipe.queue.front().dueNs <= now) {
        pipe.to->write(pipe.queue.front().data);
        pipe.queue.pop_front();
    }
    schedule(pipe);
}

void NetRelay::schedule(Pipe& pipe) {
    if (m_stalled || pipe.queue.empty() || pipe.to->state() != QAbstractSocket::ConnectedState) {
        pipe.timer.stop();
        return;
    }
    const qint64 wait = pipe.queue.front().dueNs - nowNs();
    if (wait <= 0) {
        pass(pipe);
        return;
    }
    pipe.timer.start(int((wait + 999'999) / 1'000'000));
}

void NetRelay::drop(Pair* pair) {
    const auto it =
        std::find_if(m_pairs.begin(), m_pairs.end(), [pair](const auto& p) { return p.get() == pair; });
    if (it == m_pairs.end()) return;
    std::unique_ptr<Pair> gone = std::move(*it);
    m_pairs.erase(it);
    for (QTcpSocket* s : {gone->client, gone->server}) {
        s->disconnect(this);
        s->abort();
        s->deleteLater();
    }
}

} // namespace zelrelay
