// CSV of the events and minutes: header, quoting, local time with offset.
#include "support/testmain.h"

#include "core/history/csvexport.h"
#include "historytestsupport.h"

#include <QBuffer>
#include <QFile>
#include <QRegularExpression>

using namespace historytest;

namespace {

// RFC 4180 reader, strict enough to catch a broken quote or line end.
QList<QStringList> parseCsv(const QByteArray& bytes, bool* ok) {
    QList<QStringList> rows;
    QStringList row;
    QString field;
    const QString text = QString::fromUtf8(bytes);
    bool quoted = false;
    *ok = true;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quoted) {
            if (c == QLatin1Char('"')) {
                if (i + 1 < text.size() && text[i + 1] == QLatin1Char('"')) {
                    field += c;
                    ++i;
                } else {
                    quoted = false;
                }
            } else {
                field += c;
            }
        } else if (c == QLatin1Char('"') && field.isEmpty()) {
            quoted = true;
        } else if (c == QLatin1Char(',')) {
            row << field;
            field.clear();
        } else if (c == QLatin1Char('\r')) {
            if (i + 1 >= text.size() || text[i + 1] != QLatin1Char('\n')) *ok = false;
            row << field;
            rows << row;
            row.clear();
            field.clear();
            ++i;
        } else if (c == QLatin1Char('\n') || c == QLatin1Char('"')) {
            *ok = false;
        } else {
            field += c;
        }
    }
    if (quoted || !field.isEmpty() || !row.isEmpty()) *ok = false;
    return rows;
}

QByteArray exported(const zel::HistoryStore& store, zel::CsvTable table) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QString error;
    const qint64 rows = zel::writeCsv(store, table, &buffer, 0, baseMs() + 3600'000, {}, &error);
    if (rows < 0) qWarning() << error;
    return buffer.data();
}

} // namespace

class CsvExportTest : public QObject {
    Q_OBJECT

private slots:
    void eventsRoundTripThroughAStrictReader() {
        Rig rig(QStringLiteral("tcp://site,1:4001"));
        rig.connectLink();
        rig.feed(30, readings(53, 0, 40));
        rig.link(zel::LinkState::Reconnecting, QStringLiteral("=HYPERLINK(\"x\"), then\nnothing"));
        rig.link(zel::LinkState::Connected);
        rig.alarm(zel::AlarmKind::Carrier, true);
        rig.advance(2000);
        rig.recorder->flush();

        bool ok = false;
        const auto rows = parseCsv(exported(rig.store, zel::CsvTable::Events), &ok);
        QVERIFY(ok);
        QCOMPARE(rows.first().join(QLatin1Char(',')),
                 QStringLiteral("time,end,monitor,kind,state,detail,packets,extreme_pct,threshold_pct,"
                                "pos_peak_pct,neg_peak_pct,carrier"));
        QCOMPARE(rows.size(), 1 + 6); // connected, pos125, pos-variable, reconnecting, connected, carrier
        for (const QStringList& r : rows)
            QCOMPARE(r.size(), 12);
        QCOMPARE(rows[1][2], QStringLiteral("tcp://site,1:4001"));
        QCOMPARE(rows[1][3], QStringLiteral("link"));
        QStringList kinds;
        for (int i = 1; i < rows.size(); ++i)
            kinds << rows[i][3];
        QVERIFY(kinds.contains(QStringLiteral("pos125")));
        const auto lost = *std::find_if(rows.begin(), rows.end(), [](const QStringList& r) {
            return r[5].startsWith(QStringLiteral("reconnecting"));
        });
        QCOMPARE(lost[5], QStringLiteral("reconnecting: =HYPERLINK(\"x\"), then\nnothing"));
        const QStringList episode = rows[kinds.indexOf(QStringLiteral("pos125")) + 1];
        QCOMPARE(episode[6], QStringLiteral("30"));
        QCOMPARE(episode[7], QStringLiteral("126"));
        QCOMPARE(rows.last()[4], QStringLiteral("on"));
        const QRegularExpression iso(
            QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$)"));
        QVERIFY2(iso.match(episode[0]).hasMatch(), qPrintable(episode[0]));
        QVERIFY(iso.match(episode[1]).hasMatch());
        QCOMPARE(QDateTime::fromString(rows[1][0], Qt::ISODateWithMs).toMSecsSinceEpoch(), baseMs());
    }

