// The real serial class against zel-monitor-sim on a pseudo-terminal, and
// against the in-process stand-in.
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <algorithm>

#include <unistd.h>

#include "core/transport/alarm.h"
#include "core/transport/serialtransport.h"
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
    explicit Receiver(SerialPort& p)
        : port(p) {
        connection = QObject::connect(&port, &SerialIo::readyRead, &port, [this] {
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
    // Sends a command and takes the reply that ends with `tail`.
    QByteArray ask(const QByteArray& command, const QByteArray& tail) {
        port.write(command);
        return waitForEnd(tail) ? take() : QByteArray("(no reply to ") + command + ")";
    }
    SerialPort& port;
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

    // Starts the simulator and opens the real port on its device.
    bool startAndOpen(zeltest::SimProcess& sim, SerialPort& port, const QStringList& args) {
        if (!sim.start(args)) {
            qWarning("%s", qPrintable(sim.errorText()));
            return false;
        }
        port.setPortText(sim.devicePath());
        port.setSettings(QStringLiteral("9600,n,8,1"));
        if (port.open()) return true;
        qWarning("%s", qPrintable(port.errorString()));
        return false;
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
        SerialPort port;
        QVERIFY(startAndOpen(
            sim, port, QStringList{"--script", script} + (loop ? QStringList{"--loop"} : QStringList{})));
        QVERIFY(sim.devicePath().startsWith(QStringLiteral("/dev/")));
        Receiver rx(port);
        for (const QByteArray& want : expected) {
            QElapsedTimer t;
            t.start();
            QCOMPARE(port.write("x"), 1);
            QVERIFY(rx.waitFor(10));
            // Ten characters at 9600 baud cannot arrive in under 10.4 ms.
            QVERIFY2(t.nsecsElapsed() >= 9'500'000, qPrintable(QString::number(t.nsecsElapsed())));
            QCOMPARE(rx.take(), want);
        }
    }

    void badCommandLinesAreRefused_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        const QString none = file(QStringLiteral("none"));
        const QString bad = writeFile(QStringLiteral("bad.txt"), "196040181\n19604018\n");
        QTest::newRow("unknown option") << QStringList{"--bogus"} << "--bogus";
        QTest::newRow("bad rate") << QStringList{"--drop", "often"} << "often";
        QTest::newRow("missing value") << QStringList{"--delay"} << "--delay";
        QTest::newRow("missing script") << QStringList{"--script", none} << none;
        QTest::newRow("bad script line") << QStringList{"--script", bad} << "line 2";
    }
    void badCommandLinesAreRefused() {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        QProcess p;
        p.start(zeltest::SimProcess::program(), args);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 2);
        QVERIFY(p.readAllStandardOutput().isEmpty()); // no device path
        QVERIFY(QString::fromLocal8Bit(p.readAllStandardError()).contains(message));
    }

    void helpNamesEveryOption() {
        QProcess p;
        p.start(zeltest::SimProcess::program(), {QStringLiteral("--help")});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
        const QByteArray help = p.readAllStandardOutput();
        for (const QByteArray& option :
             QByteArray(
                 "--seed --script --loop --delay --log --drop --garble --split --split-pause --noise "
                 "--silent-after --silent-for --vanish-after --vanish-gap --modem --dial-delay --busy-number "
                 "--no-dialtone-number --no-carrier-number --no-answer-number --silent-number")
                 .split(' '))
            QVERIFY2(help.contains(option), option.constData());
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
        SerialPort port;
        QVERIFY(startAndOpen(sim, port, args + QStringList{"--log", log}));
        Receiver rx(port);
        QElapsedTimer t;
        t.start();
        port.write("xxxx");
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

    void silenceThenAnswersAgain() {
        zeltest::SimProcess sim;
        SerialPort port;
        QVERIFY(startAndOpen(sim, port, {"--silent-after", "2", "--silent-for", "1"}));
        QList<qint64> arrivals;
        QElapsedTimer clock;
        clock.start();
        QByteArray buffer;
        connect(&port, &SerialIo::readyRead, this, [&] {
            buffer += port.readAll();
            for (; buffer.size() >= 10; buffer.remove(0, 10)) {
                QVERIFY(isPacket(buffer.left(10)));
                arrivals.append(clock.elapsed());
            }
        });
        // Poll every 50 ms, as a panel that keeps asking.
        QTimer poll;
        connect(&poll, &QTimer::timeout, &port, [&] { port.write("x"); });
        poll.start(50);
        QTRY_VERIFY_WITH_TIMEOUT(arrivals.size() >= 3, 10000);
        poll.stop();
        QVERIFY2(arrivals[2] - arrivals[1] >= 900, qPrintable(QString::number(arrivals[2] - arrivals[1])));
        QVERIFY(arrivals[1] - arrivals[0] < 500);
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
        SerialPort port;
        QVERIFY(startAndOpen(sim, port, {"--script", writeFile(QStringLiteral("one.txt"), "196040181\n")}));
        port.close();
        port.setSettings(settings);
        QVERIFY2(port.open(), qPrintable(port.errorString()));
        QCOMPARE(port.characterTimeNs(), charNs);
        auto* wait = port.findChild<zel::Alarm*>(QStringLiteral("replyWait"));
        QVERIFY(wait);
        QSignalSpy overdue(&port, &SerialIo::replyOverdue);
        Receiver rx(port);

        // The request crosses the line, then the ten characters of the reply,
        // and a little more for the last one's own timing.
        const qint64 before = zel::Alarm::nowNs();
        port.write("x");
        port.setReadThreshold(10);
        port.awaitReply(10);
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
        port.awaitReply(10);
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
        const auto onRead = connect(&port, &SerialIo::readyRead, &port, [&] {
            if (readAt) return;
            readAt = zel::Alarm::nowNs();
            port.awaitReply(10);
            nextDue = wait->deadlineNs();
        });
        port.write("x");
        QVERIFY(rx.waitFor(20, 2000));
        QCOMPARE(rx.data, QByteArray("x196040181x196040181"));
        disconnect(onRead);
        QVERIFY(nextDue > readAt + 19 * charNs / 2 + margin);
        QVERIFY(nextDue <= readAt + 10 * charNs + margin);

        // Closing ends a pending wait; a reopened port reports as usual.
        port.write("x");
        port.awaitReply(10);
        port.close();
        QVERIFY(!wait->isActive());
        QVERIFY(port.open());
        rx.take();
        // The rest of the reply cut off by the close may still come first.
        port.write("x");
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
        SerialPort port;
        QVERIFY(startAndOpen(sim, port, {"--script", writeFile(QStringLiteral("one.txt"), "196040181\n")}));
        port.close();
        port.setSettings(QStringLiteral("1200,n,8,2"));
        QVERIFY2(port.open(), qPrintable(port.errorString()));
        const qint64 c = port.characterTimeNs();
        auto* wait = port.findChild<zel::Alarm*>(QStringLiteral("replyWait"));
        QVERIFY(wait);
        Receiver rx(port);
        port.write("xx");
        port.setReadThreshold(10);
        port.awaitReply(10);
        wait->stop();
        QTest::qWait(100);
        QVERIFY(rx.data.isEmpty());

        qint64 readAt = 0;
        qint64 nextDue = 0;
        connect(&port, &SerialIo::readyRead, &port, [&] {
            if (readAt) return;
            readAt = zel::Alarm::nowNs();
            port.awaitReply(10);
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
        SerialPort port;
        QVERIFY(startAndOpen(sim, port, {"--vanish-after", "2", "--vanish-gap", "100"}));
        const QString first = sim.devicePath();
        QSignalSpy failed(&port, &SerialIo::failed);
        Receiver rx(port);
        port.write("x");
        QVERIFY(rx.waitFor(10));
        port.write("x");
        QVERIFY(rx.waitFor(20));
        QCOMPARE(countPackets(rx.data), 2);
        QTRY_COMPARE(failed.count(), 1);
        QVERIFY(!port.isOpen());
        QVERIFY(failed.first().first().toString().contains(first));
        QCOMPARE(port.errorString(), failed.first().first().toString());
        // A dead port is quiet: no second report, nothing to read or write.
        QTest::qWait(300);
        QCOMPARE(failed.count(), 1);
        QCOMPARE(port.bytesAvailable(), 0);
        QCOMPARE(port.write("x"), -1);
        // The monitor comes back on a new device.
        QTRY_COMPARE(sim.paths().size(), 2);
        QVERIFY(sim.devicePath() != first);
        port.setPortText(sim.devicePath());
        QVERIFY2(port.open(), qPrintable(port.errorString()));
        rx.take();
        port.write("x");
        QVERIFY(rx.waitFor(10));
        QVERIFY(isPacket(rx.data));
        QCOMPARE(failed.count(), 1);
    }

    void modemDialogue() {
        zeltest::SimProcess sim;
        SerialPort port;
        QVERIFY(startAndOpen(sim, port,
                             {"--modem", "--dial-delay", "100", "--busy-number", "555",
                              "--no-dialtone-number", "666", "--no-carrier-number", "777",
                              "--no-answer-number", "888", "--silent-number", "999"}));
        {
            Receiver rx(port);
            // Echo on until ate0; the set-up commands are answered OK.
            QCOMPARE(rx.ask("ATM1L1\r", "OK\r\n"), QByteArray("ATM1L1\rOK\r\n"));
            QCOMPARE(rx.ask("ate0\r", "OK\r\n"), QByteArray("ate0\rOK\r\n"));
            QCOMPARE(rx.ask("AT&F S7=45\r", "OK\r\n"), QByteArray("OK\r\n"));
            // Before the call connects, "x" is just a command character.
            QCOMPARE(rx.ask("ATDT9,,*70,,5551234\r", "9600\r\n"), QByteArray("\r\nCONNECT 9600\r\n"));
            port.write("x");
            QVERIFY(rx.waitFor(10));
            QVERIFY(isPacket(rx.take()));
        }
        // Closing the port hangs up: command mode with echo on again.
        port.close();
        QVERIFY(port.open());
        Receiver rx(port);
        QCOMPARE(rx.ask("AT\r", "OK\r\n"), QByteArray("AT\rOK\r\n"));
        rx.ask("ate0\r", "OK\r\n");
        for (const auto& [dial, result] : {std::pair<QByteArray, QByteArray>{"ATDT555\r", "\r\nBUSY\r\n"},
                                           {"ATDP1,,666\r", "\r\nNO DIALTONE\r\n"},
                                           {"ATDT777\r", "\r\nNO CARRIER\r\n"},
                                           {"ATDT888\r", "\r\nNO ANSWER\r\n"}})
            QCOMPARE(rx.ask(dial, result), result);
        // Still in command mode after a failed call.
        port.write("x");
        // A number that never answers; hanging up ends the call.
        port.write("ATDT999\r");
        QTest::qWait(400);
        QVERIFY(rx.take().isEmpty());
        port.close();
        QVERIFY(port.open());
        QCOMPARE(rx.ask("ATDT123\r", "9600\r\n").right(14), QByteArray("CONNECT 9600\r\n"));
    }

    void builtInStandInAnswers() {
        SerialPort port;
        port.setPortText(QStringLiteral("sim  "));
        port.setSettings(QStringLiteral("9600,n,8,1"));
        QVERIFY(port.open());
        Receiver rx(port);
        QElapsedTimer t;
        t.start();
        port.write("xxx"); // requests queue on the simulated line
        QVERIFY(rx.waitFor(30));
        QVERIFY(t.elapsed() >= 30);
        QCOMPARE(countPackets(rx.take()), 3);
        // Waiting input can be thrown away.
        QObject::disconnect(rx.connection);
        port.write("x");
        QTRY_COMPARE(port.bytesAvailable(), 10);
        port.discardInput();
        QCOMPARE(port.bytesAvailable(), 0);
        port.close();
        QCOMPARE(port.write("x"), -1);
        // Closing from the reply's own readyRead is safe, as a panel does on
        // Disconnect.
        QVERIFY(port.open());
        int replies = 0;
        connect(&port, &SerialIo::readyRead, this, [&] {
            ++replies;
            port.close();
        });
        port.write("x");
        QTRY_COMPARE(replies, 1);
        QVERIFY(!port.isOpen());
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
        QTest::newRow("nothing chosen") << QString() << line << "No serial port";
        QTest::newRow("bad settings") << "SIM"
                                      << "9600,q,8,1"
                                      << "9600,q,8,1";
        QTest::newRow("plain file") << plain << line << plain + " is not a serial port";
        QTest::newRow("permission denied") << locked << line << "Permission";
    }
    void openFailuresAreExplained() {
        QFETCH(QString, text);
        QFETCH(QString, settings);
        QFETCH(QString, message);
        if (message == QLatin1String("Permission") && ::geteuid() == 0) QSKIP("root may open any device");
        SerialPort port;
        port.setPortText(text);
        port.setSettings(settings);
        QVERIFY(!port.open());
        QVERIFY(!port.isOpen());
        QVERIFY2(port.errorString().contains(message), qPrintable(port.errorString()));
        QCOMPARE(port.bytesAvailable(), 0);
        QVERIFY(port.readAll().isEmpty());
    }

    void busyDeviceIsExplained() {
        zeltest::SimProcess sim;
        SerialPort first;
        QVERIFY(startAndOpen(sim, first, {}));
        SerialPort second;
        second.setPortText(sim.devicePath());
        QVERIFY(!second.open());
        QVERIFY2(second.errorString().contains(QStringLiteral("busy")), qPrintable(second.errorString()));
        // The first keeps working.
        Receiver rx(first);
        first.write("x");
        QVERIFY(rx.waitFor(10));
        QVERIFY(isPacket(rx.data));
    }

    void stopsWhenItsStarterGoes() {
        // With stdin a pipe the simulator ends when the pipe closes.
        zeltest::SimProcess sim;
        QVERIFY(sim.start());
        sim.process()->closeWriteChannel();
        QVERIFY(sim.process()->waitForFinished(5000));
        QCOMPARE(sim.process()->exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.process()->exitCode(), 0);
    }
};

ZEL_TEST(SerialSimTest)
#include "tst_serialsim.moc"
