#include "gui/history/compliancereport.h"
#include "core/outputs/compliance/compliancesummary.h"
#include "core/outputs/history/csvexport.h"
#include "core/outputs/history/historystore.h"
#include "core/types/types.h"
#include "gui/history/trendchart.h"

#include <QBuffer>
#include <QComboBox>
#include <QDateEdit>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>
#include <QPdfWriter>
#include <QPushButton>
#include <QSaveFile>
#include <QTimeZone>

namespace zel {

namespace {

struct Column {
    double share; // of the page's width
    Qt::Alignment align = Qt::AlignLeft;
};

// A report page by page: text lines, paragraphs and tables that break across
// pages (a table's header repeated), and each page's footer with its number.
class Page {
public:
    Page(QPdfWriter* writer, QPainter* painter, const QString& footer, int pages)
        : m_writer(writer)
        , m_p(painter)
        , m_footer(footer)
        , m_pages(pages) {
        const QRect r = m_p->viewport();
        const int margin = r.width() / 14;
        m_left = margin;
        m_width = r.width() - 2 * margin;
        m_top = margin;
        m_footerY = r.height() - margin;
        font(7.5);
        m_bottom = m_footerY - 2 * lineHeight();
        m_y = m_top;
    }
    int page() const { return m_page; }
    void font(double points, bool bold = false) {
        QFont f(QStringLiteral("Liberation Sans"));
        f.setPointSizeF(points);
        f.setBold(bold);
        m_p->setFont(f);
    }
    int lineHeight() const { return m_p->fontMetrics().height(); }
    void gap(double lines = 0.5) { m_y += int(lineHeight() * lines); }
    // Starts a new page unless `height` still fits.
    bool need(int height) {
        if (m_y + height <= m_bottom || m_y == m_top) return false;
        footer();
        m_writer->newPage();
        ++m_page;
        m_y = m_top;
        return true;
    }
    void finish() { footer(); }

    void heading(const QString& text) {
        gap(0.8);
        font(11, true);
        need(lineHeight() * 3); // never alone at the foot of a page
        paragraph(text);
        font(9);
        gap(0.2);
    }
    void paragraph(const QString& text, QColor colour = Qt::black) {
        const int flags = Qt::AlignLeft | Qt::TextWordWrap;
        const QRect box = m_p->boundingRect(QRect(m_left, 0, m_width, 1 << 20), flags, text);
        need(box.height());
        m_p->setPen(colour);
        m_p->drawText(QRect(m_left, m_y, m_width, box.height()), flags, text);
        m_y += box.height();
    }
    void table(const QList<Column>& columns, const QStringList& header, const QList<QStringList>& rows) {
        const int pad = lineHeight() / 4;
        const auto draw = [&](const QStringList& cells, bool isHeader) {
            QFont f = m_p->font();
            f.setBold(isHeader);
            m_p->setFont(f);
            int height = lineHeight();
            QList<QRect> cellRects;
            double x = m_left;
            for (int c = 0; c < columns.size(); ++c) {
                const int w = int(columns[c].share * m_width);
                const QRect r(int(x) + pad, 0, w - 2 * pad, 1 << 20);
                height = std::max(height, m_p->boundingRect(r, flags(columns[c]), cells.value(c)).height());
                cellRects << r;
                x += w;
            }
            height += pad;
            const bool broke = need(height);
            if (broke && !isHeader) {
                drawHeader(columns, header);
                m_p->setFont(f);
            }
            if (isHeader) m_p->fillRect(QRect(m_left, m_y, m_width, height), QColor(230, 230, 230));
            m_p->setPen(Qt::black);
            for (int c = 0; c < columns.size(); ++c)
                m_p->drawText(cellRects[c].translated(0, m_y + pad / 2).adjusted(0, 0, 0, height - (1 << 20)),
                              flags(columns[c]), cells.value(c));
            m_y += height;
            m_p->setPen(QColor(180, 180, 180));
            m_p->drawLine(m_left, m_y, m_left + m_width, m_y);
        };
        m_drawRow = draw;
        drawHeader(columns, header);
        for (const QStringList& row : rows)
            draw(row, false);
        m_drawRow = nullptr;
        QFont f = m_p->font();
        f.setBold(false);
        m_p->setFont(f);
    }

private:
    static int flags(const Column& c) { return int(c.align | Qt::AlignTop | Qt::TextWordWrap); }
    void drawHeader(const QList<Column>&, const QStringList& header) {
        // The header and the row after it stay together.
        need(lineHeight() * 3);
        m_drawRow(header, true);
    }
    void footer() {
        const QFont kept = m_p->font();
        font(7.5);
        m_p->setPen(QColor(110, 110, 110));
        const QRect r(m_left, m_footerY - lineHeight(), m_width, lineHeight());
        m_p->drawLine(m_left, r.top() - lineHeight() / 3, m_left + m_width, r.top() - lineHeight() / 3);
        m_p->drawText(r, Qt::AlignLeft | Qt::AlignVCenter, m_footer);
        m_p->drawText(r, Qt::AlignRight | Qt::AlignVCenter,
                      QObject::tr("page %1 of %2").arg(m_page).arg(std::max(m_pages, m_page)));
        m_p->setFont(kept);
    }

