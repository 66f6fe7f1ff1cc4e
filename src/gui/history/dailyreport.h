#pragma once
// File > Daily Report, and `zel --report DAY --output FILE.pdf`: one local
// day of the record as a PDF. Needs a QApplication (the offscreen platform
// will do) for the chart; no window is shown.
#include <QDate>
#include <QString>

namespace zel {

class HistoryStore;

// The day's trend charts, the episodes past +125 % and -100 % per hour, the
// alarms with their times and durations, the link's availability and the
// station's name. An empty monitor reports every monitor of the file. False
// with a message in *error when the file cannot be written.
bool writeDailyReport(const HistoryStore& store, QDate day, const QString& stationName,
                      const QString& pdfPath, QString* error = nullptr, const QString& monitor = {});

} // namespace zel
