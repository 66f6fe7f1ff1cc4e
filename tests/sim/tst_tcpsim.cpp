// zel-monitor-sim --tcp --count: several stand-in monitors on consecutive TCP ports.
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QUrl>

#include "support/simprocess.h"
#include "support/testmain.h"

namespace {

// Sends `requests` "x" and collects the replies; the time until the last one.
struct Client {
    explicit Client(const QUrl& url) { socket.connectToHost(url.host(), quint16(url.port())); }
    bool ask(int requests, QElapsedTimer* t = nullptr) {
        if (!socket.waitForConnected(5000)) return false;
        if (t) t->start();
        socket.write(QByteArray(requests, 'x'));
        return QTest::qWaitFor(
            [&] {
                data += socket.readAll();
                return data.size() >= 10 * requests;
            },
            5000);
    }
    QTcpSocket socket;
    QByteArray data;
};

} // namespace

class TcpSimTest : public QObject {
    Q_OBJECT
private slots:
    // Each port is its own monitor at line pace; a connection that comes back
    // is served again; a new one replaces the old; the replies are counted on exit.
    void monitorsOnConsecutivePorts() {
        zeltest::SimProcess sim;
        QVERIFY2(sim.start({"--tcp", "127.0.0.1:0", "--count", "3"}), qPrintable(sim.errorText()));
        QTRY_COMPARE(sim.paths().size(), 3);
        QList<QUrl> urls;
        for (const QString& p : sim.paths())
            urls << QUrl(p);
        QCOMPARE((QList<int>{urls[1].port() - urls[0].port(), urls[2].port() - urls[1].port()}),
                 (QList<int>{1, 1}));

        static const QRegularExpression packets(QStringLiteral("^(x[0-9]{9})+$"));
        QElapsedTimer t;
        {
            Client first(urls[1]), other(urls[2]);
            QVERIFY(first.ask(4, &t) && other.ask(4));
            // Four replies queue on the line: 4 x 10 characters at 9600 baud.
            QVERIFY2(t.elapsed() >= 40, qPrintable(QString::number(t.elapsed())));
            QVERIFY(packets.match(QString::fromLatin1(first.data)).hasMatch());
            Client second(urls[1]);
            QVERIFY(second.ask(2));
            QTRY_COMPARE(first.socket.state(), QAbstractSocket::UnconnectedState);
        }
        Client again(urls[1]);
        QVERIFY(again.ask(3) && packets.match(QString::fromLatin1(again.data)).hasMatch());
        sim.stop();
        QTRY_COMPARE(sim.paths().size(), 6);
        QCOMPARE(sim.paths().mid(3), (QStringList{QStringLiteral("replies %1 0").arg(urls[0].toString()),
                                                  QStringLiteral("replies %1 9").arg(urls[1].toString()),
                                                  QStringLiteral("replies %1 4").arg(urls[2].toString())}));
    }

    void badOptions_data() {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("count alone") << QStringList{"--count", "2"};
        QTest::newRow("no port") << QStringList{"--tcp", "127.0.0.1"};
        QTest::newRow("bare IPv6") << QStringList{"--tcp", "::1:4000"};
        QTest::newRow("past 65535") << QStringList{"--tcp", "127.0.0.1:65535", "--count", "2"};
        QTest::newRow("vanish") << QStringList{"--tcp", "127.0.0.1:0", "--vanish-after", "3"};
    }
    void badOptions() {
        QFETCH(QStringList, args);
        QProcess p;
        p.start(QStringLiteral(ZEL_MONITOR_SIM), args);
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), 2);
    }
};

ZEL_TEST(TcpSimTest)
#include "tst_tcpsim.moc"
