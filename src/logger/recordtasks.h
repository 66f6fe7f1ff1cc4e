#pragma once
// zel-logger's work on the record itself, without connecting a monitor: an
// operator's note on an event, a review sign-off, and the check of the hash
// chain. Each prints its outcome (errors on standard error, prefixed
// "zel-logger: ") and returns the exit status: 0 done, or intact; 1 refused,
// failed, or a broken chain; 2 for arguments that cannot be used.
#include <QString>

namespace zel {

// FROM and TO as parseTimeArgument() takes them; a TO that is a date means
// the whole of that local day (TO inclusive). The period is [*fromMs, *toMs).
bool parsePeriod(const QString& from, const QString& to, qint64* fromMs, qint64* toMs, QString* error);

// A null `by` or `text`: the option was not given.
int annotateRecord(const QString& historyPath, const QString& eventId, const QString& by,
                   const QString& text);
int signOffRecord(const QString& historyPath, const QString& from, const QString& to, const QString& by,
                  const QString& text);
// Prints "intact: N rows" (0), or the first row that breaks the chain (1).
// A postgresql:// history is the central copy of `site`.
int verifyRecord(const QString& historyPath, const QString& site = {});

} // namespace zel
