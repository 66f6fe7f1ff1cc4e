#pragma once
// Plain HTTP/1.1 on loopback for the web and alert tests: a client that sends
// exactly the bytes it is given, and a receiver that answers each POST with the
// next status of a script. Both run in the test's thread: waits spin the loop.
#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QMap>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace httptest {

// Splits a message head; returns the body length it announces (-1: none).
inline qsizetype parseHead(const QByteArray& head, QMap<QByteArray, QByteArray>* headers) {
    const QList<QByteArray> lines = head.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i)
        if (const qsizetype colon = lines[i].indexOf(':'); colon > 0)
            (*headers)[lines[i].left(colon).trimmed().toLower()] = lines[i].mid(colon + 1).trimmed();
    return headers->value("content-length", "-1").toLongLong();
}

struct Reply {
    int status = 0;
    QMap<QByteArray, QByteArray> headers; // names lower-case
    QByteArray body;
};

inline Reply exchange(quint16 port, const QByteArray& request, int timeoutMs = 15000) {
    Reply reply;
    QTcpSocket socket;
    QElapsedTimer clock;
    clock.start();
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.write(request);
    QByteArray data;
    qsizetype headEnd = -1, length = -1;
    while (clock.elapsed() < timeoutMs) {
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
    return "GET " + target +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
           headers + "\r\n";
}

// Values at slash-separated paths of a JSON object, as text: one comparison
// for a handful of fields.
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

inline Reply get(quint16 port, const QByteArray& target, const QByteArray& headers = {}) {
    const QByteArray host = "127.0.0.1:" + QByteArray::number(port);
    return exchange(port, request(target, headers).replace("127.0.0.1", host));
}

// Answers the n-th request with statuses[n] (the last repeats) and keeps
// each request's head, body and arrival time.
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
        const int status = m_statuses.value(bodies.size() - 1, m_statuses.last());
        s->write(QByteArray("HTTP/1.1 ") + QByteArray::number(status) +
                 " X\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        s->disconnectFromHost();
    }
    QTcpServer m_server;
    QList<int> m_statuses;
    QHash<QTcpSocket*, QByteArray> m_buffers;
    QElapsedTimer m_clock;
};

} // namespace httptest
