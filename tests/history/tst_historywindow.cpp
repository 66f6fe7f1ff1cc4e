// The history window driven by its control names, and the daily report.
// Both leave a picture in the build folder: history.png and report.png.
#include "support/testmain.h"

#include "core/history/historystore.h"
#include "gui/history/dailyreport.h"
#include "gui/history/historywindow.h"

#include <QChartView>
#include <QComboBox>
#include <QDateTimeAxis>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTemporaryDir>
#include <cmath>

namespace {

// A local day with a little of everything: a morning of speech, afternoon
// music, overmodulation now and then, a link outage, a carrier dip and an
// audio loss.
struct Day {
    QDate date{2026, 12, 6};
    qint64 from = date.startOfDay().toMSecsSinceEpoch();
    qint64 minuteMs(int i) const { return from + i * 60'000LL; }
};

void fillDay(zel::HistoryStore& store, const Day& day) {
    QList<zel::MinuteRecord> minutes;
    QList<zel::EventRecord> events;
    const auto event = [&](int minute, int second, const char* kind, std::optional<bool> on,
                           const QString& detail = {}) {
        zel::EventRecord e;
        e.timeMs = day.minuteMs(minute) + second * 1000;
        e.monitor = QStringLiteral("COM 2");
        e.kind = QLatin1String(kind);
        e.on = on;
        e.detail = detail;
        e.posPercent = 96;
        e.negPercent = 88;
        e.carrier = 40;
        events << e;
        return int(events.size()) - 1;
    };
    event(0, 0, zel::EventKind::Link, {}, QStringLiteral("connected"));
    for (int i = 0; i < 1440; ++i) {
        zel::MinuteRecord m;
        m.monitor = QStringLiteral("COM 2");
        m.minuteMs = day.minuteMs(i);
        if (i >= 600 && i < 640) {
            m.linkDownS = 60;
            minutes << m;
            continue;
        }
        const bool music = i >= 12 * 60;
        const double pos = (music ? 100 : 88) + 10 * std::sin(i / 37.0) + ((i % 97 == 0) ? 28 : 0);
        m.packets = 5760;
        m.rejected = i % 200 == 0 ? 3 : 0;
        m.posMax = std::round(pos);
        m.negMax = std::round(pos * 0.9);
        m.carrierMin = (i >= 900 && i < 911) ? 33 : 39;
        m.carrierMax = 41;
        m.carrierMean = 40;
        if (*m.posMax >= 124) {
            m.pos125Packets = 40;
            m.pos125Episodes = 2;
            const int e = event(i, 20, zel::EventKind::Pos125, {});
            events[e].endMs = events[e].timeMs + 700;
            events[e].packets = 40;
            events[e].extreme = *m.posMax;
        }
        if (*m.negMax >= 100) {
            m.neg100Packets = 12;
            m.neg100Episodes = 1;
            const int e = event(i, 30, zel::EventKind::Neg100, {});
            events[e].endMs = events[e].timeMs + 300;
            events[e].packets = 12;
            events[e].extreme = *m.negMax;
        }
        if (i >= 900 && i < 911) m.carrierAlarmS = 60;
        if (i >= 1200 && i < 1203) m.audioLossS = 60;
        minutes << m;
    }
    event(600, 0, zel::EventKind::Link, {}, QStringLiteral("reconnecting: Read error"));
    event(640, 0, zel::EventKind::Link, {}, QStringLiteral("connected"));
    event(900, 0, zel::EventKind::CarrierAlarm, true);
    event(911, 0, zel::EventKind::CarrierAlarm, false);
    event(1200, 0, zel::EventKind::AudioLoss, true);
    event(1203, 0, zel::EventKind::AudioLoss, false);
    event(1439, 50, zel::EventKind::CarrierAlarm, true); // still on at midnight
    QVERIFY(store.write(events, minutes));
}

QString outputPath(const QString& name) {
    return QStringLiteral(ZEL_TEST_OUTPUT_DIR "/") + name;
}

} // namespace

class HistoryWindowTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    zel::HistoryStore m_store;
    Day m_day;

private slots:
    void initTestCase() {
        QVERIFY(m_store.open(m_dir.filePath(QStringLiteral("history.sqlite"))));
        fillDay(m_store, m_day);
    }

