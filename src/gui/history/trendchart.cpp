#include "gui/history/trendchart.h"
#include "core/monitor/flashers.h"
#include "core/types/text.h"

#include <QAreaSeries>
#include <QCategoryAxis>
#include <QDateTime>
#include <QLegendMarker>
#include <QLineSeries>
#include <QValueAxis>

namespace zel {

namespace {

const QColor PosColour(200, 40, 40);
const QColor NegColour(40, 80, 200);
const QColor CarrierColour(40, 150, 70);
const QColor LimitColour(120, 120, 120);
const QColor DownColour(150, 150, 150, 90);

// Runs of points without a gap longer than a bucket and a half, so a line is
// never drawn across a time without data.
QList<QList<QPointF>> runs(const QList<QPointF>& points, qint64 bucketMs) {
    QList<QList<QPointF>> out;
    const double maxGap = double(bucketMs) * 1.5;
    for (const QPointF& p : points) {
        if (out.isEmpty() || p.x() - out.last().last().x() > maxGap) out.append(QList<QPointF>());
        out.last().append(p);
    }
    return out;
}

void resetChart(QChart* chart) {
    chart->removeAllSeries();
    for (QAbstractAxis* axis : chart->axes()) {
        chart->removeAxis(axis);
        delete axis;
    }
}

QCategoryAxis* timeAxis(QChart* chart, qint64 fromMs, qint64 toMs) {
    auto* axis = new QCategoryAxis;
    axis->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    chart->addAxis(axis, Qt::AlignBottom);
    setTimeAxisRange(axis, fromMs, toMs);
    return axis;
}

QValueAxis* valueAxis(QChart* chart, double lo, double hi, int ticks, const QString& title) {
    auto* axis = new QValueAxis;
    axis->setRange(lo, hi);
    axis->setTickCount(ticks);
    axis->setLabelFormat(QStringLiteral("%d"));
    axis->setTitleText(title);
    chart->addAxis(axis, Qt::AlignLeft);
    return axis;
}

void attach(QChart* chart, QAbstractSeries* series, QAbstractAxis* x, QAbstractAxis* y, bool inLegend) {
    chart->addSeries(series);
    series->attachAxis(x);
    series->attachAxis(y);
    if (!inLegend) {
        for (QLegendMarker* m : chart->legend()->markers(series))
            m->setVisible(false);
    }
}

void addLine(QChart* chart, const QList<QPointF>& points, const QString& name, const QPen& pen,
             QAbstractAxis* x, QAbstractAxis* y, bool inLegend) {
    auto* line = new QLineSeries;
    line->setName(name);
    line->setPen(pen);
    line->replace(points);
    attach(chart, line, x, y, inLegend);
}

void addLimit(QChart* chart, double value, qint64 fromMs, qint64 toMs, const QString& name, QAbstractAxis* x,
              QAbstractAxis* y, bool inLegend) {
    QPen pen(LimitColour, 1.5, Qt::DashLine);
    addLine(chart, {QPointF(double(fromMs), value), QPointF(double(toMs), value)}, name, pen, x, y, inLegend);
}

// One area series for every span: a step line up over each span.
void addLinkDown(QChart* chart, const ChartSeries& s, double lo, double hi, QAbstractAxis* x,
                 QAbstractAxis* y) {
    if (s.linkDown.isEmpty()) return;
    auto* upper = new QLineSeries;
    auto* lower = new QLineSeries;
    for (const auto& [from, to] : s.linkDown) {
        upper->append(double(from), lo);
        upper->append(double(from), hi);
        upper->append(double(to), hi);
        upper->append(double(to), lo);
    }
    lower->append(double(s.linkDown.first().first), lo);
    lower->append(double(s.linkDown.last().second), lo);
    auto* area = new QAreaSeries(upper, lower);
    // An area series does not own its bounding lines.
    upper->setParent(area);
    lower->setParent(area);
    area->setName(QObject::tr("Link down"));
    area->setPen(Qt::NoPen);
    area->setBrush(DownColour);
    attach(chart, area, x, y, true);
}

} // namespace

void setTimeAxisRange(QCategoryAxis* axis, qint64 fromMs, qint64 toMs) {
    // Steps in minutes that read well; the smallest that gives at most 9 labels.
    static const int steps[] = {1, 2, 5, 10, 15, 30, 60, 120, 180, 360, 720, 1440, 2880, 10'080};
    const qint64 span = std::max<qint64>(toMs - fromMs, 1);
    int step = steps[std::size(steps) - 1];
    for (int s : steps) {
        if (span / (qint64(s) * 60'000) <= 8) {
            step = s;
            break;
        }
    }
    const bool days = step >= 1440;
    const QString format = days                     ? QStringLiteral("d MMM")
                           : span > 24 * 3600'000LL ? QStringLiteral("ddd HH:mm")
                                                    : QStringLiteral("HH:mm");
    for (const QString& label : axis->categoriesLabels())
        axis->remove(label);
    axis->setStartValue(double(fromMs));
    axis->setRange(double(fromMs), double(toMs));
    // The first round time in local time at or after `fromMs`: a whole
    // number of steps from local midnight (from a Monday for a week).
    const QDateTime first = QDateTime::fromMSecsSinceEpoch(fromMs);
    QDateTime t(first.date(), QTime(0, 0));
    if (step == 10'080) t = t.addDays(1 - first.date().dayOfWeek());
    while (t.toMSecsSinceEpoch() < fromMs)
        t = days ? t.addDays(step / 1440) : t.addSecs(qint64(step) * 60);
    for (; t.toMSecsSinceEpoch() <= toMs; t = days ? t.addDays(step / 1440) : t.addSecs(qint64(step) * 60)) {
        const QString label = t.toString(format);
        if (!axis->categoriesLabels().contains(label)) axis->append(label, double(t.toMSecsSinceEpoch()));
    }
}

QChartView* makeTrendView(const QString& objectName, QWidget* parent) {
    auto* chart = new QChart;
    chart->setMargins(QMargins(4, 4, 4, 4));
    chart->legend()->setAlignment(Qt::AlignBottom);
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPointSizeF(8.5);
    chart->legend()->setFont(font);
    chart->setTitleFont(font);
    auto* view = new QChartView(chart, parent);
    view->setObjectName(objectName);
    view->setRenderHint(QPainter::Antialiasing);
    view->setRubberBand(QChartView::HorizontalRubberBand);
    return view;
}

void fillPeakChart(QChart* chart, const ChartSeries& s, qint64 fromMs, qint64 toMs) {
    resetChart(chart);
    QCategoryAxis* x = timeAxis(chart, fromMs, toMs);
    QValueAxis* y = valueAxis(chart, -150, 150, 7, QObject::tr("Peak modulation (%)"));
    addLinkDown(chart, s, -150, 150, x, y);
    bool first = true;
    for (const auto& run : runs(s.posMax, s.bucketMs)) {
        addLine(chart, run, QObject::tr("Highest positive peak"), QPen(PosColour, 1.2), x, y, first);
        first = false;
    }
    first = true;
    for (auto run : runs(s.negMax, s.bucketMs)) {
        for (QPointF& p : run)
            p.setY(-p.y());
        addLine(chart, run, QObject::tr("Highest negative peak"), QPen(NegColour, 1.2), x, y, first);
        first = false;
    }
    addLimit(chart, 125, fromMs, toMs, QObject::tr("+125 % and -100 % limits"), x, y, true);
    addLimit(chart, -100, fromMs, toMs, QString(), x, y, false);
}

void fillCarrierChart(QChart* chart, const ChartSeries& s, qint64 fromMs, qint64 toMs) {
    resetChart(chart);
    QCategoryAxis* x = timeAxis(chart, fromMs, toMs);
    // In percent, as every output gives the carrier (bar position p is
    // 2p + 20 %: the bar's 20 to 55 is 60 to 130 %).
    QValueAxis* y = valueAxis(chart, 60, 130, 8, QObject::tr("Carrier (%)"));
    addLinkDown(chart, s, 60, 130, x, y);
    const auto percent = [](QList<QPointF> points) {
        for (QPointF& p : points)
            p.setY(barToPercent(p.y()));
        return points;
    };
    const auto lows = runs(percent(s.carrierMin), s.bucketMs);
    const auto highs = runs(percent(s.carrierMax), s.bucketMs);
    for (int i = 0; i < lows.size() && i < highs.size(); ++i) {
        auto* upper = new QLineSeries;
        auto* lower = new QLineSeries;
        upper->replace(highs[i]);
        lower->replace(lows[i]);
        auto* band = new QAreaSeries(upper, lower);
        upper->setParent(band);
        lower->setParent(band);
        band->setName(QObject::tr("Carrier, lowest to highest"));
        band->setPen(QPen(CarrierColour, 1));
        band->setBrush(QColor(CarrierColour.red(), CarrierColour.green(), CarrierColour.blue(), 110));
        attach(chart, band, x, y, i == 0);
    }
    addLimit(chart, barToPercent(CarrierHigh), fromMs, toMs, QObject::tr("Carrier window"), x, y, true);
    addLimit(chart, barToPercent(CarrierLow), fromMs, toMs, QString(), x, y, false);
}

QString eventKindTitle(const QString& kind) {
    static const QHash<QString, QString> titles = {
        {QLatin1String(EventKind::Link), QObject::tr("Link")},
        {QLatin1String(EventKind::CarrierAlarm), QObject::tr("Carrier alarm")},
        {QLatin1String(EventKind::AudioLoss), QObject::tr("Audio loss")},
        {QLatin1String(EventKind::NoData), QObject::tr("No data")},
        {QLatin1String(EventKind::LinkLost), QObject::tr("Link lost")},
        {QLatin1String(EventKind::PortError), QObject::tr("Port error")},
        {QLatin1String(EventKind::Pos125), QObject::tr("Past +125 %")},
        {QLatin1String(EventKind::Neg100), QObject::tr("Past -100 %")},
        {QLatin1String(EventKind::PosVariable), QObject::tr("Past positive threshold")},
        {QLatin1String(EventKind::NegVariable), QObject::tr("Past negative threshold")},
    };
    return titles.value(kind, kind);
}

QString durationText(qint64 ms) {
    if (ms < 0) ms = 0;
    if (ms < 10'000) return QObject::tr("%1 s").arg(double(ms) / 1000.0, 0, 'f', 1);
    const qint64 s = ms / 1000;
    if (s < 3600) return QObject::tr("%1 min %2 s").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
    return QObject::tr("%1 h %2 min").arg(s / 3600).arg((s / 60) % 60, 2, 10, QLatin1Char('0'));
}

QString eventDetails(const EventRecord& e) {
    if (e.isEpisode()) {
        const QString peak = QObject::tr("peak %1 %").arg(e.extreme, 0, 'f', 0);
        QString text = e.packets == 1 ? QObject::tr("1 packet, %1").arg(peak)
                                      : QObject::tr("%1 packets over %2, %3")
                                            .arg(e.packets)
                                            .arg(durationText(e.endMs - e.timeMs), peak);
        if (e.threshold > 0) text += QObject::tr(" (threshold %1 %)").arg(e.threshold);
        if (!e.detail.isEmpty()) text += QStringLiteral(" (%1)").arg(escapeControl(e.detail));
        return text;
    }
    if (e.kind == QLatin1String(EventKind::Link) || e.kind == QLatin1String(EventKind::PortError))
        return escapeControl(e.detail);
    QString text = e.carrier ? QObject::tr("+%1 % / -%2 %, carrier %3 %")
                                   .arg(e.posPercent.value_or(0), 0, 'f', 0)
                                   .arg(e.negPercent.value_or(0), 0, 'f', 0)
                                   .arg(barToPercent(*e.carrier), 0, 'f', 0)
                             : QObject::tr("no readings");
    if (!e.detail.isEmpty()) text += QStringLiteral(" (%1)").arg(escapeControl(e.detail));
    return text;
}

} // namespace zel
