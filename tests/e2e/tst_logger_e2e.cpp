// zel-logger as an operator runs it: its output and how it ends.
#include "support/httptest.h"
#include "support/simprocess.h"
#include "support/testmain.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>

#include <csignal>

namespace {

// "<time> <port> <event> ...": what follows each event of one kind.
QStringList events(const QByteArray& out, const QString& event) {
    static const QRegularExpression time(
        QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$)"));
    QStringList found;
    for (const QString& line : QString::fromLocal8Bit(out).split(u'\n', Qt::SkipEmptyParts)) {
        const QStringList fields = line.split(u' ');
        if (fields.size() < 3 || !time.match(fields[0]).hasMatch())
            return {QStringLiteral("(malformed) ") + line};
        if (fields[2] == event) found << fields.mid(3).join(u' ');
    }
    return found;
}

// Runs the logger to its end; its exit code, or -1 if it did not end normally.
int run(QProcess& logger, const QStringList& args, const std::function<void()>& meanwhile = {}) {
    logger.start(QStringLiteral(ZEL_LOGGER), args);
    if (!logger.waitForStarted(10000)) return -1;
    if (meanwhile) meanwhile();
    if (!logger.waitForFinished(30000) || logger.exitStatus() != QProcess::NormalExit) return -1;
    return logger.exitCode();
}

} // namespace

class LoggerEndToEndTest : public QObject {
    Q_OBJECT

private slots:
    // About 96 packets a second for five seconds, each a reading line.
    void readingsFromTheStandIn() {
        QProcess logger;
        QCOMPARE(run(logger, {"--port", "SIM", "--for", "5", "--readings"}), 0);
        const QByteArray out = logger.readAllStandardOutput();
        const QStringList readings = events(out, QStringLiteral("reading"));
        QVERIFY2(readings.size() >= 400, qPrintable(QString::number(readings.size())));
        static const QRegularExpression fields(QStringLiteral(R"(^pos=\d+ neg=\d+ carrier=\d+$)"));
        for (const QString& r : readings)
            QVERIFY2(fields.match(r).hasMatch(), qPrintable(r));
        QCOMPARE(events(out, QStringLiteral("link")).value(0), QStringLiteral("connected"));
        QVERIFY(logger.readAllStandardError().isEmpty());
    }

    // A device lost mid-run: the loss and its reason are printed, and it is retried until the end.
    void lossOfTheLinkIsPrinted() {
        zeltest::SimProcess sim;
        QVERIFY2(sim.start({"--vanish-after", "200"}), qPrintable(sim.errorText()));
        QProcess logger;
        QCOMPARE(run(logger, {"--port", sim.devicePath(), "--for", "5"}), 0);
        const QByteArray out = logger.readAllStandardOutput();
        const QStringList link = events(out, QStringLiteral("link"));
        QVERIFY2(link.value(0) == QStringLiteral("connected") &&
                     link.value(1).startsWith(QStringLiteral("reconnecting detail=\"")),
                 out.constData());
        QCOMPARE(events(out, QStringLiteral("link-lost")).value(0).left(2), QStringLiteral("on"));
    }

    // Either signal ends it with 0 and lets the port go for the next program.
    void signalsEndItCleanly() {
        zeltest::SimProcess sim;
        QVERIFY2(sim.start(), qPrintable(sim.errorText()));
        for (int signal : {SIGTERM, SIGINT}) {
            QProcess logger;
            QCOMPARE(run(logger, {"--port", sim.devicePath(), "--readings"},
                         [&] {
                             QTRY_VERIFY_WITH_TIMEOUT(logger.peek(4096).contains(" reading "), 10000);
                             ::kill(pid_t(logger.processId()), signal);
                         }),
                     0);
        }
        QProcess again;
        QCOMPARE(run(again, {"--port", sim.devicePath(), "--for", "0.5"}), 0);
        QVERIFY(events(again.readAllStandardOutput(), QStringLiteral("port-error")).isEmpty());
    }

    // A config file's monitors each print under their id; a bad one ends it at
    // once with one line naming the file and the line.
    void monitorsFromAConfigFile() {
        QTemporaryDir dir;
        const QString good = dir.filePath(QStringLiteral("site.conf"));
        QFile f(good);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[site]\nid=north\nname=North site\n\n[monitor.wzel-1]\nname=WZEL 1230 AM\nport=SIM\n"
                "[monitor.wzel-2]\nport=SIM\nspeed=fast\n");
        f.close();
        QProcess logger;
        QCOMPARE(run(logger, {"--config", good, "--for", "2", "--no-history"}), 0);
        const QByteArray out = logger.readAllStandardOutput();
        QVERIFY2(out.contains(" wzel-1 link connected") && out.contains(" wzel-2 link connected"),
                 out.constData());
        const QByteArray err = logger.readAllStandardError();
        QVERIFY2(err.contains("site.conf:10:") && err.contains("speed"), err.constData());

