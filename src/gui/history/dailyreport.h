#pragma once
// File > Daily Report, and `zel --report DAY --output FILE.pdf`: one local
// day of the record as a PDF. Needs a QApplication (the offscreen platform
// will do) for the chart; no window is shown.
#include <QDate>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>

namespace zel {

class HistoryStore;

// An alarm from its on to its off, within one day.
struct AlarmSpan {
    QString monitor;
    QString kind;
    qint64 onMs = -1;  // -1: already on when the day began
    qint64 offMs = -1; // -1: still on at the end of the day (or now)
    qint64 durationMs = 0;
};

// What the report says about a local day, worked out once: its durations
// add up to its totals.
struct DailySummary {
    qint64 fromMs = 0;
    qint64 toMs = 0;
    bool recorded = false; // any minute of the day is in the record
    QList<int> pos125PerHour = QList<int>(24, 0);
    QList<int> neg100PerHour = QList<int>(24, 0);
    qint64 upS = 0;   // the link was up: the time monitored
    qint64 downS = 0; // the link was down while wanted
    qint64 packets = 0;
    qint64 rejected = 0;
    QList<AlarmSpan> alarms;
    QMap<QString, qint64> alarmMs; // by event kind: the sum of its spans
};

DailySummary summarizeDay(const HistoryStore& store, QDate day, const QString& monitor = {},
                          qint64 nowMs = QDateTime::currentMSecsSinceEpoch());

// The day's trend charts, the episodes past +125 % and -100 % per hour, the
// alarms with their times and durations, the link's availability and the
// station's name. An empty monitor reports every monitor of the file. False
// with a message in *error when the file cannot be written.
bool writeDailyReport(const HistoryStore& store, QDate day, const QString& stationName,
                      const QString& pdfPath, QString* error = nullptr, const QString& monitor = {});

} // namespace zel
