// The serial transport against zel-monitor-sim on a pseudo-terminal, and the built-in stand-in.
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
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

// The simulator's log lines: time, reply, status and any noise bytes.
struct LogEntry {
    QByteArray text, status, noise;
};
QList<LogEntry> readLog(const QString& path) {
    QList<LogEntry> entries;
    QFile f(path);
    if (f.open(QIODevice::ReadOnly))
        for (const QByteArray& line : f.readAll().split('\n'))
            if (const QList<QByteArray> fields = line.split(' '); fields.size() >= 3)
                entries.append({fields[1], fields[2], QByteArray::fromHex(fields.value(3).mid(6))});
    return entries;
}

// Collects everything the port receives, arrival by arrival.
struct Receiver {
    explicit Receiver(zel::Transport& port) {
        connection = QObject::connect(&port, &zel::Transport::readyRead, &port, [this, &port] {
            if (const QByteArray chunk = port.readAll(); !chunk.isEmpty()) data += chunks.emplace_back(chunk);
        });
    }
    ~Receiver() { QObject::disconnect(connection); }
    bool waitFor(qsizetype bytes, int timeoutMs = 5000) {
        return QTest::qWaitFor([&] { return data.size() >= bytes; }, timeoutMs);
    }
    QByteArray take() { return chunks.clear(), std::exchange(data, {}); }
    QMetaObject::Connection connection;
    QByteArray data;
    QList<QByteArray> chunks;
};

// The transport for a port text, with line settings if it is serial; null with `*error` set.
std::unique_ptr<zel::Transport> transport(const QString& text,
                                          const QString& settings = QStringLiteral("9600,n,8,1"),
                                          QString* error = nullptr) {
    QString why;
    std::unique_ptr<zel::Transport> t = zel::makeTransport(text, error ? error : &why);
    if (!t && !error) qFatal("%s", qPrintable(why));
    if (auto* serial = qobject_cast<zel::SerialTransport*>(t.get())) serial->setLineSettings(settings);
    return t;
}

std::unique_ptr<zel::Transport> startAndOpen(zeltest::SimProcess& sim, const QStringList& args,
                                             const QString& settings = QStringLiteral("9600,n,8,1")) {
    if (!sim.start(args)) qFatal("%s", qPrintable(sim.errorText()));
    auto port = transport(sim.devicePath(), settings);
    if (!port->openLink()) qFatal("%s", qPrintable(port->errorString()));
    return port;
}

} // namespace

class SerialSimTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString writeFile(const QString& name, const QByteArray& content) const {
        QFile f(m_dir.filePath(name));
        if (!f.open(QIODevice::WriteOnly)) qFatal("cannot write %s", qPrintable(name));
        f.write(content);
        return f.fileName();
    }
    QString oneReading() const { return writeFile(QStringLiteral("one.txt"), "196040181\n"); }

