// The real serial class against zel-monitor-sim on a pseudo-terminal, and
// against the in-process stand-in.
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

#include <unistd.h>

#include "link/serialport.h"
#include "support/simprocess.h"
#include "support/testmain.h"

namespace {

bool isPacket(const QByteArray& text) {
    static const QRegularExpression re(QStringLiteral("^x[0-9]{9}$"));
    return re.match(QString::fromLatin1(text)).hasMatch();
}

int countPackets(const QByteArray& stream) {
    static const QRegularExpression re(QStringLiteral("x[0-9]{9}"));
    int n = 0;
    auto it = re.globalMatch(QString::fromLatin1(stream));
    while (it.hasNext()) {
        it.next();
        ++n;
    }
    return n;
}

struct LogEntry {
    qint64 ns = 0;
    QByteArray text;
    QByteArray status;
    QByteArray noise; // raw bytes
};

QList<LogEntry> readLog(const QString& path) {
    QList<LogEntry> entries;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return entries;
    const QList<QByteArray> lines = f.readAll().split('\n');
    for (const QByteArray& line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 3) continue;
        LogEntry e;
        e.ns = fields[0].toLongLong();
        e.text = fields[1];
        e.status = fields[2];
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
    bool waitForEnd(const QByteArray& tail, int timeoutMs = 5000) {
        return QTest::qWaitFor([&] { return data.endsWith(tail); }, timeoutMs);
    }
    QByteArray take() {
        QByteArray all;
        all.swap(data);
        chunks.clear();
        return all;
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

    // Starts the simulator and opens the real port on its device.
    bool startAndOpen(zeltest::SimProcess& sim, SerialPort& port, const QStringList& args) {
        if (!sim.start(args)) {
            qWarning("%s", qPrintable(sim.errorText()));
            return false;
        }
        port.setPortText(sim.devicePath());
        port.setSettings(QStringLiteral("9600,n,8,1"));
        if (!port.open()) {
            qWarning("%s", qPrintable(port.errorString()));
            return false;
        }
        return true;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void answersEachPollAtLinePace() {
        zeltest::SimProcess sim;
        SerialPort port;
        const QString log = file(QStringLiteral("pace.log"));
        QVERIFY(startAndOpen(sim, port, {QStringLiteral("--log"), log}));
        QVERIFY(sim.devicePath().startsWith(QStringLiteral("/dev/")));
        QVERIFY(port.isOpen());
        Receiver rx(port);
        QByteArray all;
        for (int i = 0; i < 10; ++i) {
            QElapsedTimer t;
            t.start();
            QCOMPARE(port.write("x"), 1);
            QVERIFY(rx.waitFor(10));
            // Ten characters at 9600 baud cannot arrive in under 10.4 ms.
            QVERIFY2(t.nsecsElapsed() >= 9'500'000, qPrintable(QString::number(t.nsecsElapsed())));
            const QByteArray reply = rx.take();
            QVERIFY2(isPacket(reply), reply.constData());
            for (int f = 0; f < 3; ++f)
                QVERIFY(reply.mid(1 + 3 * f, 3).toInt() <= 255);
            all += reply;
        }
        // Each reply was logged as sent; back-to-back requests queue on the
        // line one reply time apart.
        QTRY_COMPARE(readLog(log).size(), 10);
        QByteArray logged;
        for (const LogEntry& e : readLog(log)) {
            QCOMPARE(e.status, QByteArray("ok"));
            logged += e.text;
        }
        QCOMPARE(logged, all);
        // Replies to requests sent together follow one another on the line:
        // the third cannot be complete before three reply times have passed.
        QElapsedTimer t;
        t.start();
        port.write("xxx");
        QVERIFY(rx.waitFor(30));
        QVERIFY2(t.nsecsElapsed() >= 30'000'000, qPrintable(QString::number(t.nsecsElapsed())));
        QCOMPARE(countPackets(rx.data), 3);
        QTRY_COMPARE(readLog(log).size(), 13);
    }

    void scriptPlaysInOrder_data() {
        QTest::addColumn<bool>("loop");
        QTest::addColumn<QList<QByteArray>>("expected");
        QTest::newRow("held") << false
                              << QList<QByteArray>{"x196040181", "x255243039", "x039040042", "x039040042",
                                                   "x039040042"};
        QTest::newRow("looped") << true
                                << QList<QByteArray>{"x196040181", "x255243039", "x039040042", "x196040181",
                                                     "x255243039"};
    }
    void scriptPlaysInOrder() {
        QFETCH(bool, loop);
        QFETCH(QList<QByteArray>, expected);
        const QString script = file(QStringLiteral("order.txt"));
        {
            QFile f(script);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("# readings for the test\n196040181\n\n  x255243039   # the packet form\r\n039040042\n");
        }
        zeltest::SimProcess sim;
        SerialPort port;
        QStringList args = {QStringLiteral("--script"), script};
        if (loop) args << QStringLiteral("--loop");
        QVERIFY(startAndOpen(sim, port, args));
        Receiver rx(port);
        for (const QByteArray& want : expected) {
            port.write("x");
            QVERIFY(rx.waitFor(10));
            QCOMPARE(rx.take(), want);
        }
    }

    void badCommandLinesAreRefused_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown option")
            << QStringList{QStringLiteral("--bogus")} << QStringLiteral("--bogus");
        QTest::newRow("bad rate") << QStringList{QStringLiteral("--drop"), QStringLiteral("often")}
                                  << QStringLiteral("often");
        QTest::newRow("missing value") << QStringList{QStringLiteral("--delay")} << QStringLiteral("--delay");
        QTest::newRow("missing script")
            << QStringList{QStringLiteral("--script"), file(QStringLiteral("none"))}
            << file(QStringLiteral("none"));
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

    void badScriptLineIsNamed() {
        const QString script = file(QStringLiteral("bad.txt"));
        {
            QFile f(script);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("196040181\n19604018\n");
        }
        QProcess p;
        p.start(zeltest::SimProcess::program(), {QStringLiteral("--script"), script});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 2);
        QVERIFY(p.readAllStandardError().contains("line 2"));
    }

    void helpNamesEveryOption() {
        QProcess p;
        p.start(zeltest::SimProcess::program(), {QStringLiteral("--help")});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
        const QByteArray help = p.readAllStandardOutput();
        for (const char* option : {"--seed",
                                   "--script",
                                   "--loop",
                                   "--delay",
                                   "--log",
                                   "--drop",
                                   "--garble",
                                   "--split",
                                   "--split-pause",
                                   "--noise",
                                   "--silent-after",
                                   "--silent-for",
                                   "--vanish-after",
                                   "--vanish-gap",
                                   "--modem",
                                   "--dial-delay",
                                   "--busy-number",
                                   "--no-dialtone-number",
                                   "--no-carrier-number",
                                   "--no-answer-number",
                                   "--silent-number"})
            QVERIFY2(help.contains(option), option);
    }

    void replyDelayIsHonoured() {
        zeltest::SimProcess sim;
        SerialPort port;
        QVERIFY(startAndOpen(sim, port, {QStringLiteral("--delay"), QStringLiteral("150")}));
        Receiver rx(port);
        QElapsedTimer t;
        t.start();
        port.write("x");
        QVERIFY(rx.waitFor(10));
        QVERIFY(t.elapsed() >= 150);
        QVERIFY(isPacket(rx.take()));
    }

    void droppedRepliesNeverArrive() {
        const QString script = file(QStringLiteral("drop.txt"));
        {
            QFile f(script);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("100100100\n200200200\n111111111\n222222222\n");
        }
        zeltest::SimProcess sim;
        SerialPort port;
        const QString log = file(QStringLiteral("drop.log"));
        QVERIFY(startAndOpen(sim, port,
                             {QStringLiteral("--drop"), QStringLiteral("2"), QStringLiteral("--script"),
                              script, QStringLiteral("--log"), log}));
        Receiver rx(port);
        port.write("xxxx");
        QTRY_COMPARE(readLog(log).size(), 4);
        QVERIFY(rx.waitFor(20));
        QTest::qWait(50);
        // Every second reply is missing; the log says which.
        QCOMPARE(rx.data, QByteArray("x100100100x111111111"));
        QByteArrayList dropped;
        for (const LogEntry& e : readLog(log)) {
            if (e.status == "dropped")
                dropped.append(e.text);
            else
                QCOMPARE(e.status, QByteArray("ok"));
        }
        QCOMPARE(dropped, (QByteArrayList{"x200200200", "x222222222"}));
    }

    void garbledRepliesNeverPassAsPackets() {
        zeltest::SimProcess sim;
        SerialPort port;
        const QString log = file(QStringLiteral("garble.log"));
        QVERIFY(startAndOpen(
            sim, port, {QStringLiteral("--garble"), QStringLiteral("1"), QStringLiteral("--log"), log}));
        Receiver rx(port);
        port.write(QByteArray(8, 'x'));
        QVERIFY(rx.waitFor(80));
        QCOMPARE(countPackets(rx.data), 0);
        QTRY_COMPARE(readLog(log).size(), 8);
        QByteArray logged;
        for (const LogEntry& e : readLog(log)) {
            QCOMPARE(e.status, QByteArray("garbled"));
            QVERIFY(e.text.startsWith('x'));
            logged += e.text;
        }
        QCOMPARE(rx.data, logged);
    }

    void splitRepliesPauseInTheMiddle() {
        zeltest::SimProcess sim;
        SerialPort port;
        QVERIFY(startAndOpen(sim, port,
                             {QStringLiteral("--split"), QStringLiteral("1"), QStringLiteral("--split-pause"),
                              QStringLiteral("200")}));
        Receiver rx(port);
        QElapsedTimer t;
        t.start();
        port.write("x");
        QVERIFY(rx.waitFor(10));
        QVERIFY(t.elapsed() >= 200);
        QVERIFY(isPacket(rx.data));
        QVERIFY(rx.chunks.size() >= 2);
        QVERIFY(rx.chunks.first().size() < 10);
    }

    void noiseComesBeforeTheReply() {
        zeltest::SimProcess sim;
        SerialPort port;
        const QString log = file(QStringLiteral("noise.log"));
        QVERIFY(startAndOpen(sim, port,
                             {QStringLiteral("--noise"), QStringLiteral("1"), QStringLiteral("--log"), log}));
        Receiver rx(port);
        port.write("xxxx");
        QTRY_COMPARE(readLog(log).size(), 4);
        QByteArray expected;
        for (const LogEntry& e : readLog(log)) {
            QCOMPARE(e.status, QByteArray("noise"));
            QVERIFY(!e.noise.isEmpty() && !e.noise.contains('x'));
            expected += e.noise + e.text;
        }
        QVERIFY(rx.waitFor(expected.size()));
        QCOMPARE(rx.data, expected);
        QCOMPARE(countPackets(rx.data), 4);
    }

    void silenceThenAnswersAgain() {
        zeltest::SimProcess sim;
        SerialPort port;
        QVERIFY(startAndOpen(sim, port,
                             {QStringLiteral("--silent-after"), QStringLiteral("2"),
                              QStringLiteral("--silent-for"), QStringLiteral("1")}));
        QList<qint64> arrivals;
        QElapsedTimer clock;
        clock.start();
        QByteArray buffer;
        connect(&port, &SerialIo::readyRead, this, [&] {
            buffer += port.readAll();
            while (buffer.size() >= 10) {
                QVERIFY(isPacket(buffer.left(10)));
                buffer.remove(0, 10);
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

    void vanishingDeviceFailsThePortOnce() {
        zeltest::SimProcess sim;
        SerialPort port;
        QVERIFY(startAndOpen(sim, port,
                             {QStringLiteral("--vanish-after"), QStringLiteral("2"),
                              QStringLiteral("--vanish-gap"), QStringLiteral("100")}));
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

    void deviceSurvivesCloseAndReopen() {
        zeltest::SimProcess sim;
        SerialPort port;
        QVERIFY(startAndOpen(sim, port, {}));
        for (int i = 0; i < 3; ++i) {
            Receiver rx(port);
            port.write("x");
            QVERIFY(rx.waitFor(10));
            QVERIFY(isPacket(rx.data));
            port.close();
            QVERIFY(!port.isOpen());
            QVERIFY(port.open());
        }
    }

    void modemDialogue() {
        zeltest::SimProcess sim;
        SerialPort port;
        QVERIFY(startAndOpen(sim, port,
                             {QStringLiteral("--modem"), QStringLiteral("--dial-delay"),
                              QStringLiteral("100"), QStringLiteral("--busy-number"), QStringLiteral("555"),
                              QStringLiteral("--no-dialtone-number"), QStringLiteral("666"),
                              QStringLiteral("--no-carrier-number"), QStringLiteral("777"),
                              QStringLiteral("--no-answer-number"), QStringLiteral("888")}));
        {
            Receiver rx(port);
            // Echo on until ate0; the set-up commands are answered OK.
            port.write("ATM1L1\r");
            QVERIFY(rx.waitForEnd("OK\r\n"));
            QCOMPARE(rx.take(), QByteArray("ATM1L1\rOK\r\n"));
            port.write("ate0\r");
            QVERIFY(rx.waitForEnd("OK\r\n"));
            QCOMPARE(rx.take(), QByteArray("ate0\rOK\r\n"));
            port.write("AT&F S7=45\r");
            QVERIFY(rx.waitForEnd("OK\r\n"));
            QCOMPARE(rx.take(), QByteArray("OK\r\n"));
            // Before the call connects, "x" is just a command character.
            port.write("ATDT9,,*70,,5551234\r");
            QVERIFY(rx.waitForEnd("\r\nCONNECT 9600\r\n"));
            QCOMPARE(rx.take(), QByteArray("\r\nCONNECT 9600\r\n"));
            port.write("x");
            QVERIFY(rx.waitFor(10));
            QVERIFY(isPacket(rx.take()));
        }
        // Closing the port hangs up: command mode with echo on again.
        port.close();
        QVERIFY(port.open());
        {
            Receiver rx(port);
            port.write("AT\r");
            QVERIFY(rx.waitForEnd("OK\r\n"));
            QCOMPARE(rx.take(), QByteArray("AT\rOK\r\n"));
            port.write("ate0\r");
            QVERIFY(rx.waitForEnd("OK\r\n"));
            rx.take();
            const QList<QPair<QByteArray, QByteArray>> calls = {
                {"ATDT555\r", "\r\nBUSY\r\n"},
                {"ATDP1,,666\r", "\r\nNO DIALTONE\r\n"},
                {"ATDT777\r", "\r\nNO CARRIER\r\n"},
                {"ATDT888\r", "\r\nNO ANSWER\r\n"},
            };
            for (const auto& [dial, result] : calls) {
                port.write(dial);
                QVERIFY2(rx.waitForEnd(result), dial.constData());
                QCOMPARE(rx.take(), result);
            }
            // Still in command mode after a failed call.
            port.write("x");
            QTest::qWait(100);
            QVERIFY(rx.take().isEmpty());
        }
    }

    void modemSilentNumberNeverAnswers() {
        zeltest::SimProcess sim;
        SerialPort port;
        QVERIFY(startAndOpen(sim, port,
                             {QStringLiteral("--modem"), QStringLiteral("--dial-delay"), QStringLiteral("50"),
                              QStringLiteral("--silent-number"), QStringLiteral("999")}));
        Receiver rx(port);
        port.write("ate0\r");
        QVERIFY(rx.waitForEnd("OK\r\n"));
        rx.take();
        port.write("ATDT999\r");
        QTest::qWait(400);
        QVERIFY(rx.data.isEmpty());
        // Hanging up ends the call; the modem is usable again.
        port.close();
        QVERIFY(port.open());
        port.write("ATDT123\r");
        QVERIFY(rx.waitForEnd("\r\nCONNECT 9600\r\n"));
    }

    void builtInStandInAnswers() {
        SerialPort port;
        port.setPortText(QStringLiteral("sim  "));
        port.setSettings(QStringLiteral("9600,n,8,1"));
        QVERIFY(port.open());
        QVERIFY(port.isOpen());
        Receiver rx(port);
        QElapsedTimer t;
        t.start();
        port.write("x");
        QVERIFY(rx.waitFor(10));
        QVERIFY(t.elapsed() >= 10);
        QVERIFY(isPacket(rx.take()));
        // Requests queue on the simulated line.
        t.restart();
        port.write("xxx");
        QVERIFY(rx.waitFor(30));
        QVERIFY(t.elapsed() >= 30);
        QCOMPARE(countPackets(rx.take()), 3);
        // Waiting input can be thrown away.
        QObject::disconnect(&port, &SerialIo::readyRead, nullptr, nullptr);
        port.write("x");
        QTRY_COMPARE(port.bytesAvailable(), 10);
        port.discardInput();
        QCOMPARE(port.bytesAvailable(), 0);
        port.close();
        QVERIFY(!port.isOpen());
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
        QTest::newRow("missing device") << QStringLiteral("/dev/zel-no-such-port")
                                        << QStringLiteral("9600,n,8,1") << QStringLiteral("does not exist");
        QTest::newRow("not a port") << QStringLiteral("LPT") << QStringLiteral("9600,n,8,1")
                                    << QStringLiteral("\"LPT\" does not name a serial port");
        QTest::newRow("nothing chosen")
            << QString() << QStringLiteral("9600,n,8,1") << QStringLiteral("No serial port");
        QTest::newRow("bad settings")
            << QStringLiteral("SIM") << QStringLiteral("9600,q,8,1") << QStringLiteral("9600,q,8,1");
    }
    void openFailuresAreExplained() {
        QFETCH(QString, text);
        QFETCH(QString, settings);
        QFETCH(QString, message);
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

    void notASerialDeviceIsRefused() {
        const QString path = file(QStringLiteral("plain-file"));
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        SerialPort port;
        port.setPortText(path);
        QVERIFY(!port.open());
        QVERIFY(!port.isOpen());
        QVERIFY2(port.errorString().contains(path + QStringLiteral(" is not a serial port")),
                 qPrintable(port.errorString()));
    }

    void permissionDeniedIsExplained() {
        if (::geteuid() == 0) QSKIP("root may open any device");
        const QString path = file(QStringLiteral("locked"));
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QVERIFY(f.setPermissions({}));
        }
        SerialPort port;
        port.setPortText(path);
        QVERIFY(!port.open());
        QVERIFY2(port.errorString().contains(QStringLiteral("Permission")), qPrintable(port.errorString()));
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