    void textFieldsAreQuotedAndDefused() {
        QCOMPARE(zel::csvField(QStringLiteral("=1+2")), QStringLiteral("'=1+2"));
        QCOMPARE(zel::csvField(QStringLiteral("@SUM(A1)")), QStringLiteral("'@SUM(A1)"));
        QCOMPARE(zel::csvField(QStringLiteral("a \"b\"")), QStringLiteral("\"a \"\"b\"\"\""));
        QCOMPARE(zel::csvField(QStringLiteral("COM 2")), QStringLiteral("COM 2"));
        QCOMPARE(zel::csvField(QStringLiteral("NO\nCARRIER")), QStringLiteral("\"NO\nCARRIER\""));
        QCOMPARE(zel::csvField(QStringLiteral("BUSY\r")), QStringLiteral("\"BUSY\r\""));
    }

    void minutesCarryEveryColumn() {
        Rig rig;
        rig.connectLink();
        rig.feed(100, readings(30, 25, 40), 100);
        rig.advance(60'000);
        bool ok = false;
        const auto rows = parseCsv(exported(rig.store, zel::CsvTable::Minutes), &ok);
        QVERIFY(ok);
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows[0].size(), 16);
        QCOMPARE(rows[0][0], QStringLiteral("minute"));
        QCOMPARE(QDateTime::fromString(rows[1][0], Qt::ISODate).toMSecsSinceEpoch(), baseMs());
        QCOMPARE(rows[1].mid(1, 9).join(QLatin1Char(',')), QStringLiteral("COM 2,100,0,80,70,40,40,40,0"));
        QCOMPARE(rows[2][2], QStringLiteral("0"));
        QCOMPARE(rows[2][4], QString()); // no packets, no peaks
    }

    void localTimeCarriesTheOffset_data() {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QString>("expected");
        QTest::newRow("UTC") << QByteArray("UTC0") << QStringLiteral("2026-12-07T10:00:00+00:00");
        QTest::newRow("+05:30") << QByteArray("IST-5:30") << QStringLiteral("2026-12-07T15:30:00+05:30");
        QTest::newRow("-03:30") << QByteArray("NST3:30") << QStringLiteral("2026-12-07T06:30:00-03:30");
    }
    void localTimeCarriesTheOffset() {
        QFETCH(QByteArray, zone);
        QFETCH(QString, expected);
        const QByteArray saved = qgetenv("TZ");
        qputenv("TZ", zone);
        tzset();
        const QString text = zel::isoLocalTime(baseMs());
        qint64 back = 0;
        const bool parsed = zel::parseTimeArgument(text, &back);
        saved.isNull() ? qunsetenv("TZ") : qputenv("TZ", saved);
        tzset();
        QCOMPARE(text, expected);
        QVERIFY(parsed);
        QCOMPARE(back, baseMs());
    }

    void timeArguments_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<qint64>("utcMs");
        QTest::newRow("UTC") << QStringLiteral("2026-12-07T10:00:00Z") << true << baseMs();
        QTest::newRow("offset") << QStringLiteral("2026-12-07T11:00+01:00") << true << baseMs();
        QTest::newRow("space") << QStringLiteral("2026-12-07 10:00:00Z") << true << baseMs();
        QTest::newRow("words") << QStringLiteral("yesterday") << false << qint64(0);
        QTest::newRow("bad day") << QStringLiteral("2026-02-30") << false << qint64(0);
        QTest::newRow("empty") << QString() << false << qint64(0);
    }
    void timeArguments() {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(qint64, utcMs);
        qint64 got = 0;
        QCOMPARE(zel::parseTimeArgument(text, &got), valid);
        if (valid) QCOMPARE(got, utcMs);
    }

    // A failed export leaves an existing file as it was and says why.
    void aFailedExportChangesNothing() {
        Rig rig;
        QTemporaryDir dir;
        QString error;
        QVERIFY(!zel::exportCsv(rig.store, zel::CsvTable::Events,
                                dir.filePath(QStringLiteral("no/such/x.csv")), 0, baseMs(), {}, &error));
        QVERIFY(error.contains(QStringLiteral("no/such/x.csv")));
        const QString target = dir.filePath(QStringLiteral("kept.csv"));
        QFile f(target);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("before");
        f.close();
        rig.store.close();
        QVERIFY(!zel::exportCsv(rig.store, zel::CsvTable::Minutes, target, 0, baseMs(), {}, &error));
        QVERIFY(error.contains(QStringLiteral("not open")));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("before"));
        QVERIFY(rig.store.open(rig.path()));
        QVERIFY(zel::exportCsv(rig.store, zel::CsvTable::Minutes, target, 0, baseMs(), {}, &error));
        f.close();
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY(f.readAll().startsWith("minute,monitor,"));
    }
};
ZEL_TEST(CsvExportTest)
#include "tst_csvexport.moc"
