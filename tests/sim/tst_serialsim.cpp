// The serial transport against zel-monitor-sim on a pseudo-terminal, the
// simulator's own options and faults, and the built-in stand-in.
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>

#include <unistd.h>

#include "core/transport/alarm.h"
#include "core/transport/serialtransport.h"
#include "core/transport/transportfactory.h"
#include "support/simprocess.h"
#include "support/testmain.h"

namespace {

int countPackets(const QByteArray& stream) {
    static const QRegularExpression re(QStringLiteral("x[0-9]{9}"));
    int n = 0;
    for (auto it = re.globalMatch(QString::fromLatin1(stream)); it.hasNext(); it.next())
        ++n;
    return n;
}
bool isPacket(const QByteArray& text) {
    return text.size() == 10 && countPackets(text) == 1;
}

struct LogEntry {
    QByteArray text;
    QByteArray status;
    QByteArray noise; // raw bytes
};

// The simulator's log: time, reply, status and, with noise, its bytes.
QList<LogEntry> readLog(const QString& path) {
    QList<LogEntry> entries;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return entries;
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 3) continue;
        LogEntry e{fields[1], fields[2], {}};
        if (fields.size() > 3 && fields[3].startsWith("noise="))
            e.noise = QByteArray::fromHex(fields[3].mid(6));
        entries.append(e);
    }
    return entries;
}

// Collects everything the port receives, arrival by arrival.
struct Receiver {
    explicit Receiver(zel::Transport& p)
        : port(p) {
        connection = QObject::connect(&port, &zel::Transport::readyRead, &port, [this] {
            const QByteArray chunk = port.readAll();
            if (chunk.isEmpty()) return;
            data += chunk;
            chunks.append(chunk);
        });
    }
    ~Receiver() { QObject::disconnect(connection); }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    bool waitFor(qsizetype bytes, int timeoutMs = 5000) {
        return QTest::qWaitFor([&] { return data.size() >= bytes; }, timeoutMs);
    }
    bool waitForEnd(const QByteArray& tail) {
        return QTest::qWaitFor([&] { return data.endsWith(tail); }, 5000);
    }
    QByteArray take() {
        chunks.clear();
        return std::exchange(data, {});
    }
    zel::Transport& port;
    QMetaObject::Connection connection;
    QByteArray data;
    QList<QByteArray> chunks;
};

} // namespace

class SerialSimTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString file(const QString& name) const { return m_dir.filePath(name); }
    QString writeFile(const QString& name, const QByteArray& content) const {
        QFile f(file(name));
        if (!f.open(QIODevice::WriteOnly)) qFatal("cannot write %s", qPrintable(name));
        f.write(content);
        return f.fileName();
    }

    // The transport for a port text, with line settings if it is serial.
    static std::unique_ptr<zel::Transport> transport(const QString& text,
                                                     const QString& settings = QStringLiteral("9600,n,8,1")) {
        QString error;
        std::unique_ptr<zel::Transport> t = zel::makeTransport(text, &error);
        if (!t) qFatal("%s", qPrintable(error));
        if (auto* serial = qobject_cast<zel::SerialTransport*>(t.get())) serial->setLineSettings(settings);
        return t;
    }
    // Starts the simulator and opens the serial transport on its device.
    std::unique_ptr<zel::Transport> startAndOpen(zeltest::SimProcess& sim, const QStringList& args) {
        if (!sim.start(args)) {
            qWarning("%s", qPrintable(sim.errorText()));
            return nullptr;
        }
        auto port = transport(sim.devicePath());
        if (port->openLink()) return port;
        qWarning("%s", qPrintable(port->errorString()));
        return nullptr;
    }
    static void reopen(std::unique_ptr<zel::Transport>& port, const QString& settings) {
        port->close();
        static_cast<zel::SerialTransport*>(port.get())->setLineSettings(settings);
        QVERIFY2(port->openLink(), qPrintable(port->errorString()));
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    // Each request is answered at line pace with the script's next reading.
    void scriptPlaysInOrder_data() {
        QTest::addColumn<bool>("loop");
        QTest::addColumn<QByteArrayList>("expected");
        QTest::newRow("held") << false
                              << QByteArrayList{"x196040181", "x255243039", "x039040042", "x039040042"};
        QTest::newRow("looped") << true
                                << QByteArrayList{"x196040181", "x255243039", "x039040042", "x196040181"};
    }
    void scriptPlaysInOrder() {
        QFETCH(bool, loop);
        QFETCH(QByteArrayList, expected);
        const QString script =
            writeFile(QStringLiteral("order.txt"),
                      "# readings\n196040181\n\n  x255243039   # the packet form\r\n039040042\n");
        zeltest::SimProcess sim;
        std::unique_ptr<zel::Transport> p;
        QVERIFY(p = startAndOpen(sim, QStringList{"--script", script} +
                                          (loop ? QStringList{"--loop"} : QStringList{})));
        QVERIFY(sim.devicePath().startsWith(QStringLiteral("/dev/")));
        Receiver rx(*p);
        for (const QByteArray& want : expected) {
            QElapsedTimer t;
            t.start();
            QCOMPARE(p->write("x"), 1);
            QVERIFY(rx.waitFor(10));
            // Ten characters at 9600 baud cannot arrive in under 10.4 ms.
            QVERIFY2(t.nsecsElapsed() >= 9'500'000, qPrintable(QString::number(t.nsecsElapsed())));
            QCOMPARE(rx.take(), want);
        }
    }

    // Four requests at once under each fault kind, as received and as the
    // log tells it: a dropped reply never comes, a garbled one is never a
    // packet, noise comes before its reply, a split reply arrives in pieces.
    // Replies follow one another at line pace, after any delay.
    void faults_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArrayList>("statuses"); // sorted
        QTest::addColumn<int>("packets");
        QTest::addColumn<int>("minMs");
        const QByteArrayList ok(4, "ok");
        QTest::newRow("none") << QStringList{} << ok << 4 << 40;
        QTest::newRow("delay") << QStringList{"--delay", "150"} << ok << 4 << 190;
        QTest::newRow("drop") << QStringList{"--drop", "2"}
                              << QByteArrayList{"dropped", "dropped", "ok", "ok"} << 2 << 20;
        QTest::newRow("garble") << QStringList{"--garble", "1"} << QByteArrayList(4, "garbled") << 0 << 40;
        QTest::newRow("noise") << QStringList{"--noise", "1"} << QByteArrayList(4, "noise") << 4 << 40;
        QTest::newRow("split") << QStringList{"--split", "1", "--split-pause", "100"}
                               << QByteArrayList(4, "split") << 4 << 400;
    }
    void faults() {
        QFETCH(QStringList, args);
        QFETCH(QByteArrayList, statuses);
        QFETCH(int, minMs);
        const QString log = file(QString::fromLatin1(QTest::currentDataTag()) + QStringLiteral(".log"));
        zeltest::SimProcess sim;
        std::unique_ptr<zel::Transport> p;
        QVERIFY(p = startAndOpen(sim, args + QStringList{"--log", log}));
        Receiver rx(*p);
        QElapsedTimer t;
        t.start();
        p->write("xxxx");
        QTRY_COMPARE(readLog(log).size(), 4);
        QByteArrayList seen;
        QByteArray expected;
        for (const LogEntry& e : readLog(log)) {
            seen << e.status;
            if (e.status == "dropped") continue; // logged when dropped, ahead of replies on the line
            QCOMPARE(e.noise.isEmpty(), e.status != "noise");
            QVERIFY(!e.noise.contains('x'));
            expected += e.noise + e.text;
        }
        std::sort(seen.begin(), seen.end());
        QCOMPARE(seen, statuses);
        QVERIFY(rx.waitFor(expected.size()));
        QVERIFY2(t.elapsed() >= minMs, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(rx.data, expected);
        QTEST(countPackets(rx.data), "packets");
        if (args.contains(QStringLiteral("--split"))) QVERIFY(rx.chunks.first().size() < 10);
    }

    // After a request the port stops watching the line until the reply
    // should be complete, then reads it whole; a reply not there when due is
    // reported overdue, and the port watches the line again.
    void awaitReplyReadsTheReplyWholeWhenDue_data() {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<qint64>("charNs");
        QTest::newRow("9600 8N1") << QStringLiteral("9600,n,8,1") << qint64(1'041'666); // 10 bits
        QTest::newRow("1200 8N2") << QStringLiteral("1200,n,8,2") << qint64(9'166'666); // 11 bits
    }
    void awaitReplyReadsTheReplyWholeWhenDue() {
        QFETCH(QString, settings);
        QFETCH(qint64, charNs);
        zeltest::SimProcess sim;
        std::unique_ptr<zel::Transport> p;
        QVERIFY(p = startAndOpen(sim, {"--script", writeFile(QStringLiteral("one.txt"), "196040181\n")}));
        reopen(p, settings);
        QCOMPARE(p->characterTimeNs(), charNs);
        auto* wait = p->findChild<zel::Alarm*>(QStringLiteral("replyWait"));
        QVERIFY(wait);
        QSignalSpy overdue(p.get(), &zel::Transport::replyOverdue);
        Receiver rx(*p);

        // The request crosses the line, then the ten characters of the reply,
        // and a little more for the last one's own timing.
        const qint64 before = zel::Alarm::nowNs();
        p->write("x");
        p->awaitReply(10);
        const qint64 after = zel::Alarm::nowNs();
        QVERIFY(wait->isActive());
        const qint64 margin = charNs * 15 / 100;
        QVERIFY(wait->deadlineNs() >= before + 11 * charNs + margin);
        QVERIFY(wait->deadlineNs() <= after + 11 * charNs + margin);
        // Held past the reply's end: nothing is reported while muted.
        wait->stop();
        QTest::qWait(150);
        QVERIFY(rx.data.isEmpty());
        // Due: the whole reply is there, in one read.
        emit wait->timeout();
        QVERIFY(rx.waitFor(10, 2000));
        QCOMPARE(rx.chunks, QByteArrayList{"x196040181"});
        QCOMPARE(overdue.count(), 0);

        // The line has long been idle and the last request is old: a reply
        // is due no sooner than its characters can cross the line.
        const qint64 idleFrom = zel::Alarm::nowNs();
        p->awaitReply(10);
        QVERIFY(wait->deadlineNs() >= idleFrom + 9 * charNs + margin);
        QVERIFY(wait->deadlineNs() <= zel::Alarm::nowNs() + 9 * charNs + margin);
        // Nothing came: overdue, with nothing in; then read as it comes.
        wait->expire();
        QCOMPARE(overdue.count(), 1);
        QCOMPARE(overdue.first().first().toInt(), 0);
        // A reply read as it came ends at that read: the one behind it runs
        // on from there and is due ten characters later.
        qint64 readAt = 0;
        qint64 nextDue = 0;
        const auto onRead = connect(p.get(), &zel::Transport::readyRead, p.get(), [&] {
            if (readAt) return;
            readAt = zel::Alarm::nowNs();
            p->awaitReply(10);
            nextDue = wait->deadlineNs();
        });
        p->write("x");
        QVERIFY(rx.waitFor(20, 2000));
        QCOMPARE(rx.data, QByteArray("x196040181x196040181"));
        disconnect(onRead);
        QVERIFY(nextDue > readAt + 19 * charNs / 2 + margin);
        QVERIFY(nextDue <= readAt + 10 * charNs + margin);

        // Closing ends a pending wait; a reopened port reports as usual.
        p->write("x");
        p->awaitReply(10);
        p->close();
        QVERIFY(!wait->isActive());
        QVERIFY(p->openLink());
        rx.take();
        // The rest of the reply cut off by the close may still come first.
        p->write("x");
        QVERIFY(rx.waitForEnd("x196040181"));
        QCOMPARE(overdue.count(), 1);
    }

    // A reply found whole when due, with the next one behind it, is placed
    // when it was found, not at the read that follows, however late: the
    // reply after it runs on from there. The port reckons with 1200 8N2 while
    // the stand-in answers at 9600, so both replies are in long before the
    // first is due.
    void replyFoundWholeIsPlacedWhenFound() {
        zeltest::SimProcess sim;
        std::unique_ptr<zel::Transport> p;
        QVERIFY(p = startAndOpen(sim, {"--script", writeFile(QStringLiteral("one.txt"), "196040181\n")}));
        reopen(p, QStringLiteral("1200,n,8,2"));
        const qint64 c = p->characterTimeNs();
        auto* wait = p->findChild<zel::Alarm*>(QStringLiteral("replyWait"));
        QVERIFY(wait);
        Receiver rx(*p);
        p->write("xx");
        p->awaitReply(10);
        wait->stop();
        QTest::qWait(100);
        QVERIFY(rx.data.isEmpty());

        qint64 readAt = 0;
        qint64 nextDue = 0;
        connect(p.get(), &zel::Transport::readyRead, p.get(), [&] {
            if (readAt) return;
            readAt = zel::Alarm::nowNs();
            p->awaitReply(10);
            nextDue = wait->deadlineNs();
        });
        const qint64 before = zel::Alarm::nowNs();
        emit wait->timeout();
        const qint64 after = zel::Alarm::nowNs();
        // The panel is busy for a moment before it reads.
        QThread::usleep(3000);
        QVERIFY(rx.waitFor(20, 2000));
        QCOMPARE(rx.chunks.first(), QByteArray("x196040181x196040181"));
        // Read so late that the line counts as idle: nothing to tell.
        if (readAt - before >= 2 * c) QSKIP("the read came too late to tell");
        const qint64 margin = c * 15 / 100;
        QVERIFY(nextDue >= before + 10 * c + margin);
        QVERIFY2(nextDue <= after + 10 * c + margin,
                 qPrintable(QStringLiteral("%1 us late").arg((nextDue - after - 10 * c - margin) / 1000)));
    }

    void vanishingDeviceFailsThePortOnce() {
        zeltest::SimProcess sim;
        std::unique_ptr<zel::Transport> p;
        QVERIFY(p = startAndOpen(sim, {"--vanish-after", "2", "--vanish-gap", "100"}));
        const QString first = sim.devicePath();
        QSignalSpy failed(p.get(), &zel::Transport::failed);
        Receiver rx(*p);
        p->write("x");
        QVERIFY(rx.waitFor(10));
        p->write("x");
        QVERIFY(rx.waitFor(20));
        QCOMPARE(countPackets(rx.data), 2);
        QTRY_COMPARE(failed.count(), 1);
        QVERIFY(!p->isOpen());
        QVERIFY(failed.first().first().toString().contains(first));
        QCOMPARE(p->errorString(), failed.first().first().toString());
        // A dead port is quiet: no second report, nothing to read or write.
        QTest::qWait(300);
        QCOMPARE(failed.count(), 1);
        QCOMPARE(p->bytesAvailable(), 0);
        QCOMPARE(p->write("x"), -1);
        // The monitor comes back on a new device.
        QTRY_COMPARE(sim.paths().size(), 2);
        QVERIFY(sim.devicePath() != first);
        QObject::disconnect(rx.connection);
        p = transport(sim.devicePath());
        QVERIFY2(p->openLink(), qPrintable(p->errorString()));
        Receiver again(*p);
        p->write("x");
        QVERIFY(again.waitFor(10));
        QVERIFY(isPacket(again.data));
        QCOMPARE(failed.count(), 1);
    }

    void builtInStandInAnswers() {
        std::unique_ptr<zel::Transport> p = transport(QStringLiteral("sim  "));
        QVERIFY(p->openLink());
        Receiver rx(*p);
        QElapsedTimer t;
        t.start();
        p->write("xxx"); // requests queue on the simulated line
        QVERIFY(rx.waitFor(30));
        QVERIFY(t.elapsed() >= 30);
        QCOMPARE(countPackets(rx.take()), 3);
        // Waiting input can be thrown away.
        QObject::disconnect(rx.connection);
        p->write("x");
        QTRY_COMPARE(p->bytesAvailable(), 10);
        p->discardInput();
        QCOMPARE(p->bytesAvailable(), 0);
        p->close();
        QCOMPARE(p->write("x"), -1);
        // Closing from the reply's own readyRead is safe, as a panel does on
        // Disconnect.
        QVERIFY(p->openLink());
        int replies = 0;
        connect(p.get(), &zel::Transport::readyRead, this, [&] {
            ++replies;
            p->close();
        });
        p->write("x");
        QTRY_COMPARE(replies, 1);
        QVERIFY(!p->isOpen());
        QTest::qWait(30);
        QCOMPARE(replies, 1);
    }

    void openFailuresAreExplained_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QString>("message");
        const QString plain = writeFile(QStringLiteral("plain-file"), "");
        const QString locked = writeFile(QStringLiteral("locked"), "");
        QVERIFY(QFile::setPermissions(locked, {}));
        const QString line = QStringLiteral("9600,n,8,1");
        QTest::newRow("missing device") << "/dev/zel-no-such-port" << line << "does not exist";
        QTest::newRow("not a port") << "LPT" << line << "\"LPT\" does not name a serial port";
        QTest::newRow("bad settings") << plain << "9600,q,8,1"
                                      << "9600,q,8,1";
        QTest::newRow("plain file") << plain << line << plain + " is not a serial port";
        QTest::newRow("permission denied") << locked << line << "Permission";
    }
    void openFailuresAreExplained() {
        QFETCH(QString, text);
        QFETCH(QString, settings);
        QFETCH(QString, message);
        if (message == QLatin1String("Permission") && ::geteuid() == 0) QSKIP("root may open any device");
        QString error;
        std::unique_ptr<zel::Transport> p = zel::makeTransport(text, &error);
        if (!p) {
            QVERIFY2(error.contains(message), qPrintable(error));
            return;
        }
        if (auto* serial = qobject_cast<zel::SerialTransport*>(p.get())) serial->setLineSettings(settings);
        QVERIFY(!p->openLink());
        QVERIFY(!p->isOpen());
        QVERIFY2(p->errorString().contains(message), qPrintable(p->errorString()));
        QCOMPARE(p->bytesAvailable(), 0);
        QVERIFY(p->readAll().isEmpty());
    }

    void busyDeviceIsExplained() {
        zeltest::SimProcess sim;
        std::unique_ptr<zel::Transport> first;
        QVERIFY(first = startAndOpen(sim, {}));
        std::unique_ptr<zel::Transport> second = transport(sim.devicePath());
        QVERIFY(!second->openLink());
        QVERIFY2(second->errorString().contains(QStringLiteral("busy")), qPrintable(second->errorString()));
        // The first keeps working.
        Receiver rx(*first);
        first->write("x");
        QVERIFY(rx.waitFor(10));
        QVERIFY(isPacket(rx.data));
    }
};

ZEL_TEST(SerialSimTest)
#include "tst_serialsim.moc"
