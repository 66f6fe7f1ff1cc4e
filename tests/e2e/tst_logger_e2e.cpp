// zel-logger as an operator runs it: its output and how it ends.
#include "support/simprocess.h"
#include "support/testmain.h"

#include <QProcess>
#include <QRegularExpression>
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
        QVERIFY2(out.contains(" wzel-1 link connected") && out.contains(" wzel-2 link connected"), out.constData());
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

    // A port text that names no port ends it at once with one line saying why.
    void textThatNamesNoPort() {
        QProcess logger;
        QCOMPARE(run(logger, {"--port", "LPT", "--for", "30"}), 2);
        const QByteArray err = logger.readAllStandardError();
        QVERIFY2(logger.readAllStandardOutput().isEmpty() && err.count('\n') == 1 && err.contains("LPT"),
                 err.constData());
    }
};
ZEL_TEST(LoggerEndToEndTest)
#include "tst_logger_e2e.moc"
