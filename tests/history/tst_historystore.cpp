// The history file: created where missing, damaged or foreign files moved
// aside (never deleted), a kill or a full disk survived, retention, chart
// series, and its CSV export.
#include "support/testmain.h"

#include "core/outputs/history/chain.h"
#include "core/outputs/history/csvexport.h"
#include "core/station/stationconfig.h"
#include "historytestsupport.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QProcess>
#include <QSemaphore>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QThread>
#include <sys/resource.h>

using namespace historytest;

namespace {

// Runs statements on a connection of the test's own.
void runSql(const QString& path, const QStringList& statements) {
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "side");
        db.setDatabaseName(path);
        QVERIFY(db.open());
        QSqlQuery q(db);
        for (const QString& s : statements)
            QVERIFY2(q.exec(s), qPrintable(s));
    }
    QSqlDatabase::removeDatabase("side");
}

bool writeOne(zel::HistoryStore& store, qint64 t = baseMs()) {
    QList<zel::EventRecord> events{event(t, "link")};
    return store.write(events, {minute(t, 100)});
}

// Sets TZ for the life of the object.
struct Zone {
    QByteArray saved = qgetenv("TZ");
    explicit Zone(const char* tz) {
        qputenv("TZ", tz);
        tzset();
    }
    ~Zone() {
        saved.isNull() ? qunsetenv("TZ") : qputenv("TZ", saved);
        tzset();
    }
};

} // namespace

