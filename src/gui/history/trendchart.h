#pragma once
// The trend charts of the history window and the daily report, and the
// texts both show for events.
#include "core/outputs/history/historytypes.h"

#include <QCategoryAxis>
#include <QChartView>

namespace zel {

// The time axis both charts share: [fromMs, toMs) with its labels on round
// local times (whole minutes, hours or days, at most 9 of them).
void setTimeAxisRange(QCategoryAxis* axis, qint64 fromMs, qint64 toMs);

// Highest positive peaks above zero and highest negative peaks below it, in
// percent, with the +125 % and -100 % limits; link-down spans shaded.
void fillPeakChart(QChart* chart, const ChartSeries& s, qint64 fromMs, qint64 toMs);
// The carrier band (lowest to highest per bucket) against its window, in percent.
void fillCarrierChart(QChart* chart, const ChartSeries& s, qint64 fromMs, qint64 toMs);

// A chart view with the look both places share; zooms along time with a
// rubber band (right click zooms out).
QChartView* makeTrendView(const QString& objectName, QWidget* parent = nullptr);

QString eventKindTitle(const QString& kind);
// One line about an event: the episode's length and peak, the link's words,
// the readings at an alarm.
QString eventDetails(const EventRecord& e);
// "2 h 05 min", "3 min 12 s", "0.8 s".
QString durationText(qint64 ms);

} // namespace zel