    void theWindowShowsTheDayAndFilters() {
        zel::HistoryWindow window(&m_store);
        window.setClock([this] { return m_day.from + 24 * 3600'000LL; });
        auto* range = window.findChild<QComboBox*>(QStringLiteral("rangeCombo"));
        auto* table = window.findChild<QTableWidget*>(QStringLiteral("eventTable"));
        auto* kinds = window.findChild<QComboBox*>(QStringLiteral("kindCombo"));
        auto* chart = window.findChild<QChartView*>(QStringLiteral("historyChart"));
        auto* monitors = window.findChild<QComboBox*>(QStringLiteral("monitorCombo"));
        QVERIFY(range && table && kinds && chart && monitors);
        for (const char* name : {"carrierChart", "exportEventsButton", "exportMinutesButton", "fromEdit",
                                 "toEdit", "refreshButton", "resetZoomButton", "statusLabel"})
            QVERIFY2(window.findChild<QWidget*>(QLatin1String(name)), name);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        range->setCurrentIndex(zel::HistoryWindow::LastHour);
        QCOMPARE(table->rowCount(), 1); // the carrier alarm at 23:59:50
        range->setCurrentIndex(zel::HistoryWindow::LastDay);
        const int all = int(m_store.events(m_day.from, m_day.from + 24 * 3600'000LL).size());
        QCOMPARE(table->rowCount(), all);
        QCOMPARE(monitors->count(), 2);
        QCOMPARE(table->item(0, 0)->text(), QStringLiteral("2026-12-06 23:59:50")); // newest first, local
        QCOMPARE(table->item(0, 1)->text(), QStringLiteral("Carrier alarm"));
        QCOMPARE(table->item(0, 2)->text(), QStringLiteral("on"));

        kinds->setCurrentIndex(kinds->findText(QStringLiteral("Audio loss")));
        QCOMPARE(table->rowCount(), 2);
        QCOMPARE(table->item(1, 2)->text(), QStringLiteral("on"));
        QCOMPARE(table->item(1, 0)->text(), QStringLiteral("2026-12-06 20:00:00"));
        kinds->setCurrentIndex(0);

        QStringList names;
        for (QAbstractSeries* s : chart->chart()->series())
            names << s->name();
        for (const char* name :
             {"Highest positive peak", "Highest negative peak", "Link down", "+125 % and -100 % limits"})
            QVERIFY2(names.contains(QLatin1String(name)), name);

        // Zooming the chart narrows the table to what is in view.
        auto* axis = qobject_cast<QDateTimeAxis*>(chart->chart()->axes(Qt::Horizontal).first());
        axis->setRange(QDateTime::fromMSecsSinceEpoch(m_day.minuteMs(590)),
                       QDateTime::fromMSecsSinceEpoch(m_day.minuteMs(650)));
        QCOMPARE(window.viewFrom(), m_day.minuteMs(590));
        QCOMPARE(table->rowCount(), 2); // the outage's two link events
        window.resetZoom();
        QCOMPARE(table->rowCount(), all);

        window.resize(1400, 760);
        QTest::qWait(50);
        QVERIFY(window.grab().save(outputPath(QStringLiteral("history.png"))));
    }

    void exportWritesWhatIsInView() {
        zel::HistoryWindow window(&m_store);
        window.setClock([this] { return m_day.from + 24 * 3600'000LL; });
        window.setCustomRange(m_day.minuteMs(0), m_day.minuteMs(60));
        QTemporaryDir out;
        const QString minutes = out.filePath(QStringLiteral("minutes.csv"));
        QVERIFY(window.exportMinutesTo(minutes));
        QFile f(minutes);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll().count("\r\n"), 61);
        QVERIFY(!window.exportEventsTo(out.filePath(QStringLiteral("missing/events.csv"))));
        auto* status = window.findChild<QLabel*>(QStringLiteral("statusLabel"));
        QVERIFY(status->text().startsWith(QStringLiteral("Export failed")));
    }

    void theDailyReportIsAPdf() {
        const QString pdf = outputPath(QStringLiteral("report.pdf"));
        QString error;
        QVERIFY2(zel::writeDailyReport(m_store, m_day.date, QStringLiteral("WZEL 1230 AM"), pdf, &error),
                 qPrintable(error));
        QFile f(pdf);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY(f.read(5) == "%PDF-");
        QVERIFY(f.size() > 10'000);
        QVERIFY(!zel::writeDailyReport(m_store, m_day.date, QString(),
                                       m_dir.filePath(QStringLiteral("no/r.pdf")), &error));
        QVERIFY(error.contains(QStringLiteral("no/r.pdf")));
        QVERIFY(zel::writeDailyReport(m_store, m_day.date.addDays(-3), QString(),
                                      m_dir.filePath(QStringLiteral("empty.pdf")), &error));

        const QString pdftoppm = QStandardPaths::findExecutable(QStringLiteral("pdftoppm"));
        if (pdftoppm.isEmpty()) QSKIP("pdftoppm (poppler-utils) is not installed: no picture of the report");
        const QString png = outputPath(QStringLiteral("report"));
        QCOMPARE(
            QProcess::execute(pdftoppm, {QStringLiteral("-png"), QStringLiteral("-r"), QStringLiteral("80"),
                                         QStringLiteral("-f"), QStringLiteral("1"), QStringLiteral("-l"),
                                         QStringLiteral("1"), QStringLiteral("-singlefile"), pdf, png}),
            0);
        QVERIFY(QFile::exists(png + QStringLiteral(".png")));
    }
};
ZEL_TEST(HistoryWindowTest)
#include "tst_historywindow.moc"
