// The history window driven by its control names, and the daily report.
// Both leave a picture in the build folder: history.png and report.png.
#include "support/testmain.h"

#include "gui/history/dailyreport.h"
#include "gui/history/historywindow.h"
#include "historytestsupport.h"

#include <QCategoryAxis>
#include <QChartView>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTableWidget>
#include <cmath>

using historytest::readAll;

namespace {

// A local day with a little of everything: speech in the morning, music in
// the afternoon, overmodulation now and then, a link outage, a carrier dip
// and an audio loss.
const QDate Date{2026, 12, 6};
const qint64 From = Date.startOfDay().toMSecsSinceEpoch(), DayMs = 24 * 3600'000LL;
qint64 minuteMs(int i) {
    return From + i * 60'000LL;
}

void fillDay(zel::HistoryStore& store) {
    QList<zel::MinuteRecord> minutes;
    QList<zel::EventRecord> events;
    const auto event = [&](int minute, int second, const char* kind, std::optional<bool> on = {},
                           const char* detail = "", int packets = 0, double extreme = 0) {
        zel::EventRecord e = historytest::event(minuteMs(minute) + second * 1000, kind);
        e.endMs = packets ? e.timeMs + packets * 17 : 0;
        std::tie(e.on, e.detail, e.packets, e.extreme) = std::tuple(on, detail, packets, extreme);
        std::tie(e.posPercent, e.negPercent, e.carrier) = std::tuple(96, 88, 40);
        events << e;
    };
    for (int i = 0; i < 1440; ++i) {
        const double pos = (i >= 12 * 60 ? 100 : 88) + 10 * std::sin(i / 37.0) + ((i % 97 == 0) ? 28 : 0);
        zel::MinuteRecord m = historytest::minute(minuteMs(i), std::round(pos), i >= 600 && i < 640 ? 60 : 0);
        if (m.linkDownS) { // no packets
            m.packets = 0;
            m.posMax = m.negMax = m.carrierMin = m.carrierMax = m.carrierMean = std::nullopt;
        } else {
            m.rejected = i % 200 == 0 ? 3 : 0;
            m.negMax = std::round(pos * 0.9);
        }
        if (i >= 900 && i < 911) std::tie(m.carrierMin, m.carrierAlarmS) = std::tuple(33, 60);
        if (i >= 1200 && i < 1203) m.audioLossS = 60;
        if (m.posMax >= 124) {
            std::tie(m.pos125Packets, m.pos125Episodes) = std::make_pair(40, 2);
            event(i, 20, zel::EventKind::Pos125, {}, "", 40, *m.posMax);
        }
        if (m.negMax >= 100) {
            std::tie(m.neg100Packets, m.neg100Episodes) = std::make_pair(12, 1);
            event(i, 30, zel::EventKind::Neg100, {}, "", 12, *m.negMax);
        }
        minutes << m;
    }
    event(0, 0, zel::EventKind::Link, {}, "connected");
    event(600, 0, zel::EventKind::Link, {}, "reconnecting: Read error");
    event(640, 0, zel::EventKind::Link, {}, "connected");
    for (const auto& [first, last, kind] : {std::tuple(900, 911, zel::EventKind::CarrierAlarm),
                                            std::tuple(1200, 1203, zel::EventKind::AudioLoss)}) {
        event(first, 0, kind, true);
        event(last, 0, kind, false);
    }
    event(1439, 50, zel::EventKind::CarrierAlarm, true); // still on at midnight
    QVERIFY(store.write(events, minutes));
    QVERIFY(store.sync()); // the writer thread has it on file before a window reads
}

QString outputPath(const QString& name) {
    return ZEL_TEST_OUTPUT_DIR "/" + name;
}

} // namespace

class HistoryWindowTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    zel::HistoryStore m_store;

