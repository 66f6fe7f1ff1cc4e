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
        QList<zel::EventRecord> events;
        const qint64 at[] = {t - 1, t, t + 1000, t + 2000, t + 3600'000};
        for (const char* kind : {"link", "link", "pos125", "carrier-alarm", "link"}) {
            events << historytest::event(at[events.size()], kind, "tcp://site,1:4001");
            std::tie(events.last().posPercent, events.last().negPercent, events.last().carrier) =
                std::tuple(80, 70, 40);
        }
        events[1].detail = "reconnecting: \"x\", then\nnothing";
        std::tie(events[2].endMs, events[2].packets, events[2].extreme) = std::tuple(t + 1290, 30, 126);
        std::tie(events[3].on, events[3].carrier) = std::tuple(true, 33.5);
        QList<zel::MinuteRecord> minutes{minute(t - 60'000, 1), minute(t, 100), minute(t + 60'000, 0),
                                         minute(t + 3600'000, 1)};
        zel::MinuteRecord& m = minutes[1];
        std::tie(m.rejected, m.pos125Packets, m.pos125Episodes, m.neg100Packets, m.neg100Episodes,
                 m.carrierAlarmS, m.audioLossS, m.linkDownS) = std::make_tuple(8, 1, 2, 3, 4, 5, 6, 7);
        m.carrierMean = 40.25;
        minutes[2].packets = 0; // no packets, no peaks
        minutes[2].posMax = minutes[2].negMax = minutes[2].carrierMin = minutes[2].carrierMax =
            minutes[2].carrierMean = std::nullopt;
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

    // Text fields quoted and defused; local time with its offset; time
    // arguments (refused texts leave 0).
    void fieldsAndTimes() {
        QStringList out;
        for (const char* in : {"=1+2", "@SUM(A1)", "a \"b\"", "COM 2", "NO\nCARRIER", "BUSY\r"})
            out << zel::csvField(in);
        QCOMPARE(out, QStringList({"'=1+2", "'@SUM(A1)", "\"a \"\"b\"\"\"", "COM 2", "\"NO\nCARRIER\"",
                                   "\"BUSY\r\""}));
        for (const auto& [zone, expected] : {std::pair("IST-5:30", "2026-12-07T15:30:00+05:30"),
                                             std::pair("NST3:30", "2026-12-07T06:30:00-03:30")}) {
            const Zone local(zone);
            QCOMPARE(zel::isoLocalTime(baseMs()), expected);
        }
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
ZEL_TEST(CsvExportTest)
#include "tst_csvexport.moc"
