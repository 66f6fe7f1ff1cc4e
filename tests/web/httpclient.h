#pragma once
// Plain HTTP/1.1 over a QTcpSocket, so a test sends exactly the request it
// means (no client library adding or fixing headers), to loopback only. The
// server runs in the same thread: every wait keeps the event loop going.
#include <QByteArray>
#include <QMap>
#include <QTcpSocket>
#include <QtTest>

struct HttpReply {
    int status = 0;
    QMap<QByteArray, QByteArray> headers; // names lower-case
    QByteArray body;
};

inline HttpReply httpExchange(quint16 port, const QByteArray& request, int timeoutMs = 15000) {
    HttpReply reply;
    QTcpSocket socket;
    QElapsedTimer clock;
    clock.start();
    socket.connectToHost(QHostAddress::LocalHost, port);
    while (socket.state() != QAbstractSocket::ConnectedState && clock.elapsed() < timeoutMs)
        QTest::qWait(5);
    socket.write(request);
    QByteArray data;
    qsizetype headEnd = -1;
    qsizetype length = -1;
    while (clock.elapsed() < timeoutMs) {
        if (headEnd < 0 && (headEnd = data.indexOf("\r\n\r\n")) >= 0) {
            const QList<QByteArray> lines = data.left(headEnd).split('\n');
            reply.status = lines.first().split(' ').value(1).toInt();
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const qsizetype colon = lines[i].indexOf(':');
                if (colon > 0)
                    reply.headers[lines[i].left(colon).trimmed().toLower()] =
                        lines[i].mid(colon + 1).trimmed();
            }
            length = reply.headers.value("content-length", "-1").toLongLong();
            if (reply.status == 101) return reply;
        }
        if (headEnd >= 0 && length >= 0 && data.size() >= headEnd + 4 + length) break;
        if (socket.state() != QAbstractSocket::ConnectedState && !socket.bytesAvailable()) break;
        QTest::qWait(5);
        data += socket.readAll();
    }
    if (headEnd >= 0) reply.body = data.mid(headEnd + 4, length >= 0 ? length : -1);
    return reply;
}

inline HttpReply httpGet(quint16 port, const QByteArray& target, const QByteArray& extraHeaders = {}) {
    return httpExchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
                                  "\r\n" + extraHeaders + "Connection: close\r\n\r\n");
}

inline QByteArray upgradeRequest(quint16 port, const QByteArray& target,
                                 const QByteArray& extraHeaders = {}) {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
           "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
           "Sec-WebSocket-Version: 13\r\n" +
           extraHeaders + "\r\n";
}
