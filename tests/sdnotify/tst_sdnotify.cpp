// The logger's notifications to systemd, read from a datagram socket that
// stands in for the service manager's.
#include "logger/sdnotify.h"
#include "support/testmain.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <cstring>
#include <optional>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// A bound datagram socket that keeps what is sent to it. `name` is a path or
// "@" and an abstract name, as NOTIFY_SOCKET is written.
class Manager {
public:
    explicit Manager(const QByteArray& name) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
        if (name.startsWith('@')) address.sun_path[0] = '\0';
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        bound = ::bind(m_fd, reinterpret_cast<sockaddr*>(&address),
                       socklen_t(offsetof(sockaddr_un, sun_path) + size_t(name.size()))) == 0;
        qputenv("NOTIFY_SOCKET", name);
    }
    ~Manager() { ::close(m_fd); }
    // The next message; empty when none waits.
    QByteArray next() const {
        char buffer[256];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        return n > 0 ? QByteArray(buffer, n) : QByteArray();
    }
    bool bound = false;

private:
    int m_fd = -1;
};

} // namespace

class TestSdNotify : public QObject {
    Q_OBJECT
private slots:
    void init() {
        for (const char* name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"})
            qunsetenv(name);
    }

    // READY, a status, the watchdog at half its period and STOPPING at quit,
    // to a socket path or an abstract name.
    void notifies_data() {
        QTest::addColumn<bool>("abstract");
        QTest::newRow("path") << false;
        QTest::newRow("abstract") << true;
    }
    void notifies() {
        QFETCH(bool, abstract);
        QTemporaryDir dir;
        Manager manager(abstract ? "@zel-sdnotify-test-" + QByteArray::number(qint64(::getpid()))
                                 : QFile::encodeName(dir.filePath(QStringLiteral("notify"))));
        QVERIFY(manager.bound);
        qputenv("WATCHDOG_USEC", "30000000");
        qputenv("WATCHDOG_PID", QByteArray::number(qint64(::getpid())));
        zel::SdNotify notify;
        QVERIFY(notify.available());
        // A program the logger starts must not find the socket.
        QVERIFY(qEnvironmentVariableIsEmpty("NOTIFY_SOCKET"));
        notify.ready();
        QCOMPARE(manager.next(), QByteArray("READY=1"));
        QVERIFY(notify.send("STATUS=watching 2 monitors"));
        QCOMPARE(manager.next(), QByteArray("STATUS=watching 2 monitors"));
        notify.startWatchdog();
        QTimer* timer = notify.watchdogTimer();
        QVERIFY(timer && timer->isActive());
        QCOMPARE(timer->interval(), 15000);
        QVERIFY(manager.next().isEmpty());
        QVERIFY(QMetaObject::invokeMethod(timer, "timeout"));
        QCOMPARE(manager.next(), QByteArray("WATCHDOG=1"));
        QVERIFY(QMetaObject::invokeMethod(QCoreApplication::instance(), "aboutToQuit"));
        QCOMPARE(manager.next(), QByteArray("STOPPING=1"));
    }

    // No watchdog for a period meant for another process, outside systemd, or
    // for a period that is no number.
    void noWatchdog_data() {
        QTest::addColumn<bool>("socket");
        QTest::addColumn<QByteArray>("usec");
        QTest::addColumn<QByteArray>("pid");
        QTest::newRow("another process") << true << QByteArray("30000000") << QByteArray("1");
        QTest::newRow("not a number") << true << QByteArray("30s") << QByteArray();
        QTest::newRow("outside systemd") << false << QByteArray("30000000") << QByteArray();
    }
    void noWatchdog() {
        QFETCH(bool, socket);
        QFETCH(QByteArray, usec);
        QFETCH(QByteArray, pid);
        QTemporaryDir dir;
        std::optional<Manager> manager;
        if (socket) manager.emplace(QFile::encodeName(dir.filePath(QStringLiteral("notify"))));
        qputenv("WATCHDOG_USEC", usec);
        if (!pid.isEmpty()) qputenv("WATCHDOG_PID", pid);
        zel::SdNotify notify;
        QCOMPARE(notify.available(), socket);
        notify.ready(); // harmless either way
        notify.startWatchdog();
        QVERIFY(!notify.watchdogTimer());
    }

    // The logger says it is ready once its monitors are set up, feeds the
    // watchdog while it runs, and says when it is stopping.
    void loggerNotifies() {
        QTemporaryDir dir;
        Manager manager(QFile::encodeName(dir.filePath(QStringLiteral("notify"))));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("WATCHDOG_USEC", "400000");
        QProcess logger;
        logger.setProcessEnvironment(env);
        logger.start(QStringLiteral(ZEL_LOGGER), {"--port", "SIM", "--for", "0.7", "--no-history"});
        QVERIFY(logger.waitForFinished(30000));
        QCOMPARE(logger.exitCode(), 0);
        QByteArrayList got;
        for (QByteArray m = manager.next(); !m.isEmpty(); m = manager.next())
            got << m;
        QVERIFY2(got.size() >= 3 && got.front() == "READY=1" && got.contains("WATCHDOG=1") &&
                     got.back() == "STOPPING=1",
                 got.join(' ').constData());
    }
};

ZEL_TEST(TestSdNotify)
#include "tst_sdnotify.moc"
