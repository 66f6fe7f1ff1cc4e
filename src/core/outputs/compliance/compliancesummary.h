#pragma once
// What the compliance report says about a period of one monitor, worked out
// once from the minute table and the record's events, notes and sign-offs:
// the report only lays it out.
#include "core/outputs/compliance/compliancetable.h"

#include <QDateTime>

namespace zel {

struct ComplianceDay {
    QDate day;
    int minutes = 0;   // 1,440; 1,380 or 1,500 with a clock change
    int monitored = 0; // minutes with valid data for most of them
    int over = 0;      // minutes by class
    int low = 0;
    int unmonitored = 0;
    qint64 neg100Packets = 0; // readings past -100 %
    qint64 pos125Packets = 0; // readings past +125 %
};

// An episode past +125 % as the record holds it.
struct ComplianceEpisode {
    qint64 startMs = 0;
    qint64 endMs = 0;
    int packets = 0;
    double extreme = 0; // the highest peak, percent
    bool open = false;  // never completed (the program ended during it)
};

// An operator's note on one of the monitor's events in the period.
struct ComplianceNote {
    qint64 eventId = 0;
    qint64 eventMs = 0;
    QString eventKind;
    qint64 timeMs = 0;
    QString by;
    QString text;
};

// A review of a period that overlaps the report's.
struct ComplianceSignOff {
    qint64 fromMs = 0;
    qint64 toMs = 0;
    qint64 timeMs = 0;
    QString by;
    QString text;
};

struct ComplianceSummary {
    QString monitor;
    QDate from;
    QDate to;
    qint64 fromMs = 0; // UTC [fromMs, toMs)
    qint64 toMs = 0;
    ComplianceSettings settings;
    int minutes = 0;
    int monitored = 0;
    QList<QPair<qint64, qint64>> unmonitored; // spans [from, to) of minutes not monitored, merged
    QList<ComplianceDay> days;
    QList<ComplianceEpisode> pos125;
    QList<AlarmInterval> alarms; // carrier alarm and audio loss, oldest first
    QList<ComplianceNote> notes;
    QList<ComplianceSignOff> signOffs;
    QString recordProblem; // the notes or sign-offs could not be read: why
};

// False, with a message in *error, when the record cannot be read.
bool summarizeCompliance(const ComplianceTable& table, const HistoryStore& store, QDate from, QDate to,
                         ComplianceSummary* summary, QString* error,
                         qint64 nowMs = QDateTime::currentMSecsSinceEpoch());

} // namespace zel
