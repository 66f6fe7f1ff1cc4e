#include "gui/history/dailyreport.h"
#include "core/outputs/history/historystore.h"
#include "core/types/types.h"
#include "gui/history/trendchart.h"

#include <QApplication>
#include <QFileInfo>
#include <QMap>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>
#include <memory>

namespace zel {

namespace {

constexpr qint64 HourMs = 3600'000;

// Pairs each alarm's on with its off, oldest first. An alarm the record
// left open (a process that was killed) ends where the next run's link came
// up: the recorder closes every alarm when the link goes down.
QList<AlarmSpan> pairAlarms(const QList<EventRecord>& newestFirst) {
    QList<AlarmSpan> spans;
    QMap<QString, int> open; // monitor + kind -> index of a span without its off
    for (auto it = newestFirst.crbegin(); it != newestFirst.crend(); ++it) {
        const EventRecord& e = *it;
        if (e.kind == QLatin1String(EventKind::Link)) {
            if (!e.detail.startsWith(QLatin1String("connected"))) continue;
            for (auto o = open.begin(); o != open.end();) {
                const AlarmSpan& s = spans[o.value()];
                if (s.monitor == e.monitor && s.kind != QLatin1String(EventKind::LinkLost)) {
                    spans[o.value()].offMs = e.timeMs;
                    o = open.erase(o);
                } else {
                    ++o;
                }
            }
            continue;
        }
        if (!e.on) continue;
        const QString key = e.monitor + QLatin1Char('\n') + e.kind;
        if (*e.on) {
            if (!open.contains(key)) {
                open.insert(key, int(spans.size()));
                spans.append({e.monitor, e.kind, e.timeMs, -1, 0});
            }
        } else if (open.contains(key)) {
            spans[open.take(key)].offMs = e.timeMs;
        } else {
            spans.append({e.monitor, e.kind, -1, e.timeMs, 0});
        }
    }
    return spans;
}

class Page {
public:
    Page(QPdfWriter* writer, QPainter* painter)
        : m_writer(writer)
        , m_p(painter) {
        const QRect r = m_p->viewport();
        m_margin = r.width() / 14;
        m_left = m_margin;
        m_width = r.width() - 2 * m_margin;
        m_bottom = r.height() - m_margin;
        m_y = m_margin;
    }
    QPainter* painter() { return m_p; }
    int left() const { return m_left; }
    int width() const { return m_width; }
    int& y() { return m_y; }
    // Starts a new page unless `height` still fits.
    void need(int height) {
        if (m_y + height <= m_bottom) return;
        m_writer->newPage();
        m_y = m_margin;
    }
    void font(double points, bool bold = false) {
        QFont f(QStringLiteral("Liberation Sans"));
        f.setPointSizeF(points);
        f.setBold(bold);
        m_p->setFont(f);
    }
    int lineHeight() const { return m_p->fontMetrics().height(); }
    void line(const QString& text, QColor colour = Qt::black) {
        need(lineHeight());
        m_p->setPen(colour);
        m_p->drawText(QRect(m_left, m_y, m_width, lineHeight()), Qt::AlignLeft | Qt::AlignVCenter, text);
        m_y += lineHeight();
    }
    void gap(double lines = 0.5) { m_y += int(lineHeight() * lines); }

private:
    QPdfWriter* m_writer;
    QPainter* m_p;
    int m_margin = 0;
    int m_left = 0;
    int m_width = 0;
    int m_bottom = 0;
    int m_y = 0;
};

// Draws a chart view into `target` on the page. Through an image at three
// times the view's size: the chart's legend items do not paint onto a PDF
// device directly.
void drawView(QPainter* p, QChartView* view, const QRect& target) {
    QImage image(view->size() * 3, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(3);
    image.fill(Qt::white);
    {
        QPainter ip(&image);
        ip.setRenderHint(QPainter::Antialiasing);
        static_cast<QWidget*>(view)->render(&ip, QPoint(), QRegion(), QWidget::DrawChildren);
    }
    p->drawImage(target, image);
}

void drawHourTable(Page& page, const QList<int>& pos, const QList<int>& neg) {
    QPainter* p = page.painter();
    page.font(8);
    const int h = page.lineHeight() + page.lineHeight() / 3;
    const int labelW = page.width() / 9;
    const double cellW = double(page.width() - labelW) / 24.0;
    page.need(3 * h);
    const QString labels[] = {QObject::tr("Hour"), QObject::tr("+125 %"), QObject::tr("-100 %")};
    for (int row = 0; row < 3; ++row) {
        const int y = page.y() + row * h;
        if (row == 0) p->fillRect(QRect(page.left(), y, page.width(), h), QColor(230, 230, 230));
        p->setPen(Qt::black);
        p->drawText(QRect(page.left() + h / 4, y, labelW, h), Qt::AlignLeft | Qt::AlignVCenter, labels[row]);
        for (int hour = 0; hour < 24; ++hour) {
            const QRectF cell(page.left() + labelW + hour * cellW, y, cellW, h);
            int value = hour;
            if (row > 0) value = (row == 1 ? pos : neg).value(hour);
            QFont f = p->font();
            f.setBold(row > 0 && value > 0);
            p->setFont(f);
            p->setPen(row > 0 && value > 0 ? QColor(180, 0, 0) : Qt::black);
            p->drawText(cell, Qt::AlignCenter, QString::number(value));
        }
        p->setPen(QColor(160, 160, 160));
        p->drawLine(page.left(), y + h, page.left() + page.width(), y + h);
    }
    page.y() += 3 * h;
}

} // namespace

DailySummary summarizeDay(const HistoryStore& store, QDate day, const QString& monitor, qint64 nowMs) {
    DailySummary d;
    d.fromMs = day.startOfDay().toMSecsSinceEpoch();
    d.toMs = day.addDays(1).startOfDay().toMSecsSinceEpoch();
    for (const MinuteRecord& m : store.minutes(d.fromMs, d.toMs, monitor)) {
        const int hour = QDateTime::fromMSecsSinceEpoch(m.minuteMs).time().hour();
        d.recorded = true;
        d.pos125PerHour[hour] += m.pos125Episodes;
        d.neg100PerHour[hour] += m.neg100Episodes;
        // Rows of older files lack the up time: the minute less its down time.
        d.upS += m.upS ? *m.upS : std::max(0, 60 - m.linkDownS);
        d.downS += m.linkDownS;
        d.packets += m.packets;
        d.rejected += m.rejected;
    }
    const QList<EventRecord> events =
        store.events(d.fromMs, d.toMs,
                     {QLatin1String(EventKind::CarrierAlarm), QLatin1String(EventKind::AudioLoss),
                      QLatin1String(EventKind::NoData), QLatin1String(EventKind::LinkLost),
                      QLatin1String(EventKind::Link)},
                     monitor);
    d.alarms = pairAlarms(events);
    const qint64 end = std::min(d.toMs, nowMs);
    for (AlarmSpan& a : d.alarms) {
        const qint64 on = a.onMs < 0 ? d.fromMs : a.onMs;
        const qint64 off = a.offMs < 0 ? std::max(end, on) : a.offMs;
        a.durationMs = off - on;
        d.alarmMs[a.kind] += a.durationMs;
    }
    return d;
}

bool writeDailyReport(const HistoryStore& store, QDate day, const QString& stationName,
                      const QString& pdfPath, QString* error, const QString& monitor) {
    const auto fail = [&](const QString& text) {
        if (error) *error = text;
        return false;
    };
    if (!day.isValid()) return fail(QObject::tr("no valid day given"));
    if (!store.isOpen()) return fail(QObject::tr("the history file %1 is not open").arg(store.path()));
    const qint64 from = day.startOfDay().toMSecsSinceEpoch();
    const qint64 to = day.addDays(1).startOfDay().toMSecsSinceEpoch();

    QSaveFile file(pdfPath);
    if (!file.open(QIODevice::WriteOnly))
        return fail(QObject::tr("cannot write %1: %2").arg(pdfPath, file.errorString()));
    {
        QPdfWriter writer(&file);
        writer.setPageSize(QPageSize(QPageSize::A4));
        writer.setResolution(300);
        writer.setTitle(QObject::tr("Daily report %1").arg(day.toString(Qt::ISODate)));
        writer.setCreator(QStringLiteral("zel"));
        QPainter painter(&writer);
        if (!painter.isActive()) return fail(QObject::tr("cannot write %1").arg(pdfPath));
        Page page(&writer, &painter);

        page.font(16, true);
        page.line(QObject::tr("Daily report: %1")
                      .arg(stationName.isEmpty() ? QObject::tr("(station not named)") : stationName));
        page.font(10);
        page.line(QLocale().toString(day, QLocale::LongFormat) + QStringLiteral("   ") +
                  QObject::tr("(local time, UTC%1)").arg(formatLocalTime(from).right(6)));
        page.line(monitor.isEmpty()
                      ? QObject::tr("Monitors: %1").arg(store.monitors().join(QStringLiteral(", ")))
                      : QObject::tr("Monitor: %1").arg(monitor));
        page.gap();

        // The charts, drawn by the window's own code.
        const ChartSeries s = store.chartSeries(from, to, monitor);
        std::unique_ptr<QChartView> peaks(makeTrendView(QStringLiteral("reportPeakChart")));
        std::unique_ptr<QChartView> carrier(makeTrendView(QStringLiteral("reportCarrierChart")));
        for (QChartView* v : {peaks.get(), carrier.get()}) {
            v->setAttribute(Qt::WA_DontShowOnScreen);
            v->resize(v == peaks.get() ? QSize(900, 420) : QSize(900, 260));
            v->show();
        }
        QCoreApplication::processEvents();
        fillPeakChart(peaks->chart(), s, from, to);
        fillCarrierChart(carrier->chart(), s, from, to);
        // Let the charts and their legends lay out at that size.
        for (int i = 0; i < 4; ++i) {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
            QCoreApplication::processEvents();
        }
        page.font(11, true);
        page.line(QObject::tr("Trend"));
        const int peakH = page.width() * 420 / 900;
        const int carrierH = page.width() * 260 / 900;
        page.need(peakH + carrierH);
        drawView(&painter, peaks.get(), QRect(page.left(), page.y(), page.width(), peakH));
        page.y() += peakH;
        drawView(&painter, carrier.get(), QRect(page.left(), page.y(), page.width(), carrierH));
        page.y() += carrierH;
        page.gap();

        // Episodes per hour and the day's totals.
        const DailySummary sum = summarizeDay(store, day, monitor);
        const QList<int>& pos = sum.pos125PerHour;
        const QList<int>& neg = sum.neg100PerHour;
        page.font(11, true);
        page.line(QObject::tr("Peak episodes per hour"));
        drawHourTable(page, pos, neg);
        page.font(9);
        int totalPos = 0, totalNeg = 0;
        for (int h = 0; h < 24; ++h) {
            totalPos += pos[h];
            totalNeg += neg[h];
        }
        page.line(QObject::tr("Episodes past +125 %: %1; past -100 %: %2.").arg(totalPos).arg(totalNeg));
        page.gap();

        page.font(11, true);
        page.line(QObject::tr("Link and alarms"));
        page.font(9);
        if (!sum.recorded) {
            page.line(QObject::tr("Nothing was recorded on this day."));
        } else {
            // Monitored: the time the link was up. Lost: down while wanted.
            const qint64 wanted = sum.upS + sum.downS;
            const double available = wanted > 0 ? 100.0 * double(sum.upS) / double(wanted) : 0.0;
            page.line(QObject::tr("Monitored for %1; the link was lost for %2 besides (up %3 % of the time "
                                  "it was wanted).")
                          .arg(durationText(sum.upS * 1000), durationText(sum.downS * 1000))
                          .arg(available, 0, 'f', 2));
            page.line(
                QObject::tr("Packets received: %1; not readable: %2.").arg(sum.packets).arg(sum.rejected));
            page.line(QObject::tr("Carrier alarm for %1 in all; audio loss for %2 in all.")
                          .arg(durationText(sum.alarmMs.value(QLatin1String(EventKind::CarrierAlarm))),
                               durationText(sum.alarmMs.value(QLatin1String(EventKind::AudioLoss)))));
        }
        page.gap();

        const QList<AlarmSpan>& spans = sum.alarms;
        page.font(11, true);
        page.line(QObject::tr("Alarms (%1)").arg(spans.size()));
        page.font(9);
        const int cols[] = {0, page.width() * 30 / 100, page.width() * 48 / 100, page.width() * 66 / 100,
                            page.width() * 84 / 100};
        const auto row = [&](const QStringList& cells, bool bold) {
            page.need(page.lineHeight());
            QFont f = painter.font();
            f.setBold(bold);
            painter.setFont(f);
            painter.setPen(Qt::black);
            for (int c = 0; c < cells.size() && c < 5; ++c) {
                const int w = (c + 1 < 5 ? cols[c + 1] : page.width()) - cols[c];
                painter.drawText(QRect(page.left() + cols[c], page.y(), w, page.lineHeight()),
                                 Qt::AlignLeft | Qt::AlignVCenter, cells[c]);
            }
            page.y() += page.lineHeight();
        };
        if (spans.isEmpty()) {
            page.line(QObject::tr("No alarms."));
        } else {
            row({QObject::tr("Alarm"), QObject::tr("On"), QObject::tr("Off"), QObject::tr("Duration"),
                 QObject::tr("Monitor")},
                true);
            const auto time = [](qint64 ms) {
                return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("HH:mm:ss"));
            };
            for (const AlarmSpan& a : spans) {
                row({eventKindTitle(a.kind), a.onMs < 0 ? QObject::tr("before 00:00") : time(a.onMs),
                     a.offMs < 0 ? QObject::tr("still on") : time(a.offMs),
                     durationText(a.durationMs) +
                         (a.offMs < 0 || a.onMs < 0 ? QStringLiteral(" +") : QString()),
                     a.monitor},
                    false);
            }
        }
        page.gap();
        page.font(7.5);
        page.line(QObject::tr("Written %1 from %2.")
                      .arg(formatLocalTime(QDateTime::currentMSecsSinceEpoch()),
                           QFileInfo(store.path()).fileName()),
                  QColor(110, 110, 110));
        painter.end();
    }
    if (!file.commit()) return fail(QObject::tr("cannot write %1: %2").arg(pdfPath, file.errorString()));
    return true;
}

} // namespace zel
