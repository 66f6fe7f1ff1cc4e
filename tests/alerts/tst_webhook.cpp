// The webhook against a small HTTP server of the test's own on loopback:
// the JSON it posts, retries with backoff, and failures.
#include "support/testmain.h"

#include "core/alerts/alertmanager.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

// Answers each POST with the next status of its script (the last repeats)
// and keeps the bodies and when each request arrived.
class HookServer : public QObject {
public:
    explicit HookServer(QList<int> statuses)
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
    QList<QByteArray> bodies;
    QList<QByteArray> heads;
    QList<qint64> arrivals;

private:
    void read(QTcpSocket* s) {
        QByteArray& buf = m_buffers[s];
        buf += s->readAll();
        const qsizetype end = buf.indexOf("\r\n\r\n");
        if (end < 0) return;
        const QByteArray head = buf.left(end);
        const qsizetype at = head.toLower().indexOf("content-length:");
        const int length = at < 0 ? 0 : head.mid(at + 15, head.indexOf('\r', at) - at - 15).trimmed().toInt();
        if (buf.size() < end + 4 + length) return;
        heads << head;
        bodies << buf.mid(end + 4, length);
        arrivals << m_clock.elapsed();
        m_buffers.remove(s);
        const int status = m_statuses.value(bodies.size() - 1, m_statuses.last());
        s->write(QString("HTTP/1.1 %1 X\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
                     .arg(status)
                     .toLatin1());
        s->disconnectFromHost();
    }
    QTcpServer m_server;
    QList<int> m_statuses;
    QHash<QTcpSocket*, QByteArray> m_buffers;
    QElapsedTimer m_clock;
};

} // namespace

class WebhookTest : public QObject {
    Q_OBJECT
private slots:
    void retriesWithBackoff_data() {
        QTest::addColumn<QList<int>>("statuses");
        QTest::addColumn<int>("requests");
        QTest::addColumn<QString>("failure"); // empty: delivered
        QTest::newRow("delivered") << QList<int>{200} << 1 << "";
        QTest::newRow("accepted") << QList<int>{204} << 1 << "";
        QTest::newRow("third try") << QList<int>{500, 503, 200} << 3 << "";
        QTest::newRow("never") << QList<int>{500} << 3 << "HTTP 500 (3 of 3 tries)";
        QTest::newRow("rate limited then ok") << QList<int>{429, 200} << 2 << "";
        QTest::newRow("refused outright") << QList<int>{404} << 1 << "HTTP 404 (1 of 3 tries)";
    }
    void retriesWithBackoff() {
        QFETCH(QList<int>, statuses);
        QFETCH(int, requests);
        QFETCH(QString, failure);
        HookServer hook(statuses);
        zel::AlertManager m;
        m.setWebhookBackoffMs(100);
        zel::AlertSettings s;
        s.webhookUrl = hook.url();
        m.setSettings(s);
        m.setPortText("tcp://127.0.0.1:4001");
        QSignalSpy ok(&m, &zel::AlertManager::alertSent);
        QSignalSpy failed(&m, &zel::AlertManager::alertFailed);
        m.onAlarmEvent({zel::AlarmKind::AudioLoss, true, 1'700'000'000'000, {0, 0, 40}});
        m.findChild<QTimer*>("tmrAlertOn-audio-loss")->stop();
        QMetaObject::invokeMethod(m.findChild<QTimer*>("tmrAlertOn-audio-loss"), "timeout");
        QTRY_COMPARE_WITH_TIMEOUT(ok.count() + failed.count(), 1, 30000);
        QTest::qWait(50); // a stray extra request would arrive now
        QCOMPARE(hook.bodies.size(), requests);
        if (failure.isEmpty()) {
            QCOMPARE(ok.first(), (QVariantList{"audio-loss", "on", "webhook"}));
        } else {
            QCOMPARE(failed.first().at(0).toString(), "webhook audio-loss on");
            QCOMPARE(failed.first().at(1).toString(), failure);
        }
        // Backoff doubles: 100 ms, then 200 ms.
        for (int i = 1; i < hook.arrivals.size(); ++i)
            QVERIFY2(hook.arrivals[i] - hook.arrivals[i - 1] >= 100 * (1 << (i - 1)) - 5,
                     qPrintable(QString::number(hook.arrivals[i] - hook.arrivals[i - 1])));
        const QJsonObject body = QJsonDocument::fromJson(hook.bodies.first()).object();
        QCOMPARE(body["event"].toString(), "audio-loss");
        QCOMPARE(body["state"].toString(), "on");
        QCOMPARE(body["port"].toString(), "tcp://127.0.0.1:4001");
        QCOMPARE(body["carrier"].toInt(), 100);
        QCOMPARE(body["pos"].toInt(), 20);
        QVERIFY(body["text"].toString().contains("audio-loss on"));
        QVERIFY(hook.heads.first().toLower().contains("content-type: application/json"));
        QVERIFY(hook.heads.first().startsWith("POST /hook "));
    }

    void nobodyListening() {
        quint16 port;
        {
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost, 0);
            port = probe.serverPort();
        }
        zel::AlertManager m;
        m.setWebhookBackoffMs(20);
        zel::AlertSettings s;
        s.webhookUrl = QString("http://127.0.0.1:%1/").arg(port);
        m.setSettings(s);
        QSignalSpy failed(&m, &zel::AlertManager::alertFailed);
        QSignalSpy dispatched(&m, &zel::AlertManager::dispatched);
        m.sendTestAlert();
        QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 30000);
        QVERIFY2(failed.first().at(1).toString().endsWith("(3 of 3 tries)"),
                 qPrintable(failed.first().at(1).toString()));
        QCOMPARE(dispatched.count(), 3);
    }

    void unusableUrlIsReported() {
        zel::AlertManager m;
        zel::AlertSettings s;
        s.webhookUrl = "file:///etc/passwd";
        m.setSettings(s);
        QSignalSpy failed(&m, &zel::AlertManager::alertFailed);
        QSignalSpy dispatched(&m, &zel::AlertManager::dispatched);
        m.sendTestAlert();
        QCOMPARE(failed.count(), 1);
        QVERIFY(failed.first().at(1).toString().contains("only http"));
        QCOMPARE(dispatched.count(), 0);
    }
};
ZEL_TEST(WebhookTest)

#include "tst_webhook.moc"
