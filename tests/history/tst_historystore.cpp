// The history file: created where missing, damaged or foreign files moved
// aside (never deleted), a full disk reported once, retention, queries.
#include "support/testmain.h"

#include "historytestsupport.h"

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>

using namespace historytest;

namespace {

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

// Runs one statement on a connection of its own.
void runSql(const QString& path, const QStringList& statements) {
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("side"));
        db.setDatabaseName(path);
        QVERIFY(db.open());
        QSqlQuery q(db);
        for (const QString& s : statements)
            QVERIFY2(q.exec(s), qPrintable(s));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("side"));
}

zel::MinuteRecord minute(qint64 t, double pos, int linkDown = 0) {
    zel::MinuteRecord m;
    m.monitor = QStringLiteral("COM 2");
    m.minuteMs = t;
    m.packets = 5760;
    m.posMax = pos;
    m.negMax = pos - 10;
    m.carrierMin = 39;
    m.carrierMax = 41;
    m.carrierMean = 40;
    m.linkDownS = linkDown;
    return m;
}

bool writeMinutes(zel::HistoryStore& store, const QList<zel::MinuteRecord>& rows) {
    QList<zel::EventRecord> none;
    return store.write(none, rows);
}

} // namespace

class HistoryStoreTest : public QObject {
    Q_OBJECT

private slots:
    void aMissingFileAndFolderAreCreatedInWalMode() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("a/b/history.sqlite"));
        zel::HistoryStore store;
        QSignalSpy problems(&store, &zel::HistoryStore::problem);
        QVERIFY(store.open(path));
        QCOMPARE(problems.count(), 0);
        QSqlQuery q(QSqlDatabase::database(store.connectionName()));
        QVERIFY(q.exec(QStringLiteral("PRAGMA journal_mode")) && q.next());
        QCOMPARE(q.value(0).toString(), QStringLiteral("wal"));
        q.finish();
        QVERIFY(writeMinutes(store, {minute(baseMs(), 100)}));
        QVERIFY(QFile::exists(path + QStringLiteral("-wal")));
        store.close();
        QVERIFY(store.open(path)); // and it opens again as ours
        QCOMPARE(store.minutes(0, baseMs() + 60'000).size(), 1);
        QCOMPARE(problems.count(), 0);
    }

    void theDefaultPathFollowsXdgDataHome() {
        const QByteArray saved = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", "/tmp/zel-data-home");
        QCOMPARE(zel::HistoryStore::defaultPath(), QStringLiteral("/tmp/zel-data-home/zel/history.sqlite"));
        qputenv("XDG_DATA_HOME", saved);
    }

    void aDamagedOrForeignFileIsMovedAside_data() {
        QTest::addColumn<QString>("what");
        QTest::newRow("garbage") << QStringLiteral("garbage");
        QTest::newRow("corrupt page") << QStringLiteral("corrupt");
        QTest::newRow("foreign database") << QStringLiteral("foreign");
    }
    void aDamagedOrForeignFileIsMovedAside() {
        QFETCH(QString, what);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("history.sqlite"));
        if (what == QLatin1String("garbage")) {
            QByteArray junk;
            for (int i = 0; i < 8192; ++i)
                junk += char((i * 37 + 11) & 0xff);
            writeFile(path, junk);
        } else if (what == QLatin1String("foreign")) {
            runSql(path, {QStringLiteral("CREATE TABLE contacts (name TEXT)"),
                          QStringLiteral("INSERT INTO contacts VALUES ('x')")});
        } else {
            {
                zel::HistoryStore store;
                QVERIFY(store.open(path));
                QList<zel::MinuteRecord> rows;
                for (int i = 0; i < 3000; ++i)
                    rows << minute(baseMs() + i * 60'000LL, 100);
                QVERIFY(writeMinutes(store, rows));
            }
            QByteArray bytes = readAll(path);
            QVERIFY(bytes.size() > 5 * 4096);
            for (int i = 4096; i < 4 * 4096; ++i)
                bytes[i] = char(0x5a);
            writeFile(path, bytes);
        }
        const QByteArray before = readAll(path);

        zel::HistoryStore store;
        QSignalSpy problems(&store, &zel::HistoryStore::problem);
        QVERIFY(store.open(path));
        QCOMPARE(problems.count(), 1);
        const QString message = problems[0][0].toString();
        const QString aside = store.movedAsidePath();
        QVERIFY(aside.startsWith(path + QStringLiteral(".damaged-")));
        QVERIFY2(message.contains(path) && message.contains(aside), qPrintable(message));
        QCOMPARE(readAll(aside), before); // kept as it was
        QVERIFY(writeMinutes(store, {minute(baseMs(), 100)}));
        QCOMPARE(store.minutes(0, baseMs() + 60'000).size(), 1);
    }

    // Files that are fine or that must not be touched.
    void emptyUnreachableAndNewerFiles() {
        QTemporaryDir dir;
        const QString empty = dir.filePath(QStringLiteral("empty.sqlite"));
        writeFile(empty, {});
        zel::HistoryStore store;
        QSignalSpy problems(&store, &zel::HistoryStore::problem);
        QVERIFY(store.open(empty)); // an empty file is a new database
        QCOMPARE(problems.count(), 0);

        writeFile(dir.filePath(QStringLiteral("plain")), "x");
        QVERIFY(!store.open(dir.filePath(QStringLiteral("plain/history.sqlite"))));
        QCOMPARE(problems.count(), 1);
        QVERIFY(problems[0][0].toString().contains(QStringLiteral("plain/history.sqlite")));
        QVERIFY(!store.isOpen());
        QVERIFY(!writeMinutes(store, {minute(baseMs(), 100)})); // fails quietly, no crash

        const QString newer = dir.filePath(QStringLiteral("newer.sqlite"));
        QVERIFY(store.open(newer));
        store.close();
        runSql(newer, {QStringLiteral("UPDATE meta SET value = '99' WHERE key = 'version'")});
        const QByteArray before = readAll(newer);
        QVERIFY(!store.open(newer));
        QCOMPARE(problems.count(), 2);
        QVERIFY(problems[1][0].toString().contains(QStringLiteral("newer version")));
        QCOMPARE(readAll(newer), before);
        QVERIFY(QDir(dir.path()).entryList({QStringLiteral("*.damaged-*")}).isEmpty());
    }

    // A full disk: one message, the rows kept, recording resumes with space.
    void aFullDiskIsReportedOnceAndRecordingResumes() {
        Rig rig;
        QSignalSpy problems(&rig.store, &zel::HistoryStore::problem);
        QSignalSpy recorderProblems(rig.recorder.get(), &zel::Recorder::problem);
        QSignalSpy recovered(&rig.store, &zel::HistoryStore::recovered);
        QSqlQuery q(QSqlDatabase::database(rig.store.connectionName()));
        QVERIFY(q.exec(QStringLiteral("PRAGMA page_count")) && q.next());
        const int pages = q.value(0).toInt();
        QVERIFY(q.exec(QStringLiteral("PRAGMA max_page_count = %1").arg(pages)));

        rig.connectLink();
        for (int i = 0; i < 400; ++i) {
            rig.feed(20, readings(53, 41)); // an episode each
            rig.advance(1100);
        }
        QCOMPARE(problems.count(), 1);
        QCOMPARE(recorderProblems.count(), 1);
        QVERIFY(problems[0][0].toString().contains(QStringLiteral("full")));
        QVERIFY(rig.events({QStringLiteral("pos125")}).size() < 300);

        QVERIFY(q.exec(QStringLiteral("PRAGMA max_page_count = 1000000")));
        rig.advance(1000);
        QCOMPARE(recovered.count(), 1);
        QCOMPARE(rig.events({QStringLiteral("pos125")}).size(), 400);
        QCOMPARE(problems.count(), 1);
    }

    void retentionRunsOnceADay() {
        Rig rig;
        const qint64 day = 24LL * 3600 * 1000;
        const qint64 now = baseMs();
        const auto seed = [&](qint64 t) {
            QList<zel::EventRecord> events;
            zel::EventRecord e;
            e.timeMs = t;
            e.monitor = QStringLiteral("COM 2");
            e.kind = QStringLiteral("link");
            e.detail = QStringLiteral("connected");
            events << e;
            QVERIFY(rig.store.write(events, {minute(t, 100)}));
        };
        seed(now - 401 * day);
        seed(now - 399 * day);
        rig.store.applyRetentionIfDue(now);
        QCOMPARE(rig.store.minutes(0, now).size(), 1);
        QCOMPARE(rig.store.events(0, now).size(), 1);
        QCOMPARE(rig.store.minutes(0, now).first().minuteMs, now - 399 * day);

        seed(now - 500 * day);
        rig.store.applyRetentionIfDue(now + day / 2); // not a day since the last run
        QCOMPARE(rig.store.minutes(0, now).size(), 2);
        rig.store.setRetentionDays(30);
        rig.store.applyRetentionIfDue(now + day);
        QCOMPARE(rig.store.minutes(0, now).size(), 0);
        QCOMPARE(rig.store.events(0, now).size(), 0);
    }

    // Long ranges come in buckets that keep each bucket's highest peak.
    void chartSeriesKeepPeaksAndLinkDownSpans() {
        Rig rig;
        const qint64 t0 = baseMs();
        QList<zel::MinuteRecord> rows;
        for (int i = 0; i < 3 * 1440; ++i)
            rows << minute(t0 + i * 60'000LL, 90, (i >= 100 && i < 110) ? 30 : 0);
        rows[2001].posMax = 130;
        QVERIFY(writeMinutes(rig.store, rows));
        const zel::ChartSeries s = rig.store.chartSeries(t0, t0 + 3 * 1440 * 60'000LL, {}, 1500);
        QCOMPARE(s.bucketMs, 3 * 60'000);
        QCOMPARE(s.posMax.size(), 1440);
        double highest = 0;
        for (const QPointF& p : s.posMax)
            highest = std::max(highest, p.y());
        QCOMPARE(highest, 130.0);
        QCOMPARE(s.linkDown.size(), 1);
        QCOMPARE(s.linkDown[0].first, t0 + 99 * 60'000LL);
        QCOMPARE(s.linkDown[0].second, t0 + 111 * 60'000LL);
        const zel::ChartSeries hour = rig.store.chartSeries(t0, t0 + 3600'000);
        QCOMPARE(hour.bucketMs, 60'000);
        QCOMPARE(hour.carrierMin.size(), 60);
    }
};
ZEL_TEST(HistoryStoreTest)
#include "tst_historystore.moc"
