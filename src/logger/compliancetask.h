#pragma once
// zel-logger --compliance FROM TO --output FILE.csv [--history FILE]
// [--monitor ID] [--config FILE]: the compliance minute table of local days
// FROM to TO, without connecting.
#include <QCommandLineOption>
#include <QList>

class QCommandLineParser;

namespace zel {

// --compliance and --monitor, for the logger's parser.
QList<QCommandLineOption> complianceOptions();

// Runs the task from a parser holding those options and the logger's
// --output, --history and --config. Returns the exit status: 0 written; 1
// the record could not be read or the file written; 2 a fault in the
// command line or the config file. Says why on standard error.
int runComplianceTask(const QCommandLineParser& parser);

} // namespace zel
