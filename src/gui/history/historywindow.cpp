#include "gui/history/historywindow.h"
#include "core/outputs/history/csvexport.h"
#include "core/outputs/history/historystore.h"
#include "core/types/types.h"
#include "gui/history/trendchart.h"

#include <QCategoryAxis>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>
#include <cmath>

namespace zel {

namespace {

constexpr qint64 HourMs = 3600'000;

struct KindFilter {
    const char* title;
    QStringList kinds;
};

const QList<KindFilter>& kindFilters() {
    static const QList<KindFilter> filters = {
        {QT_TR_NOOP("All events"), {}},
        {QT_TR_NOOP("Alarms"),
         {EventKind::CarrierAlarm, EventKind::AudioLoss, EventKind::NoData, EventKind::LinkLost}},
        {QT_TR_NOOP("Peaks past +125 % / -100 %"), {EventKind::Pos125, EventKind::Neg100}},
        {QT_TR_NOOP("Peaks past the thresholds"), {EventKind::PosVariable, EventKind::NegVariable}},
        {QT_TR_NOOP("Carrier alarm"), {EventKind::CarrierAlarm}},
        {QT_TR_NOOP("Audio loss"), {EventKind::AudioLoss}},
        {QT_TR_NOOP("Link"), {EventKind::Link, EventKind::LinkLost, EventKind::NoData}},
    };
    return filters;
}

QFont panelFont(double points = 9) {
    QFont f(QStringLiteral("Liberation Sans"));
    f.setPointSizeF(points);
    return f;
}

} // namespace

HistoryWindow::HistoryWindow(HistoryStore* store, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_store(store)
    , m_clock([] { return QDateTime::currentMSecsSinceEpoch(); }) {
    setObjectName(QStringLiteral("historyWindow"));
    setWindowTitle(tr("History"));
    setFont(panelFont());

    m_rangeCombo = new QComboBox;
    m_rangeCombo->setObjectName(QStringLiteral("rangeCombo"));
    m_rangeCombo->addItems(
        {tr("Last hour"), tr("Last day"), tr("Last week"), tr("Last 30 days"), tr("Chosen range")});
    m_rangeCombo->setCurrentIndex(LastDay);
    m_fromEdit = new QDateTimeEdit;
    m_fromEdit->setObjectName(QStringLiteral("fromEdit"));
    m_toEdit = new QDateTimeEdit;
    m_toEdit->setObjectName(QStringLiteral("toEdit"));
    for (QDateTimeEdit* edit : {m_fromEdit, m_toEdit}) {
        edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm"));
        edit->setCalendarPopup(true);
        edit->setMinimumWidth(QFontMetrics(font()).horizontalAdvance(QStringLiteral("2026-12-07 00:00")) +
                              48);
    }
    m_monitorCombo = new QComboBox;
    m_monitorCombo->setObjectName(QStringLiteral("monitorCombo"));
    m_monitorCombo->setMinimumContentsLength(10);
    auto* refreshButton = new QPushButton(tr("&Refresh"));
    refreshButton->setObjectName(QStringLiteral("refreshButton"));
    auto* resetZoomButton = new QPushButton(tr("Reset &Zoom"));
    resetZoomButton->setObjectName(QStringLiteral("resetZoomButton"));
    auto* exportEvents = new QPushButton(tr("Export &Events..."));
    exportEvents->setObjectName(QStringLiteral("exportEventsButton"));
    auto* exportMinutes = new QPushButton(tr("Export &Minutes..."));
    exportMinutes->setObjectName(QStringLiteral("exportMinutesButton"));
    auto* signOff = new QPushButton(tr("Sign &Off Period…"));
    signOff->setObjectName(QStringLiteral("signOffButton"));

    auto* bar = new QHBoxLayout;
    bar->addWidget(new QLabel(tr("Range:")));
    bar->addWidget(m_rangeCombo);
    bar->addWidget(new QLabel(tr("From:")));
    bar->addWidget(m_fromEdit);
    bar->addWidget(new QLabel(tr("To:")));
    bar->addWidget(m_toEdit);
    bar->addWidget(new QLabel(tr("Monitor:")));
    bar->addWidget(m_monitorCombo);
    bar->addWidget(refreshButton);
    bar->addWidget(resetZoomButton);
    bar->addStretch();
    bar->addWidget(exportEvents);
    bar->addWidget(exportMinutes);
    bar->addWidget(signOff);

    m_peakView = makeTrendView(QStringLiteral("historyChart"));
    m_carrierView = makeTrendView(QStringLiteral("carrierChart"));
    auto* charts = new QSplitter(Qt::Vertical);
    charts->addWidget(m_peakView);
    charts->addWidget(m_carrierView);
    charts->setStretchFactor(0, 3);
    charts->setStretchFactor(1, 2);

    m_kindCombo = new QComboBox;
    m_kindCombo->setObjectName(QStringLiteral("kindCombo"));
    for (const KindFilter& f : kindFilters())
        m_kindCombo->addItem(tr(f.title));
    m_table = new QTableWidget(0, 5);
    m_table->setObjectName(QStringLiteral("eventTable"));
    m_table->setHorizontalHeaderLabels({tr("Time"), tr("Event"), tr("State"), tr("Details"), tr("Notes")});
    m_table->setContextMenuPolicy(Qt::CustomContextMenu);
    m_table->verticalHeader()->hide();
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setWordWrap(false);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->verticalHeader()->setDefaultSectionSize(QFontMetrics(font()).height() + 6);
    auto* side = new QWidget;
    auto* sideLayout = new QVBoxLayout(side);
    sideLayout->setContentsMargins(0, 0, 0, 0);
    auto* kindRow = new QHBoxLayout;
    kindRow->addWidget(new QLabel(tr("Show:")));
    kindRow->addWidget(m_kindCombo, 1);
    sideLayout->addLayout(kindRow);
    sideLayout->addWidget(m_table);

    auto* split = new QSplitter(Qt::Horizontal);
    split->addWidget(charts);
    split->addWidget(side);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);
    split->setSizes({780, 480});
    m_peakView->setMinimumWidth(420);

    m_status = new QLabel;
    m_status->setObjectName(QStringLiteral("statusLabel"));
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(split, 1);
    layout->addWidget(m_status);
    resize(1280, 760);

    connect(m_rangeCombo, &QComboBox::currentIndexChanged, this, &HistoryWindow::rangeChosen);
    connect(m_fromEdit, &QDateTimeEdit::editingFinished, this, &HistoryWindow::refresh);
    connect(m_toEdit, &QDateTimeEdit::editingFinished, this, &HistoryWindow::refresh);
    connect(m_monitorCombo, &QComboBox::currentIndexChanged, this, [this] {
        if (!m_filling) refresh();
    });
    connect(m_kindCombo, &QComboBox::currentIndexChanged, this, &HistoryWindow::loadTable);
    connect(refreshButton, &QPushButton::clicked, this, &HistoryWindow::refresh);
    connect(resetZoomButton, &QPushButton::clicked, this, &HistoryWindow::resetZoom);
    connect(exportEvents, &QPushButton::clicked, this, [this] { askAndExport(CsvTable::Events); });
    connect(exportMinutes, &QPushButton::clicked, this, [this] { askAndExport(CsvTable::Minutes); });
    connect(signOff, &QPushButton::clicked, this, &HistoryWindow::askSignOff);
    connect(m_table, &QTableWidget::customContextMenuRequested, this, &HistoryWindow::showEventMenu);
    m_follow.setObjectName(QStringLiteral("tmrFollow"));
    connect(&m_follow, &QTimer::timeout, this, &HistoryWindow::follow);
    rangeChosen();
}

void HistoryWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    updateFollowTimer();
}

void HistoryWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    updateFollowTimer();
}

void HistoryWindow::updateFollowTimer() {
    const int range = m_rangeCombo->currentIndex();
    if (!isVisible() || (range != LastHour && range != LastDay)) {
        m_follow.stop();
        return;
    }
    const int interval = range == LastHour ? FollowHourMs : FollowDayMs;
    if (!m_follow.isActive() || m_follow.interval() != interval) m_follow.start(interval);
}

void HistoryWindow::follow() {
    const int range = m_rangeCombo->currentIndex();
    if (range != LastHour && range != LastDay) return;
    if (m_viewFrom != m_rangeFrom || m_viewTo != m_rangeTo) return; // zoomed in: left where it is
    refresh();
}

void HistoryWindow::setRange(Range range) {
    m_rangeCombo->setCurrentIndex(range);
    refresh();
}

void HistoryWindow::setCustomRange(qint64 fromMs, qint64 toMs) {
    m_filling = true;
    m_rangeCombo->setCurrentIndex(Custom);
    m_fromEdit->setDateTime(QDateTime::fromMSecsSinceEpoch(fromMs));
    m_toEdit->setDateTime(QDateTime::fromMSecsSinceEpoch(toMs));
    m_filling = false;
    refresh();
}

void HistoryWindow::rangeChosen() {
    const bool custom = m_rangeCombo->currentIndex() == Custom;
    m_fromEdit->setEnabled(custom);
    m_toEdit->setEnabled(custom);
    updateFollowTimer();
    if (!m_filling) refresh();
}