    QPdfWriter* m_writer;
    QPainter* m_p;
    QString m_footer;
    int m_pages;
    int m_page = 1;
    int m_left = 0;
    int m_width = 0;
    int m_top = 0;
    int m_bottom = 0;
    int m_footerY = 0;
    int m_y = 0;
    std::function<void(const QStringList&, bool)> m_drawRow;
};

QString number(qint64 n) {
    return QLocale(QLocale::English).toString(n);
}

QString timeText(qint64 ms) {
    return csvTime(ms);
}

// A span's length; days for the long ones.
QString lengthText(qint64 ms) {
    constexpr qint64 DayMs = 86'400'000;
    if (ms < DayMs) return durationText(ms);
    return QObject::tr("%1 d %2 h %3 min")
        .arg(ms / DayMs)
        .arg(ms % DayMs / 3'600'000)
        .arg(ms % 3'600'000 / 60'000, 2, 10, QLatin1Char('0'));
}

// An episode's length: bursts last a few hundredths of a second.
QString episodeText(qint64 ms) {
    return ms < 1000 ? QObject::tr("%1 s").arg(double(ms) / 1000.0, 0, 'f', 2) : durationText(ms);
}

QString percentText(double part, double whole) {
    return whole > 0 ? QStringLiteral("%1 %").arg(100.0 * part / whole, 0, 'f', 2) : QStringLiteral("-");
}

struct Texts {
    QString station;
    QString monitor;
    QString file;
};

void drawReport(Page& page, const ComplianceSummary& s, const Texts& t) {
    const ComplianceSettings& c = s.settings;
    page.font(16, true);
    page.paragraph(QObject::tr("Compliance report: %1").arg(t.station));
    page.font(10);
    page.paragraph(QObject::tr("Monitor: %1").arg(t.monitor));
    page.paragraph(QObject::tr("Period: %1 to %2, %3 days, %4 minutes (%5 to %6)")
                       .arg(s.from.toString(Qt::ISODate), s.to.toString(Qt::ISODate))
                       .arg(s.days.size())
                       .arg(number(s.minutes), timeText(s.fromMs), timeText(s.toMs)));
    page.paragraph(QObject::tr("Times are local (%1), with their offset from UTC.")
                       .arg(QString::fromUtf8(QTimeZone::systemTimeZoneId())));

    page.heading(QObject::tr("Limits and settings in force"));
    for (const QString& line :
         {QObject::tr("Over: a minute with any reading past +125 %, or with %1 or more readings past -100 % "
                      "(negative peaks of frequent recurrence).")
              .arg(c.negRecurrence),
          QObject::tr("Low: a monitored minute, not over, whose highest positive peak is below %1 %.")
              .arg(c.lowPercent),
          QObject::tr("Unmonitored: a minute with valid data for less than %1 s of it (the link down, no "
                      "data, the program not running). It is never counted as ok; a peak past a limit "
                      "makes a minute over however little of it was watched.")
              .arg(MonitoredSeconds),
          QObject::tr(
              "Readings are the monitor's packets, about 96 a second; the counts below are readings."),
          QObject::tr("Settings: negRecurrence=%1, lowPercent=%2, paper=%3.")
              .arg(c.negRecurrence)
              .arg(c.lowPercent)
              .arg(paperName(c.paper))})
        page.paragraph(line);

    page.heading(QObject::tr("Coverage"));
    page.paragraph(QObject::tr("Monitored: %1 (%2 of %3 minutes).")
                       .arg(percentText(s.monitored, s.minutes), number(s.monitored), number(s.minutes)));
    if (s.unmonitored.isEmpty()) {
        page.paragraph(QObject::tr("Unmonitored spans: none."));
    } else {
        page.paragraph(QObject::tr("Unmonitored spans (%1):").arg(number(s.unmonitored.size())));
        QList<QStringList> rows;
        for (const auto& [from, to] : s.unmonitored)
            rows.append({timeText(from), timeText(to), lengthText(to - from)});
        page.table({{0.36}, {0.36}, {0.28}}, {QObject::tr("From"), QObject::tr("To"), QObject::tr("Length")},
                   rows);
    }

    page.heading(QObject::tr("Episodes past +125 % (%1)").arg(number(s.pos125.size())));
    if (s.pos125.isEmpty()) {
        page.paragraph(QObject::tr("None."));
    } else {
        QList<QStringList> rows;
        for (const ComplianceEpisode& e : s.pos125)
            rows.append({timeText(e.startMs),
                         episodeText(e.endMs - e.startMs) + (e.open ? QObject::tr(" (open)") : QString()),
                         QStringLiteral("%1 %").arg(e.extreme, 0, 'f', 0), number(e.packets)});
        page.table({{0.36}, {0.24}, {0.2, Qt::AlignRight}, {0.2, Qt::AlignRight}},
                   {QObject::tr("Start"), QObject::tr("Duration"), QObject::tr("Highest peak"),
                    QObject::tr("Readings")},
                   rows);
    }

    page.heading(QObject::tr("Per day"));
    {
        QList<QStringList> rows;
        ComplianceDay total;
        for (const ComplianceDay& d : s.days) {
            rows.append({d.day.toString(Qt::ISODate), number(d.minutes), percentText(d.monitored, d.minutes),
                         number(d.over), number(d.low), number(d.unmonitored), number(d.neg100Packets),
                         number(d.pos125Packets)});
            total.minutes += d.minutes;
            total.monitored += d.monitored;
            total.over += d.over;
            total.low += d.low;
            total.unmonitored += d.unmonitored;
            total.neg100Packets += d.neg100Packets;
            total.pos125Packets += d.pos125Packets;
        }
        if (s.days.size() > 1)
            rows.append({QObject::tr("All"), number(total.minutes),
                         percentText(total.monitored, total.minutes), number(total.over), number(total.low),
                         number(total.unmonitored), number(total.neg100Packets),
                         number(total.pos125Packets)});
        const Qt::Alignment r = Qt::AlignRight;
        page.table({{0.15}, {0.1, r}, {0.13, r}, {0.1, r}, {0.1, r}, {0.14, r}, {0.14, r}, {0.14, r}},
                   {QObject::tr("Day"), QObject::tr("Minutes"), QObject::tr("Monitored"), QObject::tr("Over"),
                    QObject::tr("Low"), QObject::tr("Unmonitored"), QObject::tr("Past -100 %"),
                    QObject::tr("Past +125 %")},
                   rows);
        page.paragraph(QObject::tr("Over, low and unmonitored count minutes; past -100 % and past +125 % "
                                   "count readings."),
                       QColor(90, 90, 90));
    }

    page.heading(QObject::tr("Carrier alarm and audio loss (%1)").arg(number(s.alarms.size())));
    if (s.alarms.isEmpty()) {
        page.paragraph(QObject::tr("None."));
    } else {
        QList<QStringList> rows;
        for (const AlarmInterval& a : s.alarms)
            rows.append({eventKindTitle(a.kind),
                         timeText(a.onMs) + (a.onBefore ? QObject::tr(" (on before)") : QString()),
                         a.stillOn ? QObject::tr("still on") : timeText(a.offMs),
                         lengthText(a.offMs - a.onMs) +
                             (a.onBefore || a.stillOn ? QStringLiteral(" +") : QString())});
        page.table({{0.18}, {0.34}, {0.3}, {0.18}},
                   {QObject::tr("Alarm"), QObject::tr("On"), QObject::tr("Off"), QObject::tr("Duration")},
                   rows);
    }

    page.heading(QObject::tr("Operators' notes (%1)").arg(number(s.notes.size())));
    if (s.notes.isEmpty()) {
        page.paragraph(QObject::tr("none"));
    } else {
        QList<QStringList> rows;
        for (const ComplianceNote& n : s.notes)
            rows.append(
                {QStringLiteral("%1 #%2\n%3")
                     .arg(eventKindTitle(n.eventKind), QString::number(n.eventId), timeText(n.eventMs)),
                 timeText(n.timeMs), n.by, n.text});
        page.table({{0.27}, {0.25}, {0.14}, {0.34}},
                   {QObject::tr("Event"), QObject::tr("Written"), QObject::tr("By"), QObject::tr("Note")},
                   rows);
    }

    page.heading(QObject::tr("Review sign-offs (%1)").arg(number(s.signOffs.size())));
    if (s.signOffs.isEmpty()) {
        page.paragraph(QObject::tr("none"));
    } else {
        QList<QStringList> rows;
        for (const ComplianceSignOff& o : s.signOffs)
            rows.append({timeText(o.fromMs) + QStringLiteral(" to\n") + timeText(o.toMs), timeText(o.timeMs),
                         o.by, o.text});
        page.table({{0.27}, {0.25}, {0.14}, {0.34}},
                   {QObject::tr("Period reviewed"), QObject::tr("Signed"), QObject::tr("By"),
                    QObject::tr("Remarks")},
                   rows);
    }
    if (!s.recordProblem.isEmpty())
        page.paragraph(QObject::tr("Could not be read: %1").arg(s.recordProblem), QColor(180, 0, 0));

    page.gap();
    page.font(7.5);
    page.paragraph(
        QObject::tr("Written %1 by zel %2 from %3.")
            .arg(formatLocalTime(QDateTime::currentMSecsSinceEpoch()), QStringLiteral(ZEL_VERSION), t.file),
        QColor(110, 110, 110));
}

// Lays the report out on `device`; returns its pages.
int render(QIODevice* device, const ComplianceSummary& s, const Texts& t, int pages, bool* painted) {
    QPdfWriter writer(device);
    writer.setPageSize(
        QPageSize(s.settings.paper == ComplianceSettings::Paper::Letter ? QPageSize::Letter : QPageSize::A4));
    writer.setResolution(300);
    writer.setTitle(QObject::tr("Compliance report %1 to %2")
                        .arg(s.from.toString(Qt::ISODate), s.to.toString(Qt::ISODate)));
    writer.setCreator(QStringLiteral("zel"));
    QPainter painter(&writer);
    *painted = painter.isActive();
    if (!*painted) return 0;
    Page page(&writer, &painter,
              QStringLiteral("%1 - %2 - %3 to %4")
                  .arg(t.station, t.monitor, s.from.toString(Qt::ISODate), s.to.toString(Qt::ISODate)),
              pages);
    drawReport(page, s, t);
    page.finish();
    return page.page();
}

} // namespace

bool writeComplianceReport(const HistoryStore& store, const ComplianceReportRequest& request,
                           const ComplianceSettings& settings, const QString& stationName,
                           const QString& monitorName, QString* error) {
    const auto fail = [&](const QString& text) {
        if (error) *error = text;
        return false;
    };
    ComplianceSummary summary;
    QString why;
    if (!summarizeCompliance(ComplianceTable(store, request.monitor, settings), store, request.from,
                             request.to, &summary, &why))
        return fail(why);
    Texts texts{stationName.isEmpty() ? QObject::tr("(station not named)") : stationName,
                monitorName.isEmpty() || monitorName == request.monitor
                    ? request.monitor
                    : QStringLiteral("%1 (%2)").arg(monitorName, request.monitor),
                QFileInfo(store.path()).fileName()};

    // Laid out once to count the pages, then for good with "page n of m".
    QBuffer scratch;
    scratch.open(QIODevice::WriteOnly);
    bool painted = false;
    const int pages = render(&scratch, summary, texts, 0, &painted);
    QSaveFile file(request.path);
    if (!file.open(QIODevice::WriteOnly))
        return fail(QObject::tr("cannot write %1: %2").arg(request.path, file.errorString()));
    render(&file, summary, texts, pages, &painted);
    if (!painted) {
        file.cancelWriting();
        return fail(QObject::tr("cannot write %1").arg(request.path));
    }
    if (!file.commit()) return fail(QObject::tr("cannot write %1: %2").arg(request.path, file.errorString()));
    return true;
}

ComplianceReportDialog::ComplianceReportDialog(const QStringList& monitors, const QString& current,
                                               QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(QStringLiteral("Compliance Report"));
    auto* form = new QFormLayout(this);
    const QDate lastMonth = QDate::currentDate().addMonths(-1);
    m_from = new QDateEdit(QDate(lastMonth.year(), lastMonth.month(), 1), this);
    m_to = new QDateEdit(m_from->date().addMonths(1).addDays(-1), this);
    for (auto [edit, name] : {std::pair{m_from, "complianceFrom"}, {m_to, "complianceTo"}}) {
        edit->setObjectName(QLatin1String(name));
        edit->setCalendarPopup(true);
        edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
        connect(edit, &QDateEdit::dateChanged, this, &ComplianceReportDialog::check);
    }
    form->addRow(QStringLiteral("From:"), m_from);
    form->addRow(QStringLiteral("To:"), m_to);
    m_monitor = new QComboBox(this);
    m_monitor->setObjectName(QStringLiteral("complianceMonitor"));
    m_monitor->addItems(monitors);
    if (!current.isEmpty() && !monitors.contains(current)) m_monitor->addItem(current);
    m_monitor->setCurrentText(current);
    form->addRow(QStringLiteral("Monitor:"), m_monitor);
    auto* fileRow = new QHBoxLayout;
    m_path = new QLineEdit(this);
    m_path->setObjectName(QStringLiteral("complianceFile"));
    m_path->setMinimumWidth(m_path->fontMetrics().horizontalAdvance(QLatin1Char('x')) * 40);
    connect(m_path, &QLineEdit::textChanged, this, &ComplianceReportDialog::check);
    auto* browse = new QPushButton(QStringLiteral("Browse..."), this);
    browse->setObjectName(QStringLiteral("complianceBrowse"));
    connect(browse, &QPushButton::clicked, this, &ComplianceReportDialog::browse);
    fileRow->addWidget(m_path);
    fileRow->addWidget(browse);
    form->addRow(QStringLiteral("File:"), fileRow);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_ok = buttons->button(QDialogButtonBox::Ok);
    m_ok->setObjectName(QStringLiteral("complianceOk"));
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        const ComplianceReportRequest request{m_from->date(), m_to->date(),
                                              m_monitor->currentText().trimmed(), m_path->text().trimmed()};
        accept();
        emit requested(request);
    });
    check();
}

void ComplianceReportDialog::check() {
    m_ok->setEnabled(m_from->date() <= m_to->date() && !m_path->text().trimmed().isEmpty() &&
                     !m_monitor->currentText().trimmed().isEmpty());
}

void ComplianceReportDialog::browse() {
    auto* ask =
        new QFileDialog(this, QStringLiteral("Compliance Report"),
                        QStringLiteral("zel-compliance-%1-%2.pdf")
                            .arg(m_from->date().toString(Qt::ISODate), m_to->date().toString(Qt::ISODate)),
                        QStringLiteral("PDF (*.pdf)"));
    ask->setObjectName(QStringLiteral("complianceFileDialog"));
    ask->setAcceptMode(QFileDialog::AcceptSave);
    ask->setDefaultSuffix(QStringLiteral("pdf"));
    ask->setAttribute(Qt::WA_DeleteOnClose);
    connect(ask, &QFileDialog::fileSelected, m_path, &QLineEdit::setText);
    ask->open();
}

} // namespace zel
