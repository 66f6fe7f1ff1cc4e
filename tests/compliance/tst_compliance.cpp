// The compliance record: minutes classed against hand-computed ones, days
// with a clock change, the CSV made twice, the PDF (its text, its pages and
// build/compliance.png), both programs' command lines, and File > Compliance
// Report... in the panel.
#include "core/outputs/compliance/compliancesummary.h"
#include "core/outputs/history/historystore.h"
#include "core/session/monitorsession.h"
#include "gui/frmzelmain.h"
#include "gui/history/compliancereport.h"
#include "support/faketransport.h"
#include "support/testmain.h"
#include "support/testsupport.h"

#include <QBuffer>
#include <QComboBox>
#include <QDateEdit>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <ctime>

namespace {

using zel::MinuteClass;

const QDate Day(2026, 12, 7);

// The process's local time zone for a while (the rules read TZ).
class Zone {
public:
    explicit Zone(const char* tz)
        : m_old(qgetenv("TZ"))
        , m_had(qEnvironmentVariableIsSet("TZ")) {
        qputenv("TZ", tz);
        tzset();
    }
    ~Zone() {
        if (m_had)
            qputenv("TZ", m_old);
        else
            qunsetenv("TZ");
        tzset();
    }

private:
    QByteArray m_old;
    bool m_had;
};

qint64 at(int hour, int minute, int second = 0) {
    return QDateTime(Day, QTime(hour, minute, second), Qt::UTC).toMSecsSinceEpoch();
}

zel::MinuteRecord minute(int hm, double pos, std::optional<int> upS = 60) {
    zel::MinuteRecord m;
    m.monitor = QStringLiteral("wzel");
    m.minuteMs = at(hm / 100, hm % 100);
    m.packets = 5760;
    std::tie(m.posMax, m.negMax, m.carrierMin, m.carrierMax, m.carrierMean) = std::tuple(pos, 90, 38, 41, 40);
    m.upS = upS;
    m.linkDownS = 60 - upS.value_or(60);
    return m;
}

zel::EventRecord event(qint64 t, const char* kind, std::optional<bool> on = {},
                       const QString& monitor = "wzel") {
    zel::EventRecord e;
    std::tie(e.timeMs, e.kind, e.on, e.monitor) = std::tuple(t, QLatin1String(kind), on, monitor);
    return e;
}

// One day of "wzel" around noon, hand-computed (UTC), and a second monitor.
void fillRecord(zel::HistoryStore& store) {
    QList<zel::MinuteRecord> m{minute(1159, 100),    minute(1200, 126), minute(1202, 100, 20),
                               minute(1203, 84),     minute(1204, 86),  minute(1205, 100),
                               minute(1206, 100),    minute(1207, 100), minute(1208, 100, std::nullopt),
                               minute(1209, 126, 10)};
    m[1].pos125Packets = 3;  // the exceedance at 12:00:30
    m[5].neg100Packets = 9;  // just below the count
    m[6].neg100Packets = 10; // at it
    m[9].pos125Packets = 1;  // seen in the little that was watched
    zel::MinuteRecord aux = minute(1200, 100);
    aux.monitor = QStringLiteral("wzel-aux");
    m << aux;
    zel::EventRecord episode = event(at(12, 0, 30), zel::EventKind::Pos125);
    std::tie(episode.endMs, episode.packets, episode.extreme) = std::tuple(at(12, 0, 30) + 20, 3, 126.0);
    QList<zel::EventRecord> e{episode,
                              event(at(12, 7, 5), zel::EventKind::NoData, true), // 35 s without data
                              event(at(12, 7, 40), zel::EventKind::NoData, false),
                              event(at(11, 0), zel::EventKind::CarrierAlarm, true),
                              event(at(11, 0, 12), zel::EventKind::CarrierAlarm, false),
                              event(at(23, 50), zel::EventKind::AudioLoss, true)}; // on past midnight
    QVERIFY(store.write(e, m));
    QVERIFY(store.sync());
}

QList<zel::ComplianceMinute> table(const zel::HistoryStore& store, QDate from, QDate to,
                                   const QString& monitor = "wzel") {
    QList<zel::ComplianceMinute> rows;
    QString error;
    const bool ok = zel::ComplianceTable(store, monitor, {})
                        .forEachMinute(
                            from, to, [&](const zel::ComplianceMinute& m) { rows << m; }, &error);
    if (!ok) qWarning("%s", qPrintable(error));
    return rows;
}

QString tool(const char* name) {
    return QStandardPaths::findExecutable(QLatin1String(name));
}

QString pdfText(const QString& pdf) {
    QProcess p;
    p.start(tool("pdftotext"), {"-layout", pdf, "-"});
    p.waitForFinished(30000);
    return QString::fromUtf8(p.readAllStandardOutput());
}

} // namespace

class ComplianceTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    zel::HistoryStore m_store;
    Zone m_utc{"UTC"};

    QString path(const QString& name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase() {
        QVERIFY(m_store.open(path("history.sqlite")));
        fillRecord(m_store);
    }

    void minutesAreClassed_data() {
        QTest::addColumn<int>("hm");
        QTest::addColumn<MinuteClass>("cls");
        QTest::addColumn<int>("validS");
        QTest::newRow("before") << 1159 << MinuteClass::Ok << 60;
        QTest::newRow("exceedance at 12:00:30") << 1200 << MinuteClass::Over << 60;
        QTest::newRow("gap: no row") << 1201 << MinuteClass::Unmonitored << 0;
        QTest::newRow("gap: up 20 s") << 1202 << MinuteClass::Unmonitored << 20;
        QTest::newRow("low: 84 %") << 1203 << MinuteClass::Low << 60;
        QTest::newRow("not low: 86 %") << 1204 << MinuteClass::Ok << 60;
        QTest::newRow("9 past -100 %") << 1205 << MinuteClass::Ok << 60;
        QTest::newRow("10 past -100 %") << 1206 << MinuteClass::Over << 60;
        QTest::newRow("no data for 35 s") << 1207 << MinuteClass::Unmonitored << 25;
        QTest::newRow("older row, no up time") << 1208 << MinuteClass::Ok << 60;
        QTest::newRow("a peak in 10 s watched") << 1209 << MinuteClass::Over << 10;
    }
    void minutesAreClassed() {
        QFETCH(int, hm);
        QFETCH(MinuteClass, cls);
        QFETCH(int, validS);
        const QList<zel::ComplianceMinute> rows = table(m_store, Day, Day);
        QCOMPARE(rows.size(), 1440);
        const zel::ComplianceMinute& m = rows[(hm / 100) * 60 + hm % 100];
        QCOMPARE(m.minuteMs, at(hm / 100, hm % 100));
        QCOMPARE(zel::minuteClassName(m.cls), zel::minuteClassName(cls));
        QCOMPARE(m.validS, validS);
    }

    // Every local minute once, 23 or 25 hours on the days the clocks change,
    // across days as well as within one.
    void clockChanges_data() {
        QTest::addColumn<QDate>("from");
        QTest::addColumn<QDate>("to");
        QTest::addColumn<int>("rows");
        QTest::newRow("spring forward") << QDate(2026, 3, 8) << QDate(2026, 3, 8) << 1380;
        QTest::newRow("fall back") << QDate(2026, 11, 1) << QDate(2026, 11, 1) << 1500;
        QTest::newRow("three days") << QDate(2026, 10, 31) << QDate(2026, 11, 2) << 1440 + 1500 + 1440;
    }
    void clockChanges() {
        QFETCH(QDate, from);
        QFETCH(QDate, to);
        QFETCH(int, rows);
        Zone zone("America/New_York");
        const QList<zel::ComplianceMinute> t = table(m_store, from, to);
        QCOMPARE(t.size(), rows);
        QCOMPARE(t.first().minuteMs, from.startOfDay().toMSecsSinceEpoch());
        QCOMPARE(t.last().minuteMs + 60'000, to.addDays(1).startOfDay().toMSecsSinceEpoch());
        for (qsizetype i = 1; i < t.size(); ++i)
            QCOMPARE(t[i].minuteMs - t[i - 1].minuteMs, 60'000);
    }

    // The same record gives the same bytes; a row as an inspector reads it.
    void theCsvIsReproducible() {
        const zel::ComplianceTable t(m_store, "wzel", {});
        QString error;
        QVERIFY2(t.exportCsv(Day, Day, path("a.csv"), &error), qPrintable(error));
        QVERIFY(t.exportCsv(Day, Day, path("b.csv"), &error));
        QFile a(path("a.csv")), b(path("b.csv"));
        QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
        const QByteArray bytes = a.readAll();
        QCOMPARE(bytes, b.readAll());
        const QList<QByteArray> lines = bytes.split('\n');
        QCOMPARE(lines.size(), 1 + 1440 + 1); // the header, the minutes, nothing after the last CR LF
        QCOMPARE(lines[0], "minute,monitor,pos_peak_max_pct,neg_peak_max_pct,packets,neg100_packets,"
                           "pos125_packets,carrier_min_pct,carrier_max_pct,valid_s,class\r");
        QCOMPARE(lines[1 + 12 * 60], "2026-12-07T12:00:00+00:00,wzel,126,90,5760,0,3,96,102,60,over\r");
        QCOMPARE(lines[1], "2026-12-07T00:00:00+00:00,wzel,,,0,0,0,,,0,unmonitored\r");
    }

    // [compliance] values that cannot be used keep their defaults, with a
    // message naming the key.
    void settings() {
        QFile f(path("zel.conf"));
        QVERIFY(f.open(QIODevice::WriteOnly) &&
                f.write("[compliance]\nnegRecurrence=2\nlowPercent=high\npaper=letter\n") > 0);
        f.close();
        QSettings ini(path("zel.conf"), QSettings::IniFormat);
        QStringList problems;
        const zel::ComplianceSettings s = zel::readComplianceSettings(ini, &problems);
        QCOMPARE(std::tuple(s.negRecurrence, s.lowPercent, s.paper),
                 std::tuple(2, 85, zel::ComplianceSettings::Paper::Letter));
        QCOMPARE(problems.size(), 1);
        QVERIFY2(problems[0].startsWith("compliance/lowPercent: \"high\""), qPrintable(problems[0]));
    }

    // The report's facts, its text and pages; notes and sign-offs read from
    // the record ("none" without them); Letter paper as set.
    void theReport() {
        if (tool("pdftotext").isEmpty() || tool("pdfinfo").isEmpty()) QSKIP("poppler-utils is not installed");
        zel::ComplianceSummary s;
        QString error;
        QVERIFY(zel::summarizeCompliance(zel::ComplianceTable(m_store, "wzel", {}), m_store, Day, Day, &s,
                                         &error, at(23, 55)));
        using Span = QPair<qint64, qint64>;
        QCOMPARE(s.unmonitored, (QList<Span>{{at(0, 0), at(11, 59)},
                                             {at(12, 1), at(12, 3)},
                                             {at(12, 7), at(12, 8)},
                                             {at(12, 9), at(0, 0) + 86'400'000}}));
        QCOMPARE(
            std::tuple(s.days.size(), s.monitored, s.days[0].over, s.days[0].low, s.days[0].neg100Packets),
            std::tuple(1, 7, 3, 1, qint64(19)));
        QCOMPARE(s.pos125.size(), 1);
        QCOMPARE(s.alarms.size(), 2);
        QCOMPARE(std::tuple(s.alarms[1].onMs, s.alarms[1].offMs, s.alarms[1].stillOn),
                 std::tuple(at(23, 50), at(23, 55), true));

        zel::ComplianceReportRequest r{Day, Day, "wzel", path("bare.pdf")};
        QVERIFY2(zel::writeComplianceReport(m_store, r, {}, "WZEL 1230 AM", "WZEL", &error),
                 qPrintable(error));
        QString text = pdfText(r.path);
        QCOMPARE(text.count(QStringLiteral("none")), 2); // no notes, no sign-offs
        QVERIFY2(text.contains("WZEL (wzel)") && text.contains("2026-12-07T12:00:30+00:00"),
                 qPrintable(text));

        // A note and a sign-off as the record keeps them.
        const qint64 episodeId = m_store.events(0, at(13, 0), {zel::EventKind::Pos125}).first().id;
        QVERIFY2(m_store.addNote(
                     episodeId, "J. Operator",
                     "Limiter threshold lowered by 1 dB after the burst; watched for an hour, no repeat.",
                     &error),
                 qPrintable(error));
        QVERIFY2(m_store.signOff(at(0, 0) - 6 * 86'400'000LL, at(0, 0) + 86'400'000, "C. Chief", "Reviewed",
                                 &error),
                 qPrintable(error));
        zel::ComplianceSettings letter;
        letter.paper = zel::ComplianceSettings::Paper::Letter;
        r.path = path("compliance.pdf");
        r.from = Day.addDays(-30); // a table across pages
        QVERIFY(zel::writeComplianceReport(m_store, r, letter, "WZEL 1230 AM", "wzel", &error));
        text = pdfText(r.path);
        for (const char* says : {"J. Operator", "Limiter", "C. Chief", "Reviewed"})
            QVERIFY2(text.contains(QLatin1String(says)), says);
        QProcess info;
        info.start(tool("pdfinfo"), {r.path});
        info.waitForFinished();
        const QString infoText = QString::fromUtf8(info.readAllStandardOutput());
        QVERIFY2(infoText.contains("612 x 792 pts"), qPrintable(infoText));
        const int pages = infoText.section("Pages:", 1).section('\n', 0, 0).trimmed().toInt();
        QVERIFY(pages >= 2);
        for (int n = 1; n <= pages; ++n)
            QVERIFY2(text.contains(QStringLiteral("page %1 of %2").arg(n).arg(pages)), qPrintable(text));
        const QString png = QStringLiteral(ZEL_TEST_OUTPUT_DIR "/compliance");
        QCOMPARE(QProcess::execute(tool("pdftoppm"),
                                   {"-png", "-r", "80", "-f", "1", "-l", "1", "-singlefile", r.path, png}),
                 0);
    }

    // Both programs: what they write, and how they refuse.
    void commandLines_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("says"); // in standard error, or the CSV's 12:05 row
        const QString logger = ZEL_LOGGER, app = ZEL_APP;
        const QString history = m_dir.filePath("history.sqlite");
        const QStringList period{"--compliance", "2026-12-07", "2026-12-07", "--history", history};
        QTest::newRow("logger, one monitor")
            << logger << period + QStringList{"--monitor", "wzel", "--output", "-"} << 0
            << ",100,90,5760,9,0,96,102,60,ok";
        QTest::newRow("logger, its config's limits")
            << logger
            << period + QStringList{"--monitor", "wzel", "--output", "-", "--config", path("site.conf")} << 0
            << ",9,0,96,102,60,over";
        QTest::newRow("logger, which monitor?") << logger << period + QStringList{"--output", "-"} << 2
                                                << "(\"wzel\", \"wzel-aux\"): name one with --monitor";
        QTest::newRow("logger, unknown monitor")
            << logger << period + QStringList{"--output", "-", "--monitor", "wzel-2"} << 2
            << "holds no record";
        QTest::newRow("logger, backwards")
            << logger << QStringList{"--compliance", "2026-12-07", "2026-12-06", "--output", "-"} << 2
            << "ends (2026-12-06) before";
        QTest::newRow("logger, no such file")
            << logger << QStringList{"--compliance", "2026-12-07",       "2026-12-07", "--output", "-",
                                     "--history",    path("none.sqlite")}
            << 1 << "no history file";
        QTest::newRow("panel") << app
                               << period + QStringList{"--monitor", "wzel", "--output", path("app.pdf")} << 0
                               << "";
        QTest::newRow("panel, one day")
            << app << QStringList{"--compliance", "2026-12-07", "--output", "x.pdf"} << 2 << "FROM TO";
    }
    void commandLines() {
        QFETCH(QString, program);
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QString, says);
        QFile conf(path("site.conf"));
        QVERIFY(conf.open(QIODevice::WriteOnly) && conf.write("[compliance]\nnegRecurrence = 5\n") > 0);
        conf.close();
        QProcess p;
        p.start(program, args);
        QVERIFY(p.waitForFinished(60000));
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        const QString err = QString::fromLocal8Bit(p.readAllStandardError());
        QCOMPARE(p.exitCode(), status);
        if (status != 0) {
            QVERIFY2(err.contains(says), qPrintable(err));
            return;
        }
        QVERIFY2(!err.contains("warning"), qPrintable(err)); // [compliance] is a known section
        if (program == QLatin1String(ZEL_APP)) {
            QFile pdf(path("app.pdf"));
            QVERIFY(pdf.open(QIODevice::ReadOnly) && pdf.read(5) == "%PDF-");
            return;
        }
        const QString row = out.section("2026-12-07T12:05:00+00:00", 1, 1).section('\r', 0, 0);
        QVERIFY2(row.contains(says), qPrintable(row));
    }

    // File > Compliance Report... asks without blocking and writes the PDF
    // from the panel's own record; a file that cannot be written is said so.
    void thePanelsMenu() {
        zeltest::writeSettingsFile(zeltest::sampleRecord());
        auto* session = new zel::MonitorSession;
        QPointer<FakeTransport> line;
        useFakeTransports(session->link(), &line);
        FrmZelMain w(session);
        for (const QString& file : {path("panel.pdf"), path("no/such/folder/panel.pdf")}) {
            w.mnuComplianceReport->trigger();
            QPointer<QDialog> ask = w.findChild<QDialog*>("complianceReportDialog");
            QVERIFY(ask && ask->isVisible());
            ask->findChild<QDateEdit*>("complianceFrom")->setDate(Day);
            ask->findChild<QDateEdit*>("complianceTo")->setDate(Day);
            QVERIFY(!ask->findChild<QComboBox*>("complianceMonitor")->currentText().isEmpty());
            auto* ok = ask->findChild<QPushButton*>("complianceOk");
            QVERIFY(!ok->isEnabled()); // no file yet
            ask->findChild<QLineEdit*>("complianceFile")->setText(file);
            ok->click();
            QTRY_VERIFY(!ask);
            QTRY_VERIFY(QFile::exists(file) || w.findChild<QMessageBox*>("problemBox"));
            auto* box = w.findChild<QMessageBox*>("problemBox");
            QCOMPARE(QFile::exists(file), !box);
            if (box) {
                QVERIFY2(box->text().contains("no/such/folder") && !box->isModal(), qPrintable(box->text()));
                box->close();
            }
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
};

ZEL_TEST(ComplianceTest)
#include "tst_compliance.moc"
