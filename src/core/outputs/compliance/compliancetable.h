#pragma once
// The compliance record's minute table: for a period of local days, one row
// per minute of one monitor, every minute exactly once (a day with a clock
// change has 1,380 or 1,500), each classed `over`, `low`, `unmonitored` or
// `ok` from the history's minutes and its No Data alarms.
#include "core/outputs/compliance/compliancesettings.h"
#include "core/outputs/history/historytypes.h"

#include <QDate>
#include <functional>

class QIODevice;

namespace zel {

class HistoryStore;

enum class MinuteClass { Ok, Over, Low, Unmonitored };
// "ok", "over", "low", "unmonitored": as the CSV writes them.
const char* minuteClassName(MinuteClass c);

// A minute is monitored when it holds valid data for most of it: at least
// this many of its seconds.
constexpr int MonitoredSeconds = 30;

struct ComplianceMinute {
    qint64 minuteMs = 0;          // UTC start
    int packets = 0;              // valid readings
    std::optional<double> posMax; // percent; none without readings
    std::optional<double> negMax;
    std::optional<double> carrierMin; // percent
    std::optional<double> carrierMax;
    int pos125Packets = 0; // readings past +125 %
    int neg100Packets = 0; // readings past -100 %
    int validS = 0;        // seconds with valid data, 0 to 60
    MinuteClass cls = MinuteClass::Unmonitored;
    bool monitored() const { return validS >= MonitoredSeconds; }
};

// The rule for one minute: `row` is its record (nullptr: none), `noDataS`
// the seconds of it the No Data alarm was on.
//  - valid data: the seconds the link was up, less those without data; none
//    without a single valid reading. Rows of older files, without the up
//    time, count the readings at the line's 96 a second, at most the minute
//    less its link-down time.
//  - over: any reading past +125 %, or `negRecurrence` readings past -100 %;
//    a peak seen is a peak, so this holds however little of the minute was
//    watched.
//  - unmonitored: not over, and valid data for less than MonitoredSeconds.
//  - low: monitored, not over, the highest positive peak below `lowPercent`.
ComplianceMinute classifyMinute(qint64 minuteMs, const MinuteRecord* row, int noDataS,
                                const ComplianceSettings& settings);

// An alarm from its on to its off, clipped to a period.
struct AlarmInterval {
    QString kind;
    qint64 onMs = 0;
    qint64 offMs = 0;
    bool onBefore = false; // already on when the period began
    bool stillOn = false;  // not yet off at the period's end (or now)
};

// The intervals of one kind of alarm (carrier-alarm, audio-loss, no-data) of
// one monitor within [fromMs, toMs), oldest first. One still on ends at the
// period's end or `nowMs`, whichever is first. An alarm the record left on
// (a process that was killed) ends at the monitor's next link event: the
// recorder itself turns every alarm off when the link goes down.
QList<AlarmInterval> alarmIntervals(const HistoryStore& store, const QString& monitor, const QString& kind,
                                    qint64 fromMs, qint64 toMs, qint64 nowMs);

// The period of local days from..to: from local midnight of `from` to local
// midnight after `to` (UTC ms).
qint64 periodStartMs(QDate from);
qint64 periodEndMs(QDate to);

// FROM and TO as given on a command line (YYYY-MM-DD each, FROM not after
// TO). False with a message naming the fault.
bool parseCompliancePeriod(const QString& from, const QString& to, QDate* fromDay, QDate* toDay,
                           QString* error);

// Opens the record a compliance task reads. A file that is not there is
// refused (reading never creates a record where there was none); a
// postgresql:// URL opens the central record of `site` (empty: every site).
// False with a message in *error, or with it empty when the store said why
// through its problem() signal.
bool openComplianceHistory(HistoryStore* store, const QString& path, const QString& site, QString* error);

// The monitor a record is about: `wanted` when the record knows it, else the
// one monitor with rows in [fromMs, toMs) (or, with none there, the one in
// the whole file). False, with a message naming the monitors the record
// holds, when `wanted` is unknown or there is no monitor or more than one to
// choose from.
bool chooseComplianceMonitor(const HistoryStore& store, const QString& wanted, qint64 fromMs, qint64 toMs,
                             QString* monitor, QString* error);

class ComplianceTable {
public:
    ComplianceTable(const HistoryStore& store, const QString& monitor, const ComplianceSettings& settings);

    const QString& monitor() const { return m_monitor; }
    const ComplianceSettings& settings() const { return m_settings; }

    // Calls `row` for every minute of the local days from..to, in time order,
    // each once. False, with a message in *error, when the record cannot be
    // read.
    bool forEachMinute(QDate from, QDate to, const std::function<void(const ComplianceMinute&)>& row,
                       QString* error) const;

    // The table as CSV (RFC 4180, CR LF, formula-safe, as the history's
    // export): a header row, then one row a minute. The same record gives
    // the same bytes. Returns the rows written, or -1 with *error.
    qint64 writeCsv(QDate from, QDate to, QIODevice* out, QString* error) const;
    // The same into `path`, replaced only when complete ("-": standard
    // output).
    bool exportCsv(QDate from, QDate to, const QString& path, QString* error) const;

private:
    const HistoryStore& m_store;
    QString m_monitor;
    ComplianceSettings m_settings;
};

} // namespace zel
