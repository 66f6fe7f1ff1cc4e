// A recording process killed with SIGKILL loses at most its last two
// seconds, and the file opens cleanly afterwards.
#include "support/testmain.h"

#include "historytestsupport.h"

#include <QProcess>

class HistoryKillTest : public QObject {
    Q_OBJECT

private slots:
    void historyLossOnKill() {
        QTemporaryDir dir;
        const QString path = dir.filePath("history.sqlite");
        QProcess writer;
        writer.start(ZEL_HISTORY_WRITER, {path, "COM 2"});
        QVERIFY(writer.waitForStarted(10000));
        // At least three seconds of readings, so some batches are on disk.
        long long printed = 0;
        QDeadlineTimer deadline(60000);
        while (printed < 3 * 96 && !deadline.hasExpired()) {
            writer.waitForReadyRead(1000);
            while (writer.canReadLine())
                printed = writer.readLine().trimmed().toLongLong();
        }
        QVERIFY(printed >= 3 * 96);
        writer.kill(); // SIGKILL
        QVERIFY(writer.waitForFinished(10000) && writer.exitStatus() == QProcess::CrashExit);

        zel::HistoryStore store;
        QSignalSpy problems(&store, &zel::HistoryStore::problem);
        QVERIFY(store.open(path));
        QVERIFY(problems.isEmpty() && store.movedAsidePath().isEmpty());
        long long recorded = 0;
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        for (const auto& m : store.minutes(0, now + 120'000))
            recorded += m.packets;
        const double lostSeconds = double(printed - recorded) / 96.0;
        qInfo("history_loss_on_kill: %.2f s (fed at least %lld, recorded %lld)", lostSeconds, printed,
              recorded);
        QVERIFY2(lostSeconds <= 2.0, qPrintable(QString::number(lostSeconds)));
        QVERIFY(recorded <= printed + 48 * 4);
        QCOMPARE(store.events(0, now, {"link"}).size(), 1);
    }
};
ZEL_TEST(HistoryKillTest)
#include "tst_historykill.moc"
