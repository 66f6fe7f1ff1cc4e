#pragma once
// Plain HTTP/1.1 on loopback, in the test's thread: a client that sends exactly
// the bytes it is given, and a receiver answering POSTs from a status script.
#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QMap>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace httptest {

// Header names lower-case; returns the announced body length (-1: none).
inline qsizetype parseHead(const QByteArray& head, QMap<QByteArray, QByteArray>* headers) {
    for (const QByteArray& line : head.split('\n').mid(1))
        if (const qsizetype colon = line.indexOf(':'); colon > 0)
            (*headers)[line.left(colon).trimmed().toLower()] = line.mid(colon + 1).trimmed();
    return headers->value("content-length", "-1").toLongLong();
}

struct Reply {
    int status = 0;
    QMap<QByteArray, QByteArray> headers;
    QByteArray body;
};

inline Reply exchange(quint16 port, const QByteArray& request) {
    Reply reply;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.write(request);
    QByteArray data;
    qsizetype headEnd = -1, length = -1;
    QElapsedTimer clock;
    for (clock.start(); clock.elapsed() < 15000;) {
        QTest::qWait(5);
        data += socket.readAll();
        if (headEnd < 0 && (headEnd = data.indexOf("\r\n\r\n")) >= 0) {
            reply.status = data.left(data.indexOf('\n')).split(' ').value(1).toInt();
            length = parseHead(data.left(headEnd), &reply.headers);
            if (reply.status == 101) return reply;
        }
        if (headEnd >= 0 && length >= 0 && data.size() >= headEnd + 4 + length) break;
        if (socket.state() == QAbstractSocket::UnconnectedState && !socket.bytesAvailable()) break;
    }
    if (headEnd >= 0) reply.body = data.mid(headEnd + 4, length);
    return reply;
}

inline QByteArray request(const QByteArray& target, const QByteArray& headers = {},
                          const QByteArray& method = "GET") {
    return method + ' ' + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "Connection: close\r\n\r\n";
}

inline QByteArray upgrade(const QByteArray& target, const QByteArray& headers = {}) {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" +
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" + headers + "\r\n";
}

// The Host header names the port: DevTools builds its socket addresses from it.
inline Reply get(quint16 port, const QByteArray& target) {
    return exchange(port, request(target).replace("127.0.0.1", "127.0.0.1:" + QByteArray::number(port)));
}

// Values at slash-separated paths of a JSON object, as text.
inline QStringList pick(const QJsonObject& o, const QStringList& paths) {
    QStringList out;
    for (const QString& path : paths) {
        QJsonValue v = o;
        for (const QString& key : path.split(u'/'))
            v = v.isArray() ? v[key.toInt()] : v[key];
        out << v.toVariant().toString();
    }
    return out;
}

// Answers the n-th request with statuses[n] (the last repeats); keeps each
// request's head, body and arrival time.
class Receiver : public QObject {
public:
    explicit Receiver(QList<int> statuses)
        : m_statuses(std::move(statuses)) {
        m_server.listen(QHostAddress::LocalHost, 0);
        m_clock.start();
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = m_server.nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, this, [this, s] { read(s); });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }
    QString url() const { return QString("http://127.0.0.1:%1/hook").arg(m_server.serverPort()); }
    QList<QByteArray> heads, bodies;
    QList<qint64> arrivals;

private:
    void read(QTcpSocket* s) {
        QByteArray& buf = m_buffers[s];
        buf += s->readAll();
        const qsizetype end = buf.indexOf("\r\n\r\n");
        QMap<QByteArray, QByteArray> headers;
        const qsizetype length = end < 0 ? 0 : std::max<qsizetype>(0, parseHead(buf.left(end), &headers));
        if (end < 0 || buf.size() < end + 4 + length) return;
        heads << buf.left(end);
        bodies << buf.mid(end + 4, length);
        arrivals << m_clock.elapsed();
        m_buffers.remove(s);
        s->write("HTTP/1.1 " + QByteArray::number(m_statuses.value(bodies.size() - 1, m_statuses.last())) +
                 " X\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        s->disconnectFromHost();
    }
    QTcpServer m_server;
    QList<int> m_statuses;
    QHash<QTcpSocket*, QByteArray> m_buffers;
    QElapsedTimer m_clock;
};

} // namespace httptest