        QFile bad(dir.filePath(QStringLiteral("bad.conf")));
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write("[monitor.a]\nport=SIM\n[monitor.a]\nport=SIM\n");
        bad.close();
        QProcess refused;
        QCOMPARE(run(refused, {"--config", bad.fileName(), "--for", "30"}), 2);
        const QByteArray why = refused.readAllStandardError();
        QVERIFY2(why.count('\n') == 1 && why.contains("bad.conf:3:"), why.constData());
    }

    // One time format in every output, whatever the zone: the logger's lines,
    // the CSV, the status API and an alert's ZEL_TIME all end in the same
    // +hh:mm offset (+00:00, never Z; -03:30 in Newfoundland).
    void everyOutputWritesOneTimeFormat() {
        QTemporaryDir dir;
        const QString script = zeltest::writeCarrierDipScript(dir.path(), 100);
        for (const char* zone : {"UTC", "America/St_Johns"}) {
            const QString offset = QLatin1String(zone) == QLatin1String("UTC") ? "+00:00" : "-03:30";
            const QRegularExpression time(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3})?)") +
                                          QRegularExpression::escape(offset) + u'$');
            zeltest::SimProcess sim;
            QVERIFY2(sim.start({"--script", script}), qPrintable(sim.errorText()));
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("TZ"), QLatin1String(zone));
            const QString history = dir.filePath(QStringLiteral("%1.sqlite").arg(offset));
            const QString alertTimes = dir.filePath(QStringLiteral("%1.times").arg(offset));
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost, 0);
            const quint16 http = probe.serverPort();
            probe.close();
            QProcess logger;
            logger.setProcessEnvironment(env);
            logger.start(QStringLiteral(ZEL_LOGGER),
                         {"--port", sim.devicePath(), "--history", history, "--alert-delay", "0,0",
                          "--alert-command", QStringLiteral("sh -c 'echo $ZEL_TIME >> %1'").arg(alertTimes),
                          "--http", QStringLiteral("127.0.0.1:%1").arg(http), "--for", "4"});
            QVERIFY(logger.waitForStarted(10000));
            QTRY_VERIFY_WITH_TIMEOUT(QFile(alertTimes).size() > 0, 10000);
            const httptest::Reply api = httptest::exchange(
                http, "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
            QVERIFY(logger.waitForFinished(15000));
            QStringList times;
            for (const QString& line :
                 QString::fromLocal8Bit(logger.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts))
                times << line.section(u' ', 0, 0);
            static const QRegularExpression jsonTime(QStringLiteral("\"time\":\"([^\"]+)\""));
            for (auto m = jsonTime.globalMatch(QString::fromUtf8(api.body)); m.hasNext();)
                times << m.next().captured(1);
            QFile alerts(alertTimes);
            QVERIFY(alerts.open(QIODevice::ReadOnly));
            times << QString::fromLocal8Bit(alerts.readAll()).split(u'\n', Qt::SkipEmptyParts);
            QProcess csv;
            csv.setProcessEnvironment(env);
            QCOMPARE(run(csv, {"--export", "events", "--history", history, "--output", "-"}), 0);
            const QStringList rows =
                QString::fromUtf8(csv.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
            for (const QString& row : rows.mid(1))
                times << row.section(u',', 0, 0);
            QVERIFY2(times.size() > 6 && rows.size() > 2 && api.body.contains("\"time\""),
                     qPrintable(times.join(u' ')));
            for (const QString& t : times)
                QVERIFY2(time.match(t).hasMatch(), qPrintable(QLatin1String(zone) + u' ' + t));
        }
    }

    // A port text that names no port ends it at once with one line saying why.
    // So does an alert command that could never run (an unclosed quote).
    void textThatNamesNoPort_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("named");
        QTest::newRow("port") << QStringList{"--port", "LPT", "--for", "30"} << QByteArray("LPT");
        QTest::newRow("alert command")
            << QStringList{"--port", "SIM", "--alert-command", "sh -c 'x", "--for", "30"}
            << QByteArray("quote");
    }
    void textThatNamesNoPort() {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, named);
        QProcess logger;
        QCOMPARE(run(logger, args), 2);
        const QByteArray err = logger.readAllStandardError();
        QVERIFY2(logger.readAllStandardOutput().isEmpty() && err.count('\n') == 1 && err.contains(named),
                 err.constData());
    }
};
ZEL_TEST(LoggerEndToEndTest)
#include "tst_logger_e2e.moc"
