// The record's evidence: the hash chain found intact by zel-logger --verify
// and broken by each kind of tampering, rows kept as written, notes and
// sign-offs from the command line, and a file from before the chain.
#include "support/testmain.h"

#include "core/outputs/history/chain.h"
#include "historytestsupport.h"

#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

using namespace historytest;

namespace {

struct Run {
    int status = -1;
    QString out;
    QString err;
};

Run logger(const QStringList& args) {
    QProcess p;
    p.start(ZEL_LOGGER, args);
    Run r;
    if (!p.waitForFinished(30000)) return r;
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

// Runs each statement on a connection of the test's own; the first error,
// or empty.
QString sql(const QString& path, const QStringList& statements) {
    QString error;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "side");
        db.setDatabaseName(path);
        db.open();
        QSqlQuery q(db);
        for (const QString& s : statements) {
            if (!q.exec(QString(s).replace("%1", QString::number(baseMs())))) {
                error = q.lastError().databaseText();
                break;
            }
        }
    }
    QSqlDatabase::removeDatabase("side");
    return error;
}

// Events 1-4, chained in the order they became final: 1 link (link 1),
// 3 carrier on (2), 2 the episode once it ended (3), 4 carrier off (4);
// a note on event 2 and a sign-off.
void writeRecord(const QString& path) {
    zel::HistoryStore store;
    QVERIFY(store.open(path));
    const qint64 t = baseMs();
    zel::EventRecord episode = event(t + 1000, zel::EventKind::Pos125);
    std::tie(episode.endMs, episode.packets, episode.extreme, episode.detail) =
        std::tuple(t + 1000, 1, 126, "open");
    zel::EventRecord on = event(t + 2000, zel::EventKind::CarrierAlarm);
    on.on = true;
    QVERIFY(store.write({event(t, zel::EventKind::Link), episode, on}, {}) && store.sync());
    std::tie(episode.endMs, episode.packets, episode.extreme, episode.detail) =
        std::tuple(t + 1500, 40, 128, "");
    zel::EventRecord off = on;
    std::tie(off.timeMs, off.on) = std::tuple(t + 9000, false);
    QVERIFY(store.write({episode, off}, {}) && store.sync());
    QString why;
    QVERIFY2(store.addNote(2, "Ann Lee", "Processor gain lowered 1 dB", &why), qPrintable(why));
    QVERIFY2(store.signOff(t - 3600'000, t + 3600'000, "Bo", "weekly review", &why), qPrintable(why));
}

const QString Unguard = "DROP TRIGGER events_kept; DROP TRIGGER events_not_deleted; DROP TRIGGER notes_kept;";

} // namespace

class ChainTest : public QObject {
    Q_OBJECT

private slots:
    void verifyFindsTheFirstBrokenRow_data() {
        QTest::addColumn<QStringList>("tampering");
        QTest::addColumn<QString>("verdict"); // the start of the line printed
        QTest::newRow("intact") << QStringList() << "intact: 6 rows";
        QTest::newRow("edited") << QStringList{"UPDATE events SET extreme = 124 WHERE id = 2"}
                                << "broken at events row 2: its fields do not match";
        QTest::newRow("deleted") << QStringList{"DELETE FROM events WHERE id = 3"}
                                 << "broken at events row 2: link 2 before it is missing";
        QTest::newRow("newest deleted") << QStringList{"DELETE FROM events WHERE id = 4"}
                                        << "broken in events: link 4 at the end is missing";
        QTest::newRow("inserted")
            << QStringList{"INSERT INTO events (time_ms, monitor, kind) VALUES (1, 'x', 'link')"}
            << "broken at events row 5: it is not chained";
        QTest::newRow("reordered") << QStringList{"UPDATE events SET seq = -1 WHERE id = 1",
                                                  "UPDATE events SET seq = 1 WHERE id = 3",
                                                  "UPDATE events SET seq = 2 WHERE id = 1"}
                                   << "broken at events row 3: its fields do not match";
        QTest::newRow("note edited") << QStringList{"UPDATE notes SET text = 'Nothing done' WHERE id = 1"}
                                     << "broken at notes row 1: its fields do not match";
    }
    void verifyFindsTheFirstBrokenRow() {
        QFETCH(QStringList, tampering);
        QFETCH(QString, verdict);
        QTemporaryDir dir;
        const QString path = dir.filePath("history.sqlite");
        writeRecord(path);
        if (!tampering.isEmpty()) QCOMPARE(sql(path, Unguard.split(';', Qt::SkipEmptyParts) + tampering), "");
        const Run r = logger({"--verify", "--history", path});
        QVERIFY2(r.out.startsWith(verdict), qPrintable(r.out + r.err));
        QCOMPARE(r.status, tampering.isEmpty() ? 0 : 1);
    }