QString HistoryWindow::chosenMonitor() const {
    return m_monitorCombo->currentIndex() <= 0 ? QString() : m_monitorCombo->currentText();
}

QStringList HistoryWindow::chosenKinds() const {
    const int i = std::clamp(m_kindCombo->currentIndex(), 0, int(kindFilters().size()) - 1);
    return kindFilters()[i].kinds;
}

void HistoryWindow::refresh() {
    const qint64 now = m_clock();
    static const qint64 spans[] = {HourMs, 24 * HourMs, 7 * 24 * HourMs, 30 * 24 * HourMs};
    const int range = m_rangeCombo->currentIndex();
    m_filling = true;
    if (range == Custom) {
        m_rangeFrom = m_fromEdit->dateTime().toMSecsSinceEpoch();
        m_rangeTo = m_toEdit->dateTime().toMSecsSinceEpoch();
        if (m_rangeTo <= m_rangeFrom) m_rangeTo = m_rangeFrom + HourMs;
    } else {
        m_rangeTo = now;
        m_rangeFrom = now - spans[std::clamp(range, 0, 3)];
        m_fromEdit->setDateTime(QDateTime::fromMSecsSinceEpoch(m_rangeFrom));
        m_toEdit->setDateTime(QDateTime::fromMSecsSinceEpoch(m_rangeTo));
    }
    const QString monitor = m_monitorCombo->currentText();
    m_monitorCombo->clear();
    m_monitorCombo->addItem(tr("All monitors"));
    m_monitorCombo->addItems(m_store ? m_store->monitors() : QStringList());
    m_monitorCombo->setCurrentIndex(std::max(0, m_monitorCombo->findText(monitor)));
    m_filling = false;

    const ChartSeries s =
        m_store ? m_store->chartSeries(m_rangeFrom, m_rangeTo, chosenMonitor()) : ChartSeries();
    fillPeakChart(m_peakView->chart(), s, m_rangeFrom, m_rangeTo);
    fillCarrierChart(m_carrierView->chart(), s, m_rangeFrom, m_rangeTo);
    // Zooming the upper chart (rubber band, wheel, right click) moves the
    // lower one and the table with it.
    const auto axes = m_peakView->chart()->axes(Qt::Horizontal);
    if (auto* axis = axes.isEmpty() ? nullptr : qobject_cast<QCategoryAxis*>(axes.first())) {
        connect(axis, &QValueAxis::rangeChanged, this, [this](qreal from, qreal to) {
            zoomed(qint64(std::llround(from)), qint64(std::llround(to)));
        });
    }
    m_viewFrom = m_rangeFrom;
    m_viewTo = m_rangeTo;
    loadTable();
}