class HistoryStoreTest : public QObject {
    Q_OBJECT

private slots:
    void opening_data() {
        QTest::addColumn<QString>("what");
        QTest::addColumn<bool>("opens");
        QTest::addColumn<QString>("message"); // empty: nothing to report
        QTest::newRow("missing folder") << "missing" << true << "";
        QTest::newRow("empty file") << "empty" << true << "";
        QTest::newRow("garbage") << "garbage" << true << "was damaged";
        QTest::newRow("corrupt page") << "corrupt" << true << "was damaged";
        QTest::newRow("foreign database") << "foreign" << true << "was damaged";
        QTest::newRow("newer version") << "newer" << false << "newer version";
        QTest::newRow("under a plain file") << "unreachable" << false << "cannot be opened";
    }
    void opening() {
        QFETCH(QString, what);
        QFETCH(bool, opens);
        QFETCH(QString, message);
        QTemporaryDir dir;
        QString path = dir.filePath("history.sqlite");
        if (what == "missing") {
            path = dir.filePath("a/b/history.sqlite");
        } else if (what == "empty") {
            writeFile(path, {});
        } else if (what == "garbage") {
            writeFile(path, QByteArray(8192, 'j'));
        } else if (what == "foreign") {
            runSql(path, {"CREATE TABLE contacts (name TEXT)", "INSERT INTO contacts VALUES ('x')"});
        } else if (what == "unreachable") {
            writeFile(dir.filePath("plain"), "x");
            path = dir.filePath("plain/history.sqlite");
        } else { // a file of ours, then damaged or marked as from a newer version
            {
                zel::HistoryStore ours;
                QList<zel::EventRecord> none;
                QList<zel::MinuteRecord> rows;
                for (int i = 0; i < 3000; ++i)
                    rows << minute(baseMs() + i * 60'000LL, 100);
                QVERIFY(ours.open(path) && ours.write(none, rows));
            }
            if (what == "newer") {
                runSql(path, {"UPDATE meta SET value = '99' WHERE key = 'version'"});
            } else {
                QByteArray bytes = readAll(path);
                QVERIFY(bytes.size() > 5 * 4096);
                writeFile(path, bytes.replace(4096, 3 * 4096, QByteArray(3 * 4096, 0x5a)));
            }
        }
        const QByteArray before = readAll(path);

        zel::HistoryStore store;
        QSignalSpy problems(&store, &zel::HistoryStore::problem);
        QCOMPARE(store.open(path), opens);
        QCOMPARE(problems.count(), message.isEmpty() ? 0 : 1);
        const QString text = problems.value(0).value(0).toString();
        QVERIFY2(message.isEmpty() || (text.contains(message) && text.contains(path)), qPrintable(text));
        const QString aside = store.movedAsidePath();
        QCOMPARE(aside.isEmpty(), message != "was damaged");
        if (!aside.isEmpty()) {
            QVERIFY(aside.startsWith(path + ".damaged-") && text.contains(aside));
            QCOMPARE(readAll(aside), before); // kept as it was
        }
        if (what == "newer") QCOMPARE(readAll(path), before);
        QCOMPARE(writeOne(store), opens); // a store that did not open fails quietly
        if (!opens) return;
        QSqlQuery q(QSqlDatabase::database(store.connectionName()));
        QVERIFY(q.exec("PRAGMA journal_mode") && q.next());
        QCOMPARE(q.value(0).toString(), "wal");
        q.finish();
        QVERIFY(QFile::exists(path + "-wal"));
        store.close();
        QVERIFY(store.open(path)); // and it opens again as ours
        QCOMPARE(store.minutes(0, baseMs() + 60'000).size(), 1);
        QCOMPARE(problems.count(), message.isEmpty() ? 0 : 1);
    }

    void theDefaultPathFollowsXdgDataHome() { // set by the test main
        QCOMPARE(zel::HistoryStore::defaultPath(),
                 qEnvironmentVariable("XDG_DATA_HOME") + "/zel/history.sqlite");
    }

    // A file-size limit (ulimit -f) is a full disk: one message, no
    // SIGXFSZ, the rows kept, recording resumes when the limit is lifted.
    void aFileSizeLimitIsAFullDisk() {
        Rig rig;
        QSignalSpy problems(&rig.store, &zel::HistoryStore::problem);
        QSignalSpy recorderProblems(rig.recorder.get(), &zel::Recorder::problem);
        QSignalSpy recovered(&rig.store, &zel::HistoryStore::recovered);
        rig.link(zel::LinkState::Connected);
        rig.advance(1000);
        rig.store.sync();
        rlimit saved{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
        rlimit limited = saved;
        limited.rlim_cur =
            rlim_t(std::max(QFileInfo(rig.path()).size(), QFileInfo(rig.path() + "-wal").size()));
        QVERIFY(setrlimit(RLIMIT_FSIZE, &limited) == 0);
        for (int i = 0; i < 400; ++i) {
            rig.episode(zel::AlarmKind::Pos125, rig.now, 20, 53, false);
            rig.feed(20, readings(53, 41));
            rig.advance(1100);
        }
        rig.store.sync(2000);
        QVERIFY(setrlimit(RLIMIT_FSIZE, &saved) == 0);
        QCOMPARE(problems.count(), 1);
        QCOMPARE(recorderProblems.count(), 1);
        QVERIFY2(problems[0][0].toString().contains("full"), qPrintable(problems[0][0].toString()));
        QVERIFY(rig.store.sync());
        QCOMPARE(recovered.count(), 1);
        QCOMPARE(rig.events("pos125").size(), 400);
        QCOMPARE(problems.count(), 1);
    }

    // A recording process killed with SIGKILL loses at most its last two
    // seconds, and the file opens cleanly afterwards.
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

    // Another program holding the write lock for 2 s costs the recorder no
    // time and no reading.
    void aLockedFileNeverStallsTheRecorder() {
        Rig rig;
        rig.link(zel::LinkState::Connected);
        rig.advance(1000);
        rig.store.sync();
        {
            QSqlDatabase other = QSqlDatabase::addDatabase("QSQLITE", "holder");
            other.setDatabaseName(rig.path());
            QVERIFY(other.open());
            QSqlQuery q(other);
            QVERIFY(q.exec("BEGIN IMMEDIATE"));
            QElapsedTimer held, call;
            held.start();
            qint64 slowest = 0;
            int fed = 0;
            while (held.elapsed() < 2000) {
                call.start();
                rig.feed(10, readings(30, 30));
                rig.advance(0);
                slowest = std::max(slowest, call.elapsed());
                fed += 10;
                QTest::qSleep(20);
            }
            QVERIFY(q.exec("COMMIT"));
            QVERIFY2(slowest < 100, qPrintable(QString::number(slowest)));
            int recorded = 0;
            for (const zel::MinuteRecord& m : rig.minutes())
                recorded += m.packets;
            QCOMPARE(recorded, fed);
        }
        QSqlDatabase::removeDatabase("holder");
    }

    // Two programs creating the same new file at once: while one lays it out
    // (here: holds its lock for 0.6 s), the other waits and then records.
    void twoProgramsOpenANewFileAtOnce() {
        QTemporaryDir dir;
        const QString path = dir.filePath("history.sqlite");
        writeFile(path, {});
        QSemaphore locked, done;
        std::unique_ptr<QThread> other(QThread::create([&] {
            {
                QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "creator");
                db.setDatabaseName(path);
                QSqlQuery q(db);
                const bool ok = db.open() && q.exec("BEGIN EXCLUSIVE");
                locked.release();
                QThread::msleep(600);
                q.exec("ROLLBACK");
                done.release(ok ? 1 : 0);
            }
            QSqlDatabase::removeDatabase("creator");
        }));
        other->start();
        locked.acquire();
        zel::HistoryStore store;
        const bool opened = store.open(path);
        other->wait();
        QVERIFY(done.available() == 1 && opened);
        QVERIFY(writeOne(store) && store.sync());
        QCOMPARE(store.events(0, baseMs() + 1).size(), 1);
    }

    // A whole number of days; below two years kept with a warning naming
    // the rule; the earlier default, never a choice, raised with a notice.
    void retentionSettings() {
        QString error;
        QCOMPARE(zel::parseRetentionDays(" 30 ", &error, "zel.conf"), std::optional<int>(30));
        for (const char* bad : {"400d", "0", "-3", "1.5", "", "+5"}) {
            QVERIFY2(!zel::parseRetentionDays(bad, &error, "/etc/zel.conf"), bad);
            QVERIFY2(error.contains("/etc/zel.conf") && error.contains("retentionDays") &&
                         error.contains(QString("\"%1\"").arg(bad)),
                     qPrintable(error));
        }
        QTemporaryDir dir;
        for (const auto& [days, taken, warned, noticed] :
             {std::tuple(400, 800, false, true), std::tuple(365, 365, true, false),
              std::tuple(399, 399, true, false), std::tuple(730, 730, false, false)}) {
            const QString path = dir.filePath(QString("%1.conf").arg(days));
            writeFile(path, QString("[history]\nretentionDays=%1\n").arg(days).toLatin1());
            QSettings ini(path, QSettings::IniFormat);
            zel::StationConfig config;
            QStringList problems, notices;
            zel::loadOutputSections(ini, &config, &problems, &notices);
            QCOMPARE(config.history.retentionDays, taken);
            QCOMPARE(problems.size(), int(warned));
            QCOMPARE(notices.size(), int(noticed));
            QVERIFY(!warned ||
                    (problems[0].startsWith("history/retentionDays: ") && problems[0].contains("two years")));
            QVERIFY(!noticed || notices[0].contains("raised to the new default, 800 days"));
        }
    }

    // Once a day, each chain's oldest rows first; what is left verifies from
    // the checkpoint, and goes on verifying as rows are added.
    void retentionRunsOnceADayAndLeavesACheckpoint() {
        Rig rig;
        const qint64 day = 24LL * 3600 * 1000, now = baseMs();
        const auto kept = [&] {
            rig.store.sync();
            return rig.store.minutes(0, now).size() + rig.store.events(0, now).size();
        };
        const auto intact = [&] {
            const zel::ChainVerdict v = zel::verifyChain(QSqlDatabase::database(rig.store.connectionName()));
            return v.intact ? v.rows : -1;
        };
        QVERIFY(writeOne(rig.store, now - 801 * day) && writeOne(rig.store, now - 799 * day));
        rig.store.applyRetentionIfDue(now);
        QCOMPARE(kept(), 2);
        QCOMPARE(rig.store.minutes(0, now).first().minuteMs, now - 799 * day);
        QCOMPARE(intact(), 1);
        QVERIFY(writeOne(rig.store, now - 900 * day));
        rig.store.applyRetentionIfDue(now + day / 2); // not a day since the last run
        QCOMPARE(kept(), 4);
        const qint64 eventId = rig.store.events(0, now).first().id;
        QVERIFY(rig.store.addNote(eventId, "Ann", "checked") && rig.store.signOff(now - day, now, "Bo", {}));
        rig.store.setRetentionDays(30);
        rig.store.applyRetentionIfDue(now + day);
        QCOMPARE(kept(), 0);
        QCOMPARE(intact(), 2); // the note and the sign-off, written today
        const qint64 later = QDateTime::currentMSecsSinceEpoch() + 40 * day;
        rig.store.applyRetentionIfDue(later);
        QVERIFY(writeOne(rig.store, later) && rig.store.sync());
        QVERIFY(rig.store.addNote(rig.store.events(0, later + 1).first().id, "Ann", "again"));
        QCOMPARE(intact(), 2); // the new event and note, chained on from the checkpoints
        QVERIFY(rig.store.signOffs(0, later).isEmpty());
    }

    // Long ranges come in buckets that keep each bucket's highest peak.
    void chartSeriesKeepPeaksAndLinkDownSpans() {
        Rig rig;
        const qint64 t0 = baseMs();
        QList<zel::MinuteRecord> rows;
        for (int i = 0; i < 3 * 1440; ++i)
            rows << minute(t0 + i * 60'000LL, 90, (i >= 100 && i < 110) ? 30 : 0);
        rows[2001].posMax = 130;
        QList<zel::EventRecord> none;
        QVERIFY(rig.store.write(none, rows) && rig.store.sync());
        const zel::ChartSeries s = rig.store.chartSeries(t0, t0 + 3 * 1440 * 60'000LL, {}, 1500);
        QCOMPARE(s.bucketMs, 3 * 60'000);
        QCOMPARE(s.posMax.size(), 1440);
        QCOMPARE(std::max_element(s.posMax.begin(), s.posMax.end(),
                                  [](const QPointF& a, const QPointF& b) { return a.y() < b.y(); })
                     ->y(),
                 130.0);
        QCOMPARE(s.linkDown, (QList<QPair<qint64, qint64>>{{t0 + 99 * 60'000LL, t0 + 111 * 60'000LL}}));
        const zel::ChartSeries hour = rig.store.chartSeries(t0, t0 + 3600'000);
        QCOMPARE(std::make_pair(hour.bucketMs, hour.carrierMin.size()),
                 std::make_pair(qint64(60'000), qsizetype(60)));
    }

    // Rows at the range's ends: `from` is in, `to` is out. Times by the one
    // formatter, in UTC and at -03:30; the carrier also in percent; no
    // reading, no value; far-end text escaped.
    void exactBytesForARange_data() {
        QTest::addColumn<QString>("zone");
        QTest::addColumn<QString>("offset");
        QTest::addColumn<QString>("t0"); // the start of the range, local
        QTest::addColumn<QString>("t1"); // a minute later
        QTest::newRow("UTC") << "UTC"
                             << "+00:00"
                             << "2026-12-07T10:00"
                             << "2026-12-07T10:01";
        QTest::newRow("St John's") << "America/St_Johns"
                                   << "-03:30"
                                   << "2026-12-07T06:30"
                                   << "2026-12-07T06:31";
    }
    void exactBytesForARange() {
        QFETCH(QString, zone);
        QFETCH(QString, offset);
        QFETCH(QString, t0);
        QFETCH(QString, t1);
        const Zone local(zone.toLatin1().constData());
        Rig rig;
        const qint64 t = baseMs();
        QList<zel::EventRecord> events;
        const qint64 at[] = {t - 1, t, t + 1000, t + 2000, t + 3600'000};
        for (const char* kind : {"link", "link", "pos125", "carrier-alarm", "link"}) {
            events << historytest::event(at[events.size()], kind, "tcp://site,1:4001");
            std::tie(events.last().posPercent, events.last().negPercent, events.last().carrier) =
                std::tuple(80, 70, 40);
        }
        events[1].detail = "reconnecting: \"x\", then\n\x1b[2Jnothing";
        events[1].posPercent = events[1].negPercent = events[1].carrier = std::nullopt;
        std::tie(events[2].endMs, events[2].packets, events[2].extreme) = std::tuple(t + 1290, 30, 126);
        std::tie(events[3].on, events[3].carrier) = std::tuple(true, 33.5);
        QList<zel::MinuteRecord> minutes{minute(t - 60'000, 1), minute(t, 100), minute(t + 60'000, 0),
                                         minute(t + 3600'000, 1)};
        zel::MinuteRecord& m = minutes[1];
        std::tie(m.rejected, m.pos125Packets, m.pos125Episodes, m.neg100Packets, m.neg100Episodes,
                 m.carrierAlarmS, m.audioLossS, m.linkDownS, m.upS) =
            std::make_tuple(8, 1, 2, 3, 4, 5, 6, 7, 53);
        m.carrierMean = 40.25;
        minutes[2].packets = 0; // no packets, no peaks
        minutes[2].posMax = minutes[2].negMax = minutes[2].carrierMin = minutes[2].carrierMax =
            minutes[2].carrierMean = std::nullopt;
        QVERIFY(rig.store.write(events, minutes) && rig.store.sync());

        const auto csv = [&](zel::CsvTable table) {
            QBuffer buffer;
            buffer.open(QIODevice::WriteOnly);
            QString error;
            const qint64 rows = zel::writeCsv(rig.store, table, &buffer, t, t + 3600'000, {}, &error);
            return QString::number(rows) + '\n' + QString::fromUtf8(buffer.data());
        };
        QCOMPARE(csv(zel::CsvTable::Events),
                 "3\ntime,end,monitor,kind,state,detail,packets,extreme_pct,threshold_pct,pos_peak_pct,"
                 "neg_peak_pct,carrier,carrier_pct,id\r\n" +
                     t0 + ":00.000" + offset +
                     ",,\"tcp://site,1:4001\",link,,"
                     "\"reconnecting: \"\"x\"\", then\\n\\x1b[2Jnothing\",,,,,,,,2\r\n" +
                     t0 + ":01.000" + offset + "," + t0 + ":01.290" + offset +
                     ",\"tcp://site,1:4001\",pos125,,,30,126,,80,70,40,100,3\r\n" + t0 + ":02.000" + offset +
                     ",,\"tcp://site,1:4001\",carrier-alarm,on,,,,,80,70,33.5,87,4\r\n");
        QCOMPARE(
            csv(zel::CsvTable::Minutes),
            "2\nminute,monitor,packets,rejected,pos_peak_max_pct,neg_peak_max_pct,carrier_min,carrier_max,"
            "carrier_mean,pos125_packets,pos125_episodes,neg100_packets,neg100_episodes,carrier_alarm_s,"
            "audio_loss_s,link_down_s,carrier_min_pct,carrier_max_pct,carrier_mean_pct,link_up_s\r\n" +
                t0 + ":00" + offset + ",COM 2,5760,8,100,90,39,41,40.25,1,2,3,4,5,6,7,98,102,100.5,53\r\n" +
                t1 + ":00" + offset + ",COM 2,0,0,,,,,,0,0,0,0,0,0,0,,,,\r\n");
    }

    // Text fields quoted, escaped and defused; time arguments (refused texts
    // leave 0).
    void fieldsAndTimes() {
        QStringList out;
        for (const char* in : {"=1+2", "@SUM(A1)", "a \"b\"", "COM 2", "NO\nCARRIER", "\tBUSY\r", "\rx",
                               "\x1b[31mred", "a\x7f\u0085"})
            out << zel::csvField(QString::fromUtf8(in));
        QCOMPARE(out, QStringList({"'=1+2", "'@SUM(A1)", "\"a \"\"b\"\"\"", "COM 2", "NO\\nCARRIER",
                                   "'\\tBUSY\\r", "'\\rx", "\\x1b[31mred", "a\\x7f\\x85"}));
        for (const QString& text :
             QStringList{"2026-12-07T10:00:00Z", "2026-12-07T11:00+01:00", "2026-12-07 10:00:00Z",
                         "2026-12-07T15:30:00+05:30", "yesterday", "2026-02-30", ""}) {
            qint64 got = 0;
            QCOMPARE(zel::parseTimeArgument(text, &got), text.startsWith("2026-12"));
            QCOMPARE(got, text.startsWith("2026-12") ? baseMs() : 0);
        }
    }

    // A failed export leaves an existing file as it was and says why.
    void aFailedExportChangesNothing() {
        Rig rig;
        QString error;
        QVERIFY(!zel::exportCsv(rig.store, zel::CsvTable::Events, rig.dir.filePath("no/x.csv"), 0, baseMs(),
                                {}, &error));
        QVERIFY(error.contains("no/x.csv"));
        const QString target = rig.dir.filePath("kept.csv");
        writeFile(target, "before");
        rig.store.close();
        QVERIFY(!zel::exportCsv(rig.store, zel::CsvTable::Minutes, target, 0, baseMs(), {}, &error));
        QVERIFY(error.contains("not open"));
        QCOMPARE(readAll(target), QByteArray("before"));
        QVERIFY(rig.store.open(rig.path()));
        QVERIFY(zel::exportCsv(rig.store, zel::CsvTable::Minutes, target, 0, baseMs(), {}, &error));
        QVERIFY(readAll(target).startsWith("minute,monitor,"));
    }
};
ZEL_TEST(HistoryStoreTest)
#include "tst_historystore.moc"
