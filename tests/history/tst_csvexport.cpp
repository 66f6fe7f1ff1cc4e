// CSV of the events and minutes: the exact bytes for a time range, quoting,
// local time with its offset, time arguments, failed exports.
#include "support/testmain.h"

#include "core/history/csvexport.h"
#include "historytestsupport.h"

#include <QBuffer>

using namespace historytest;

namespace {

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

class CsvExportTest : public QObject {
    Q_OBJECT

private slots:
    // Rows at the range's ends: `from` is in, `to` is out.
    void exactBytesForARange() {
        const Zone utc("UTC0");
        Rig rig;
        const qint64 t = baseMs();
        const auto event = [&](qint64 at, const char* kind) {
            zel::EventRecord e;
            e.timeMs = at;
            e.monitor = QStringLiteral("tcp://site,1:4001");
            e.kind = QLatin1String(kind);
            e.posPercent = 80;
            e.negPercent = 70;
            e.carrier = 40;
            return e;
        };
        QList<zel::EventRecord> events{event(t - 1, "link"), event(t, "link"), event(t + 1000, "pos125"),
                                       event(t + 2000, "carrier-alarm"), event(t + 3600'000, "link")};
        events[1].detail = QStringLiteral("reconnecting: \"x\", then\nnothing");
        events[2].endMs = t + 1290;
        events[2].packets = 30;
        events[2].extreme = 126;
        events[3].on = true;
        events[3].carrier = 33.5;
        QList<zel::MinuteRecord> minutes{minute(t - 60'000, 1), minute(t, 100), minute(t + 60'000, 0),
                                         minute(t + 3600'000, 1)};
        zel::MinuteRecord& m = minutes[1];
        std::tie(m.rejected, m.pos125Packets, m.pos125Episodes, m.neg100Packets, m.neg100Episodes,
                 m.carrierAlarmS, m.audioLossS, m.linkDownS) = std::make_tuple(8, 1, 2, 3, 4, 5, 6, 7);
        m.carrierMean = 40.25;
        minutes[2] = zel::MinuteRecord(); // no packets, no peaks
        minutes[2].monitor = QStringLiteral("COM 2");
        minutes[2].minuteMs = t + 60'000;
        QVERIFY(rig.store.write(events, minutes));

        const auto csv = [&](zel::CsvTable table) {
            QBuffer buffer;
            buffer.open(QIODevice::WriteOnly);
            QString error;
            const qint64 rows = zel::writeCsv(rig.store, table, &buffer, t, t + 3600'000, {}, &error);
            return QString::number(rows) + '\n' + QString::fromUtf8(buffer.data());
        };
        QCOMPARE(csv(zel::CsvTable::Events),
                 "3\ntime,end,monitor,kind,state,detail,packets,extreme_pct,threshold_pct,pos_peak_pct,"
                 "neg_peak_pct,carrier\r\n"
                 "2026-12-07T10:00:00.000+00:00,,\"tcp://site,1:4001\",link,,"
                 "\"reconnecting: \"\"x\"\", then\nnothing\",,,,80,70,40\r\n"
                 "2026-12-07T10:00:01.000+00:00,2026-12-07T10:00:01.290+00:00,\"tcp://site,1:4001\",pos125,,,"
                 "30,126,,80,70,40\r\n"
                 "2026-12-07T10:00:02.000+00:00,,\"tcp://site,1:4001\",carrier-alarm,on,,,,,80,70,33.5\r\n");
        QCOMPARE(
            csv(zel::CsvTable::Minutes),
            "2\nminute,monitor,packets,rejected,pos_peak_max_pct,neg_peak_max_pct,carrier_min,carrier_max,"
            "carrier_mean,pos125_packets,pos125_episodes,neg100_packets,neg100_episodes,carrier_alarm_s,"
            "audio_loss_s,link_down_s\r\n"
            "2026-12-07T10:00:00+00:00,COM 2,5760,8,100,90,39,41,40.25,1,2,3,4,5,6,7\r\n"
            "2026-12-07T10:01:00+00:00,COM 2,0,0,,,,,,0,0,0,0,0,0,0\r\n");
    }

    void textFieldsAreQuotedAndDefused() {
        const QList<std::pair<QString, QString>> cases{
            {"=1+2", "'=1+2"},  {"@SUM(A1)", "'@SUM(A1)"},          {"a \"b\"", "\"a \"\"b\"\"\""},
            {"COM 2", "COM 2"}, {"NO\nCARRIER", "\"NO\nCARRIER\""}, {"BUSY\r", "\"BUSY\r\""}};
        for (const auto& [in, out] : cases)
            QCOMPARE(zel::csvField(in), out);
    }

    void localTimeCarriesTheOffset_data() {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QString>("expected");
        QTest::newRow("+05:30") << QByteArray("IST-5:30") << QStringLiteral("2026-12-07T15:30:00+05:30");
        QTest::newRow("-03:30") << QByteArray("NST3:30") << QStringLiteral("2026-12-07T06:30:00-03:30");
    }
    void localTimeCarriesTheOffset() {
        QFETCH(QByteArray, zone);
        QFETCH(QString, expected);
        const Zone local(zone.constData());
        QCOMPARE(zel::isoLocalTime(baseMs()), expected);
        qint64 back = 0;
        QVERIFY(zel::parseTimeArgument(expected, &back));
        QCOMPARE(back, baseMs());
    }

    void timeArguments_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("utcMs"); // 0: refused
        QTest::newRow("UTC") << QStringLiteral("2026-12-07T10:00:00Z") << baseMs();
        QTest::newRow("offset") << QStringLiteral("2026-12-07T11:00+01:00") << baseMs();
        QTest::newRow("space") << QStringLiteral("2026-12-07 10:00:00Z") << baseMs();
        QTest::newRow("words") << QStringLiteral("yesterday") << qint64(0);
        QTest::newRow("bad day") << QStringLiteral("2026-02-30") << qint64(0);
        QTest::newRow("empty") << QString() << qint64(0);
    }
    void timeArguments() {
        QFETCH(QString, text);
        QFETCH(qint64, utcMs);
        qint64 got = 0;
        QCOMPARE(zel::parseTimeArgument(text, &got), utcMs != 0);
        QCOMPARE(got, utcMs);
    }

    // A failed export leaves an existing file as it was and says why.
    void aFailedExportChangesNothing() {
        Rig rig;
        QString error;
        QVERIFY(!zel::exportCsv(rig.store, zel::CsvTable::Events,
                                rig.dir.filePath(QStringLiteral("no/x.csv")), 0, baseMs(), {}, &error));
        QVERIFY(error.contains(QStringLiteral("no/x.csv")));
        const QString target = rig.dir.filePath(QStringLiteral("kept.csv"));
        writeFile(target, "before");
        rig.store.close();
        QVERIFY(!zel::exportCsv(rig.store, zel::CsvTable::Minutes, target, 0, baseMs(), {}, &error));
        QVERIFY(error.contains(QStringLiteral("not open")));
        QCOMPARE(readAll(target), QByteArray("before"));
        QVERIFY(rig.store.open(rig.path()));
        QVERIFY(zel::exportCsv(rig.store, zel::CsvTable::Minutes, target, 0, baseMs(), {}, &error));
        QVERIFY(readAll(target).startsWith("minute,monitor,"));
    }
};
ZEL_TEST(CsvExportTest)
#include "tst_csvexport.moc"