void HistoryWindow::zoomed(qint64 fromMs, qint64 toMs) {
    if (m_zooming) return;
    // Zooming out stops at the chosen range: there is nothing beyond it.
    if (toMs - fromMs >= m_rangeTo - m_rangeFrom) {
        fromMs = m_rangeFrom;
        toMs = m_rangeTo;
    } else if (fromMs < m_rangeFrom) {
        toMs += m_rangeFrom - fromMs;
        fromMs = m_rangeFrom;
    } else if (toMs > m_rangeTo) {
        fromMs -= toMs - m_rangeTo;
        toMs = m_rangeTo;
    }
    m_zooming = true;
    for (QChartView* view : {m_peakView, m_carrierView}) {
        const auto axes = view->chart()->axes(Qt::Horizontal);
        if (auto* axis = axes.isEmpty() ? nullptr : qobject_cast<QCategoryAxis*>(axes.first()))
            setTimeAxisRange(axis, fromMs, toMs); // labels on round times for the new span
    }
    m_zooming = false;
    if (fromMs == m_viewFrom && toMs == m_viewTo) return;
    m_viewFrom = fromMs;
    m_viewTo = toMs;
    loadTable();
}

void HistoryWindow::resetZoom() {
    m_peakView->chart()->zoomReset();
    zoomed(m_rangeFrom, m_rangeTo);
}

void HistoryWindow::loadTable() {
    const QList<EventRecord> events =
        m_store ? m_store->events(m_viewFrom, m_viewTo, chosenKinds(), chosenMonitor(), MaxTableRows + 1)
                : QList<EventRecord>();
    const int rows = int(std::min<qsizetype>(events.size(), MaxTableRows));
    QHash<qint64, QList<NoteRecord>> notes;
    if (m_store) {
        for (const NoteRecord& n : m_store->notes(m_viewFrom, m_viewTo, chosenMonitor()))
            notes[n.eventId] << n;
    }
    m_table->setUpdatesEnabled(false);
    m_table->clearContents();
    m_table->setRowCount(rows);
    const bool manyMonitors = m_monitorCombo->count() > 2 && chosenMonitor().isEmpty();
    for (int i = 0; i < rows; ++i) {
        const EventRecord& e = events[i];
        // Local time with its offset, as in the CSV ("2026-12-06T23:59:50+01:00").
        const QString time = formatLocalTime(e.timeMs).remove(19, 4);
        QString kind = eventKindTitle(e.kind);
        if (manyMonitors) kind = e.monitor + QStringLiteral(": ") + kind;
        const QString state = e.on ? (*e.on ? tr("on") : tr("off")) : QString();
        // Each note as "name: text", newest last; the tooltip adds when.
        QStringList said, told;
        for (const NoteRecord& n : notes.value(e.id)) {
            said << n.by + QStringLiteral(": ") + QString(n.text).replace(u'\n', u' ');
            told << formatLocalTime(n.timeMs).remove(19, 4) + u' ' + n.by + QStringLiteral(": ") + n.text;
        }
        const QString cells[] = {time, kind, state, eventDetails(e), said.join(QStringLiteral("; "))};
        for (int c = 0; c < 5; ++c) {
            auto* item = new QTableWidgetItem(cells[c]);
            if (c == 4) item->setToolTip(told.join(u'\n'));
            m_table->setItem(i, c, item);
        }
        m_table->item(i, 0)->setData(Qt::UserRole, e.id);
    }
    m_table->resizeColumnsToContents();
    // The notes take what room is left (the last column stretches), elided;
    // the tooltip holds them whole.
    m_table->setColumnWidth(4, m_table->horizontalHeader()->sectionSizeHint(4));
    m_table->setUpdatesEnabled(true);
    if (events.size() > MaxTableRows)
        showStatus(tr("The newest %1 events of the range are listed; narrow the range to see older ones.")
                       .arg(MaxTableRows),
                   false);
    else if (m_store && !m_store->isOpen())
        showStatus(tr("The history file %1 is not open.").arg(m_store->path()), true);
    else
        showStatus(rows == 1 ? tr("1 event in view.") : tr("%1 events in view.").arg(rows), false);
}