private slots:
    // Four requests under each fault kind, as received and as logged; replies
    // at line pace after any delay; a script in order, last held or looped.
    void faults_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArrayList>("statuses"); // sorted
        QTest::addColumn<int>("packets");
        QTest::addColumn<int>("minMs");
        const QByteArrayList ok(4, "ok");
        const QString script =
            writeFile(QStringLiteral("order.txt"),
                      "# readings\n196040181\n\n  x255243039   # the packet form\r\n039040042\n");
        QTest::newRow("none") << QStringList{} << ok << 4 << 40;
        QTest::newRow("script") << QStringList{"--script", script} << ok << 4 << 40;
        QTest::newRow("script looped") << QStringList{"--script", script, "--loop"} << ok << 4 << 40;
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
        const QString log =
            m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()) + QStringLiteral(".log"));
        zeltest::SimProcess sim;
        auto p = startAndOpen(sim, args + QStringList{"--log", log});
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
        if (args.contains(QStringLiteral("--script")))
            QCOMPARE(rx.data, QByteArray("x196040181x255243039x039040042") +
                                  (args.contains(QStringLiteral("--loop")) ? "x196040181" : "x039040042"));
        if (args.contains(QStringLiteral("--split"))) QVERIFY(rx.chunks.first().size() < 10);
    }

    // After a request the port reads nothing until the reply is due, then
    // reads it whole; one not there when due is reported overdue.
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
        auto p = startAndOpen(sim, {"--script", oneReading()}, settings);
        QCOMPARE(p->characterTimeNs(), charNs);
        auto* wait = p->findChild<zel::Alarm*>(QStringLiteral("replyWait"));
        QVERIFY(wait);
        QSignalSpy overdue(p.get(), &zel::Transport::replyOverdue);
        Receiver rx(*p);
        const qint64 margin = charNs * 15 / 100;
        auto dueIn = [&](qint64 from, qint64 to, int characters) {
            return wait->deadlineNs() >= from + characters * charNs + margin &&
                   wait->deadlineNs() <= to + characters * charNs + margin;
        };
        qint64 before = zel::Alarm::nowNs();
        p->write("x");
        p->awaitReply(10);
        QVERIFY(wait->isActive());
        QVERIFY(dueIn(before, zel::Alarm::nowNs(), 11));
        // Held past the reply's end: nothing read until due, then all of it in one read.
        wait->stop();
        QTest::qWait(150);
        QVERIFY(rx.data.isEmpty());
        emit wait->timeout();
        QVERIFY(rx.waitFor(10, 2000));
        QCOMPARE(rx.chunks, QByteArrayList{"x196040181"});
        QCOMPARE(overdue.count(), 0);

        // An old request is due after the reply's own characters; nothing came: overdue.
        before = zel::Alarm::nowNs();
        p->awaitReply(10);
        QVERIFY(dueIn(before, zel::Alarm::nowNs(), 9));
        wait->expire();
        QCOMPARE(overdue.count(), 1);
        QCOMPARE(overdue.first().first().toInt(), 0);
        // A reply read as it came ends at that read: the next is due ten characters on.
        qint64 readAt = 0, nextDue = 0;
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
        QVERIFY(nextDue > readAt + 19 * charNs / 2 + margin && nextDue <= readAt + 10 * charNs + margin);

        // Closing ends a pending wait; a reopened port reports as usual.
        p->write("x");
        p->awaitReply(10);
        p->close();
        QVERIFY(!wait->isActive());
        QVERIFY(p->openLink());
        rx.take();
        p->write("x");
        QVERIFY(QTest::qWaitFor([&] { return rx.data.endsWith("x196040181"); }, 5000));
        QCOMPARE(overdue.count(), 1);
    }

    // A second opener hears "busy"; a vanishing device fails the port once; it comes back on a new one.
    void busyAndVanishingDevices() {
        zeltest::SimProcess sim;
        auto p = startAndOpen(sim, {"--vanish-after", "2", "--vanish-gap", "100"});
        const QString first = sim.devicePath();
        auto second = transport(first);
        QVERIFY(!second->openLink());
        QVERIFY2(second->errorString().contains(QStringLiteral("busy")), qPrintable(second->errorString()));
        QSignalSpy failed(p.get(), &zel::Transport::failed);
        {
            Receiver rx(*p);
            for (int n : {10, 20}) {
                p->write("x");
                QVERIFY(rx.waitFor(n));
            }
            QCOMPARE(countPackets(rx.data), 2);
        }
        QTRY_COMPARE(failed.count(), 1);
        QVERIFY(!p->isOpen() && failed.first().first().toString().contains(first));
        QCOMPARE(p->errorString(), failed.first().first().toString());
        QTest::qWait(300);
        QCOMPARE(std::tuple(failed.count(), p->bytesAvailable(), p->write("x")),
                 std::tuple(1, qint64(0), qint64(-1)));
        QTRY_COMPARE(sim.paths().size(), 2);
        QVERIFY(sim.devicePath() != first);
        p = transport(sim.devicePath());
        QVERIFY2(p->openLink(), qPrintable(p->errorString()));
        Receiver again(*p);
        p->write("x");
        QVERIFY(again.waitFor(10));
        QCOMPARE(again.data.size() * 100 + countPackets(again.data), 1001);
    }

    // Requests queue on the simulated line; input can be discarded.
    void builtInStandInAnswers() {
        std::unique_ptr<zel::Transport> p = transport(QStringLiteral("sim  "));
        QVERIFY(p->openLink());
        {
            Receiver rx(*p);
            QElapsedTimer t;
            t.start();
            p->write("xxx");
            QVERIFY(rx.waitFor(30));
            QVERIFY(t.elapsed() >= 30);
            QCOMPARE(countPackets(rx.take()), 3);
        }
        p->write("x");
        QTRY_COMPARE(p->bytesAvailable(), 10);
        p->discardInput();
        QCOMPARE(p->bytesAvailable(), 0);
    }

    // Fires once, not early; re-arming or stopping forgets the old deadline; a past one fires later.
    void alarm() {
        zel::Alarm alarm;
        qint64 firedAt = 0;
        connect(&alarm, &zel::Alarm::timeout, this, [&] { firedAt = zel::Alarm::nowNs(); });
        QSignalSpy fired(&alarm, &zel::Alarm::timeout);
        const qint64 deadline = zel::Alarm::nowNs() + 3'500'000;
        alarm.startAt(deadline);
        QTRY_COMPARE_WITH_TIMEOUT(fired.count(), 1, 2000);
        QVERIFY(firedAt >= deadline);
        QVERIFY(!alarm.isActive());
        alarm.startAt(zel::Alarm::nowNs() + 1'000'000);
        alarm.stop();
        alarm.expire(); // a stopped alarm has nothing to report
        alarm.startAt(zel::Alarm::nowNs() + 1'000'000);
        alarm.startAt(zel::Alarm::nowNs() + 300'000'000);
        QTest::qWait(30);
        QCOMPARE(fired.count(), 1);
        alarm.startAt(zel::Alarm::nowNs() - 5'000'000);
        QCOMPARE(fired.count(), 1); // never inside startAt()
        QTRY_COMPARE_WITH_TIMEOUT(fired.count(), 2, 2000);
        QTest::qWait(10);
        QCOMPARE(fired.count(), 2);
    }

    void openFailuresAreExplained_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QString>("message");
        const QString plain = writeFile(QStringLiteral("plain-file"), "");
        const QString locked = writeFile(QStringLiteral("locked"), "");
        QVERIFY(QFile::setPermissions(locked, {}));
        const QString line = QStringLiteral("9600,n,8,1");
        for (auto [name, text, settings, message] :
             {std::tuple<const char*, QString, QString, QString>{"missing device", "/dev/zel-no-such-port",
                                                                 line, "does not exist"},
              {"not a port", "LPT", line, "\"LPT\" does not name a serial port"},
              {"bad settings", plain, "9600,q,8,1", "9600,q,8,1"},
              {"plain file", plain, line, plain + " is not a serial port"},
              {"permission denied", locked, line, "Permission"}})
            QTest::newRow(name) << text << settings << message;
    }
    void openFailuresAreExplained() {
        QFETCH(QString, text);
        QFETCH(QString, settings);
        QFETCH(QString, message);
        if (message == QLatin1String("Permission") && ::geteuid() == 0) QSKIP("root may open any device");
        QString error;
        std::unique_ptr<zel::Transport> p = transport(text, settings, &error);
        if (!p) QVERIFY2(error.contains(message), qPrintable(error));
        if (!p) return;
        QVERIFY(!p->openLink() && !p->isOpen());
        QVERIFY2(p->errorString().contains(message), qPrintable(p->errorString()));
        QCOMPARE(p->bytesAvailable(), 0);
        QVERIFY(p->readAll().isEmpty());
    }
};

ZEL_TEST(SerialSimTest)
#include "tst_serialsim.moc"