    // Chained rows, notes and sign-offs are refused an UPDATE or DELETE;
    // what the store refuses to write says why.
    void keptAsWritten() {
        QTemporaryDir dir;
        const QString path = dir.filePath("history.sqlite");
        writeRecord(path);
        for (const char* statement :
             {"UPDATE notes SET text = 'x'", "DELETE FROM notes", "UPDATE signoffs SET to_ms = 0",
              "DELETE FROM signoffs", "UPDATE events SET extreme = 1 WHERE id = 2",
              "DELETE FROM events WHERE id = 1"})
            QVERIFY2(sql(path, {statement}).contains("kept"), statement);
        zel::HistoryStore store;
        QVERIFY(store.open(path));
        QString why;
        QVERIFY(!store.addNote(99, "Ann", "text", &why) && why.contains("no event 99"));
        QVERIFY(!store.addNote(1, " ", "text", &why) && why.contains("name"));
        QVERIFY(!store.addNote(1, "Ann", "\n", &why) && why.contains("text"));
        QVERIFY(!store.signOff(baseMs(), baseMs(), "Bo", {}, &why) && why.contains("ends before"));
        QCOMPARE(store.notes(0, baseMs() + 3600'000).size(), 1);
        QVERIFY(zel::verifyChain(QSqlDatabase::database(store.connectionName())).intact);
    }

    // --annotate, --sign-off (a date TO is the whole day) and --export
    // notes, as an operator types them.
    void notesAndSignOffsFromTheCommandLine() {
        QTemporaryDir dir;
        const QString path = dir.filePath("history.sqlite");
        writeRecord(path);
        Run r = logger({"--history", path, "--annotate", "3", "--by", "Cy", "--text", "=Carrier restored"});
        QCOMPARE(r.status, 0);
        r = logger({"--history", path, "--annotate", "17", "--by", "Cy", "--text", "x"});
        QVERIFY2(r.status == 1 && r.err.contains("no event 17"), qPrintable(r.err));
        r = logger({"--history", path, "--annotate", "3", "--text", "x"});
        QVERIFY2(r.status == 2 && r.err.contains("--by"), qPrintable(r.err));
        r = logger(
            {"--history", dir.filePath("none.sqlite"), "--annotate", "3", "--by", "Cy", "--text", "x"});
        QVERIFY2(r.status == 1 && r.err.contains("does not exist"), qPrintable(r.err));
        QVERIFY(!QFile::exists(dir.filePath("none.sqlite")));
        r = logger({"--history", path, "--sign-off", "2026-12-01", "2026-12-07", "--by", "Dee"});
        QVERIFY2(r.status == 0, qPrintable(r.err));
        r = logger({"--history", path, "--sign-off", "2026-12-07", "2026-12-01", "--by", "Dee"});
        QVERIFY2(r.status == 2 && r.err.contains("ends before it begins"), qPrintable(r.err));

        zel::HistoryStore store;
        QVERIFY(store.open(path));
        const auto signOffs = store.signOffs(QDate(2026, 12, 7).startOfDay().toMSecsSinceEpoch(),
                                             QDate(2026, 12, 8).startOfDay().toMSecsSinceEpoch());
        QCOMPARE(signOffs.size(), 2);
        QCOMPARE(std::pair(signOffs[1].fromMs, signOffs[1].toMs),
                 std::pair(QDate(2026, 12, 1).startOfDay().toMSecsSinceEpoch(),
                           QDate(2026, 12, 8).startOfDay().toMSecsSinceEpoch()));
        const QString csv = dir.filePath("notes.csv");
        r = logger({"--history", path, "--export", "notes", "--output", csv});
        QCOMPARE(r.status, 0);
        const QList<QByteArray> lines = readAll(csv).split('\n');
        QCOMPARE(lines.size(), 4);
        QCOMPARE(lines[0], "id,event_id,time,by,text,hash\r");
        QVERIFY2(lines[2].startsWith("2,3,") && lines[2].contains(",Cy,'=Carrier restored,") &&
                     lines[2].endsWith(store.notes(0, baseMs() + 3600'000)[1].hash.toLatin1() + '\r'),
                 lines[2]);
        QCOMPARE(logger({"--verify", "--history", path}).out, "intact: 8 rows\n");
    }

    // A file from before the chain: its final events chained when it is
    // first opened, in the order written; an open episode left open.
    void aFileFromBeforeTheChain() {
        QTemporaryDir dir;
        const QString path = dir.filePath("history.sqlite");
        QCOMPARE(sql(path,
                     {"CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT)",
                      "INSERT INTO meta VALUES ('application', 'zel-history'), ('version', '1')",
                      "CREATE TABLE events (id INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL, end_ms INTEGER,"
                      " monitor TEXT NOT NULL, kind TEXT NOT NULL, on_off INTEGER, detail TEXT,"
                      " packets INTEGER, extreme REAL, threshold INTEGER, pos_pct REAL, neg_pct REAL,"
                      " carrier REAL)",
                      // Recent: the retention at opening keeps them.
                      "INSERT INTO events (time_ms, monitor, kind, detail) VALUES (%1, 'COM 2', 'link', 'x')",
                      "INSERT INTO events (time_ms, end_ms, monitor, kind, detail, packets, extreme)"
                      " VALUES (%1, %1, 'COM 2', 'pos125', 'open', 1, 126)",
                      "INSERT INTO events (time_ms, monitor, kind, on_off, carrier)"
                      " VALUES (%1, 'COM 2', 'carrier-alarm', 1, 33.5)"}),
                 "");
        QVERIFY(logger({"--verify", "--history", path}).err.contains("no hash chain yet"));
        {
            zel::HistoryStore store;
            QVERIFY(store.open(path));
        }
        const Run r = logger({"--verify", "--history", path});
        QCOMPARE(r.out, "intact: 2 rows\n1 open episode is not chained yet\n");
    }
};
ZEL_TEST(ChainTest)
#include "tst_chain.moc"