void HistoryWindow::showStatus(const QString& text, bool failure) {
    m_status->setText(text);
    m_status->setStyleSheet(failure ? QStringLiteral("color: #b00000; font-weight: bold") : QString());
}

bool HistoryWindow::exportEventsTo(const QString& path) {
    QString error;
    const bool ok =
        m_store && exportCsv(*m_store, CsvTable::Events, path, m_viewFrom, m_viewTo, chosenMonitor(), &error);
    showStatus(ok ? tr("Events exported to %1.").arg(path) : tr("Export failed: %1").arg(error), !ok);
    return ok;
}

bool HistoryWindow::exportMinutesTo(const QString& path) {
    QString error;
    const bool ok = m_store && exportCsv(*m_store, CsvTable::Minutes, path, m_viewFrom, m_viewTo,
                                         chosenMonitor(), &error);
    showStatus(ok ? tr("Minutes exported to %1.").arg(path) : tr("Export failed: %1").arg(error), !ok);
    return ok;
}

bool HistoryWindow::exportNotesTo(const QString& path) {
    QString error;
    const bool ok =
        m_store && exportCsv(*m_store, CsvTable::Notes, path, m_viewFrom, m_viewTo, chosenMonitor(), &error);
    showStatus(ok ? tr("Notes exported to %1.").arg(path) : tr("Export failed: %1").arg(error), !ok);
    return ok;
}

void HistoryWindow::askAndExport(CsvTable table) {
    static const char* const names[] = {"zel-events-", "zel-minutes-", "zel-notes-"};
    static const char* const titles[] = {QT_TR_NOOP("Export Events"), QT_TR_NOOP("Export Minutes"),
                                         QT_TR_NOOP("Export Notes")};
    const int i = int(table);
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmm"));
    auto* dialog =
        new QFileDialog(this, tr(titles[i]), QLatin1String(names[i]) + stamp + QStringLiteral(".csv"),
                        tr("CSV files (*.csv)"));
    dialog->setObjectName(QStringLiteral("exportDialog"));
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QFileDialog::fileSelected, this, [this, table](const QString& path) {
        if (table == CsvTable::Events)
            exportEventsTo(path);
        else if (table == CsvTable::Minutes)
            exportMinutesTo(path);
        else
            exportNotesTo(path);
    });
    dialog->open();
}

void HistoryWindow::showEventMenu(const QPoint& at) {
    const QTableWidgetItem* item = m_table->itemAt(at);
    const QTableWidgetItem* first = item ? m_table->item(item->row(), 0) : nullptr;
    const qint64 eventId = first ? first->data(Qt::UserRole).toLongLong() : 0;
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("eventMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QAction* note = menu->addAction(tr("Add Note…"), this, [this, eventId] { askNote(eventId); });
    note->setEnabled(eventId > 0);
    menu->addAction(tr("Sign Off Period…"), this, &HistoryWindow::askSignOff);
    menu->addAction(tr("Export Notes…"), this, [this] { askAndExport(CsvTable::Notes); });
    menu->popup(m_table->viewport()->mapToGlobal(at));
}

namespace {

// A small form that stays open, saying why, until the store takes what it
// holds (`write` returns an empty reason) or it is cancelled.
QDialog* recordDialog(QWidget* parent, const QString& name, const QString& title, QFormLayout** form,
                      QLabel** error) {
    auto* dialog = new QDialog(parent);
    dialog->setObjectName(name);
    dialog->setWindowTitle(title);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    *form = new QFormLayout(dialog);
    *error = new QLabel(dialog);
    (*error)->setObjectName(name + QStringLiteral("Error"));
    (*error)->setWordWrap(true);
    (*error)->setStyleSheet(QStringLiteral("color: #b00000"));
    (*error)->hide();
    return dialog;
}

void finishDialog(QDialog* dialog, QFormLayout* form, QLabel* error, std::function<QString()> write) {
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    form->addRow(error);
    form->addRow(buttons);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, [dialog, error, write] {
        const QString why = write();
        if (why.isEmpty()) {
            dialog->accept();
            return;
        }
        error->setText(why);
        error->show();
    });
    dialog->open();
}

} // namespace

