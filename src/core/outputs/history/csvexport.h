#pragma once
// The record as CSV (RFC 4180): a header row, comma-separated fields, text
// fields quoted when they hold a comma, a quote or a line break, lines ended
// by CR LF. Times are local time with the offset, ISO 8601
// ("2026-12-07T14:03:00+01:00"), by the program's one time formatter.
// Control characters in text are shown escaped; text that a spreadsheet
// would take for a formula (a leading = + - @, TAB or CR) is prefixed with
// an apostrophe.
#include <QString>
#include <functional>

class QIODevice;

namespace zel {

class HistoryStore;

enum class CsvTable { Events, Minutes, Notes };

// Writes the events, minutes or notes of [fromMs, toMs) (UTC ms) to `path`
// (replaced only when complete; "-" writes to standard output). Events
// oldest first; notes: those on the range's events, in the order written. An empty monitor means every
// monitor. False with a message in *error on failure.
bool exportCsv(const HistoryStore& store, CsvTable table, const QString& path, qint64 fromMs, qint64 toMs,
               const QString& monitor = {}, QString* error = nullptr);
// Writes a CSV file by `write` (the rows written, or -1 with the reason):
// replaced only when complete, "-" for standard output.
bool writeCsvFile(const QString& path, const std::function<qint64(QIODevice*, QString*)>& write,
                  QString* error);
// The same into an open device; returns the rows written, or -1.
qint64 writeCsv(const HistoryStore& store, CsvTable table, QIODevice* out, qint64 fromMs, qint64 toMs,
                const QString& monitor = {}, QString* error = nullptr);

// "events" / "minutes" / "notes" to the table; false for anything else.
bool parseCsvTable(const QString& text, CsvTable* table);

// A time given on a command line: an ISO 8601 date ("2026-12-07", the start
// of that local day) or date and time ("2026-12-07T03:00", "...T03:00:00Z",
// "...+01:00"; without an offset, local time). False for anything else.
bool parseTimeArgument(const QString& text, qint64* utcMs);

// Local time with the offset, to the second or to the millisecond.
QString csvTime(qint64 utcMs, bool withMs = false);
// One field as CSV: quoted when needed, formula-like text defused.
QString csvField(const QString& text);

} // namespace zel
