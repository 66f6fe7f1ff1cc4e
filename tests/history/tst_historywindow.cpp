// The history window driven by its control names, and the daily report.
// Both leave a picture in the build folder: history.png and report.png.
#include "support/testmain.h"

#include "core/history/historystore.h"
#include "gui/history/dailyreport.h"
#include "gui/history/historywindow.h"
#include "historytestsupport.h"

#include <QChartView>
#include <QComboBox>
#include <QDateTimeAxis>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTemporaryDir>
#include <cmath>

using historytest::readAll;

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
    const auto event = [&](int minute, int second, const char* kind, std::optional<bool> on = {},
                           const char* detail = "", int packets = 0, double extreme = 0) {
        zel::EventRecord e;
        e.timeMs = day.minuteMs(minute) + second * 1000;
        e.endMs = packets ? e.timeMs + packets * 17 : 0;
        e.monitor = QStringLiteral("COM 2");
        e.kind = QLatin1String(kind);
        e.on = on;
        e.detail = QLatin1String(detail);
        e.packets = packets;
        e.extreme = extreme;
        e.posPercent = 96;
        e.negPercent = 88;
        e.carrier = 40;
        events << e;
    };
    for (int i = 0; i < 1440; ++i) {
        zel::MinuteRecord m;
        m.monitor = QStringLiteral("COM 2");
        m.minuteMs = day.minuteMs(i);
        if (i >= 600 && i < 640) {
            m.linkDownS = 60;
            minutes << m;
            continue;
        }
        const double pos = (i >= 12 * 60 ? 100 : 88) + 10 * std::sin(i / 37.0) + ((i % 97 == 0) ? 28 : 0);
        m.packets = 5760;
        m.rejected = i % 200 == 0 ? 3 : 0;
        m.posMax = std::round(pos);
        m.negMax = std::round(pos * 0.9);
        m.carrierMin = (i >= 900 && i < 911) ? 33 : 39;
        m.carrierMax = 41;
        m.carrierMean = 40;
        if (*m.posMax >= 124) {
            std::tie(m.pos125Packets, m.pos125Episodes) = std::make_pair(40, 2);
            event(i, 20, zel::EventKind::Pos125, {}, "", 40, *m.posMax);
        }
        if (*m.negMax >= 100) {
            std::tie(m.neg100Packets, m.neg100Episodes) = std::make_pair(12, 1);
            event(i, 30, zel::EventKind::Neg100, {}, "", 12, *m.negMax);
        }
        if (i >= 900 && i < 911) m.carrierAlarmS = 60;
        if (i >= 1200 && i < 1203) m.audioLossS = 60;
        minutes << m;
    }
    event(0, 0, zel::EventKind::Link, {}, "connected");
    event(600, 0, zel::EventKind::Link, {}, "reconnecting: Read error");
    event(640, 0, zel::EventKind::Link, {}, "connected");
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

        // Zooming the chart narrows the table to what is in view.
        auto* axis = qobject_cast<QDateTimeAxis*>(chart->chart()->axes(Qt::Horizontal).first());
        axis->setRange(QDateTime::fromMSecsSinceEpoch(m_day.minuteMs(590)),
                       QDateTime::fromMSecsSinceEpoch(m_day.minuteMs(650)));
        QCOMPARE(window.viewFrom(), m_day.minuteMs(590));
        QCOMPARE(table->rowCount(), 2); // the outage's two link events
        window.resetZoom();
        QCOMPARE(table->rowCount(), all);

        // The export writes what is in view and says when it fails.
        window.setCustomRange(m_day.minuteMs(0), m_day.minuteMs(60));
        const QString minutes = m_dir.filePath(QStringLiteral("minutes.csv"));
        QVERIFY(window.exportMinutesTo(minutes));
        QCOMPARE(readAll(minutes).count("\r\n"), 61);
        QVERIFY(!window.exportEventsTo(m_dir.filePath(QStringLiteral("missing/events.csv"))));
        QVERIFY(window.findChild<QLabel*>(QStringLiteral("statusLabel"))->text().startsWith("Export failed"));
        window.setCustomRange(m_day.from, m_day.from + 24 * 3600'000LL);

        window.resize(1400, 760);
        QTest::qWait(50);
        QVERIFY(window.grab().save(outputPath(QStringLiteral("history.png"))));
    }

    void theDailyReportIsAPdf() {
        const QString pdf = outputPath(QStringLiteral("report.pdf"));
        QString error;
        QVERIFY2(zel::writeDailyReport(m_store, m_day.date, QStringLiteral("WZEL 1230 AM"), pdf, &error),
                 qPrintable(error));
        QVERIFY(readAll(pdf).startsWith("%PDF-") && QFileInfo(pdf).size() > 10'000);
        QVERIFY(!zel::writeDailyReport(m_store, m_day.date, QString(),
                                       m_dir.filePath(QStringLiteral("no/r.pdf")), &error));
        QVERIFY(error.contains(QStringLiteral("no/r.pdf")));
        QVERIFY(zel::writeDailyReport(m_store, m_day.date.addDays(-3), QString(),
                                      m_dir.filePath(QStringLiteral("empty.pdf")), &error));

        const QString pdftoppm = QStandardPaths::findExecutable(QStringLiteral("pdftoppm"));
        if (pdftoppm.isEmpty()) QSKIP("pdftoppm (poppler-utils) is not installed: no picture of the report");
        const QString png = outputPath(QStringLiteral("report"));
        QCOMPARE(
            QProcess::execute(pdftoppm, {"-png", "-r", "80", "-f", "1", "-l", "1", "-singlefile", pdf, png}),
            0);
        QVERIFY(QFile::exists(png + QStringLiteral(".png")));
    }
};
ZEL_TEST(HistoryWindowTest)
#include "tst_historywindow.moc"