void HistoryWindow::askNote(qint64 eventId) {
    QFormLayout* form = nullptr;
    QLabel* error = nullptr;
    QDialog* dialog = recordDialog(this, QStringLiteral("noteDialog"), tr("Add Note"), &form, &error);
    QString what = tr("event %1").arg(eventId);
    for (int row = 0; row < m_table->rowCount(); ++row) {
        if (m_table->item(row, 0)->data(Qt::UserRole).toLongLong() == eventId)
            what = m_table->item(row, 0)->text() + u' ' + m_table->item(row, 1)->text();
    }
    form->addRow(tr("Event:"), new QLabel(what, dialog));
    auto* by = new QLineEdit(m_lastBy, dialog);
    by->setObjectName(QStringLiteral("noteBy"));
    auto* text = new QPlainTextEdit(dialog);
    text->setObjectName(QStringLiteral("noteText"));
    text->setPlaceholderText(tr("What was done about it"));
    text->setMinimumSize(380, 100);
    form->addRow(tr("Name:"), by);
    form->addRow(tr("Note:"), text);
    finishDialog(dialog, form, error, [this, eventId, by, text] {
        QString why;
        if (!m_store || !m_store->addNote(eventId, by->text(), text->toPlainText(), &why))
            return why.isEmpty() ? tr("The history is not open.") : why;
        m_lastBy = by->text().trimmed();
        loadTable();
        showStatus(tr("Note added to the event by %1.").arg(m_lastBy), false);
        return QString();
    });
}

void HistoryWindow::askSignOff() {
    QFormLayout* form = nullptr;
    QLabel* error = nullptr;
    QDialog* dialog =
        recordDialog(this, QStringLiteral("signOffDialog"), tr("Sign Off Period"), &form, &error);
    auto* from = new QDateTimeEdit(QDateTime::fromMSecsSinceEpoch(m_viewFrom), dialog);
    from->setObjectName(QStringLiteral("signOffFrom"));
    auto* to = new QDateTimeEdit(QDateTime::fromMSecsSinceEpoch(m_viewTo), dialog);
    to->setObjectName(QStringLiteral("signOffTo"));
    for (QDateTimeEdit* edit : {from, to}) {
        edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm"));
        edit->setCalendarPopup(true);
    }
    auto* by = new QLineEdit(m_lastBy, dialog);
    by->setObjectName(QStringLiteral("signOffBy"));
    auto* text = new QLineEdit(dialog);
    text->setObjectName(QStringLiteral("signOffText"));
    text->setMinimumWidth(320);
    form->addRow(tr("From:"), from);
    form->addRow(tr("To:"), to);
    form->addRow(tr("Reviewed by:"), by);
    form->addRow(tr("Remark:"), text);
    finishDialog(dialog, form, error, [this, from, to, by, text] {
        QString why;
        const qint64 fromMs = from->dateTime().toMSecsSinceEpoch(), toMs = to->dateTime().toMSecsSinceEpoch();
        if (!m_store || !m_store->signOff(fromMs, toMs, by->text(), text->text(), &why))
            return why.isEmpty() ? tr("The history is not open.") : why;
        m_lastBy = by->text().trimmed();
        showStatus(
            tr("Signed off %1 to %2 by %3.")
                .arg(formatLocalTime(fromMs).remove(16, 7), formatLocalTime(toMs).remove(16, 7), m_lastBy),
            false);
        return QString();
    });
}

} // namespace zel