private slots:
    void initTestCase() {
        QVERIFY(m_store.open(m_dir.filePath("history.sqlite")));
        fillDay(m_store);
        QVERIFY(m_store.sync());
    }

    // Right click > Add Note… on an event; the dialog says why it cannot
    // add an empty note and stays; the note then shows in the table. Sign
    // Off Period… offers the range in view.
    void anOperatorAddsANoteAndSignsOff() {
        zel::HistoryWindow window(&m_store);
        window.setClock([this] { return From + DayMs; });
        window.setRange(zel::HistoryWindow::LastDay);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* table = window.findChild<QTableWidget*>("eventTable");
        QVERIFY(table->rowCount() > 0);
        const QPoint at = table->visualItemRect(table->item(0, 1)).center();
        QContextMenuEvent click(QContextMenuEvent::Mouse, at, table->viewport()->mapToGlobal(at));
        QApplication::sendEvent(table->viewport(), &click);
        auto* menu = window.findChild<QMenu*>("eventMenu");
        QVERIFY(menu);
        const QList<QAction*> actions = menu->actions();
        const auto addNote =
            std::find_if(actions.begin(), actions.end(), [](QAction* a) { return a->text() == "Add Note…"; });
        QVERIFY(addNote != actions.end());
        (*addNote)->trigger();
        menu->close();
        auto* dialog = window.findChild<QDialog*>("noteDialog");
        QVERIFY(dialog && dialog->isVisible());
        dialog->findChild<QLineEdit*>("noteBy")->setText("Ann Lee");
        auto* ok = dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
        ok->click();
        QVERIFY(dialog->isVisible() &&
                dialog->findChild<QLabel*>("noteDialogError")->text().contains("text"));
        dialog->findChild<QPlainTextEdit*>("noteText")->setPlainText("Carrier restored\nby hand");
        ok->click();
        QVERIFY(!dialog->isVisible());
        QCOMPARE(table->item(0, 4)->text(), "Ann Lee: Carrier restored by hand");
        QVERIFY(table->item(0, 4)->toolTip().endsWith("Ann Lee: Carrier restored\nby hand"));

        window.findChild<QPushButton*>("signOffButton")->click();
        auto* signOff = window.findChild<QDialog*>("signOffDialog");
        QVERIFY(signOff && signOff->findChild<QLineEdit*>("signOffBy")->text() == "Ann Lee");
        signOff->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        const QList<zel::SignOffRecord> done = m_store.signOffs(From, From + DayMs);
        QCOMPARE(done.size(), 1);
        QCOMPARE(std::tuple(done[0].fromMs, done[0].toMs, done[0].by),
                 std::tuple(From, From + DayMs, QString("Ann Lee")));
    }

    void theWindowShowsTheDayAndFilters() {
        zel::HistoryWindow window(&m_store);
        window.setClock([this] { return From + DayMs; });
        auto* range = window.findChild<QComboBox*>("rangeCombo");
        auto* table = window.findChild<QTableWidget*>("eventTable");
        auto* kinds = window.findChild<QComboBox*>("kindCombo");
        auto* chart = window.findChild<QChartView*>("historyChart");
        auto* monitors = window.findChild<QComboBox*>("monitorCombo");
        QVERIFY(range && table && kinds && chart && monitors);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        range->setCurrentIndex(zel::HistoryWindow::LastHour);
        QCOMPARE(table->rowCount(), 1); // the carrier alarm at 23:59:50
        range->setCurrentIndex(zel::HistoryWindow::LastDay);
        const int all = int(m_store.events(From, From + DayMs).size());
        QCOMPARE(table->rowCount(), all);
        QCOMPARE(monitors->count(), 2);
        const auto row = [table](int r) {
            return QStringList{table->item(r, 0)->text(), table->item(r, 1)->text(),
                               table->item(r, 2)->text()};
        };
        // Newest first, in local time with the offset, as in the CSV.
        const QString offset = zel::formatLocalTime(From).right(6);
        QCOMPARE(row(0), QStringList({"2026-12-06T23:59:50" + offset, "Carrier alarm", "on"}));
        kinds->setCurrentIndex(kinds->findText("Audio loss"));
        QCOMPARE(table->rowCount(), 2);
        QCOMPARE(row(1), QStringList({"2026-12-06T20:00:00" + offset, "Audio loss", "on"}));
        kinds->setCurrentIndex(0);

        // Zooming the chart narrows the table to what is in view; zooming
        // out stops at the chosen range.
        auto* axis = qobject_cast<QCategoryAxis*>(chart->chart()->axes(Qt::Horizontal).first());
        QVERIFY(axis);
        axis->setRange(double(minuteMs(590)), double(minuteMs(650)));
        QCOMPARE(window.viewFrom(), minuteMs(590));
        QCOMPARE(table->rowCount(), 2); // the outage's two link events
        for (int i = 0; i < 5; ++i)
            chart->chart()->zoomOut();
        QCOMPARE(std::make_pair(window.viewFrom(), window.viewTo()), std::make_pair(From, From + DayMs));
        QCOMPARE(std::make_pair(qint64(axis->min()), qint64(axis->max())),
                 std::make_pair(From, From + DayMs));
        axis->setRange(double(minuteMs(590)), double(minuteMs(650)));
        window.resetZoom();
        QCOMPARE(table->rowCount(), all);

        // The export writes what is in view and says when it fails.
        window.setCustomRange(minuteMs(0), minuteMs(60));
        const QString minutes = m_dir.filePath("minutes.csv");
        QVERIFY(window.exportMinutesTo(minutes));
        QCOMPARE(readAll(minutes).count("\r\n"), 61);
        QVERIFY(!window.exportEventsTo(m_dir.filePath("missing/events.csv")));
        QVERIFY(window.findChild<QLabel*>("statusLabel")->text().startsWith("Export failed"));
        window.setCustomRange(From, From + DayMs);

        window.resize(1400, 760);
        QTest::qWait(50);
        QVERIFY(window.grab().save(outputPath("history.png")));
    }

    // Last hour and Last day move on with the clock while the window shows;
    // the time axis is labelled on round minutes whatever the clock says.
    void theRangeFollowsTheClockOnRoundMinutes() {
        zel::HistoryWindow window(&m_store);
        qint64 now = From + 12 * 3600'000LL + 37'123;
        window.setClock([&now] { return now; });
        window.setRange(zel::HistoryWindow::LastHour);
        const QTimer& follow = window.followTimer();
        QVERIFY(!follow.isActive()); // not shown
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(std::make_pair(follow.isActive(), follow.interval()),
                 std::make_pair(true, zel::HistoryWindow::FollowHourMs));
        now += 10'000;
        QVERIFY(QMetaObject::invokeMethod(const_cast<QTimer*>(&follow), "timeout"));
        QCOMPARE(window.viewTo(), now);
        auto* axis = qobject_cast<QCategoryAxis*>(
            window.findChild<QChartView*>("historyChart")->chart()->axes(Qt::Horizontal).first());
        QVERIFY(axis && axis->count() >= 4);
        for (const QString& label : axis->categoriesLabels()) {
            const qint64 at = qint64(axis->endValue(label));
            QVERIFY2(at % 60'000 == 0 && at >= now - 3600'000 && at <= now, qPrintable(label));
            QCOMPARE(label, QDateTime::fromMSecsSinceEpoch(at).toString("HH:mm"));
        }
        window.setRange(zel::HistoryWindow::LastDay);
        QCOMPARE(follow.interval(), zel::HistoryWindow::FollowDayMs);
        window.setRange(zel::HistoryWindow::LastWeek);
        QVERIFY(!follow.isActive());
    }

    void theDailyReportIsAPdf() {
        const QString pdf = outputPath("report.pdf");
        QString error;
        QVERIFY2(zel::writeDailyReport(m_store, Date, "WZEL 1230 AM", pdf, &error), qPrintable(error));
        QVERIFY(readAll(pdf).startsWith("%PDF-") && QFileInfo(pdf).size() > 10'000);
        QVERIFY(!zel::writeDailyReport(m_store, Date, QString(), m_dir.filePath("no/r.pdf"), &error));
        QVERIFY(error.contains("no/r.pdf"));
        QVERIFY(
            zel::writeDailyReport(m_store, Date.addDays(-3), QString(), m_dir.filePath("empty.pdf"), &error));
        const QString pdftoppm = QStandardPaths::findExecutable("pdftoppm");
        if (pdftoppm.isEmpty()) QSKIP("pdftoppm (poppler-utils) is not installed: no picture of the report");
        const QString png = outputPath("report");
        QCOMPARE(
            QProcess::execute(pdftoppm, {"-png", "-r", "80", "-f", "1", "-l", "1", "-singlefile", pdf, png}),
            0);
        QVERIFY(QFile::exists(png + ".png"));
    }
};
ZEL_TEST(HistoryWindowTest)
#include "tst_historywindow.moc"
