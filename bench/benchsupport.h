#pragma once
// Shared by the benchmarks and the soak: clocks, the process's own CPU time
// and memory, a throw-away settings folder with a valid record (so start-up
// shows no message box), the stand-in monitor as a child process, and the
// stand-in's reply log.
#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace bench {

// CLOCK_MONOTONIC in nanoseconds: the clock of the stand-in's --log stamps.
std::int64_t monotonicNs();
// User plus system CPU time of this process so far, in seconds.
double cpuSeconds();
// Times this process went to sleep waiting (voluntary context switches) and
// was pushed off a core (involuntary ones, a sign of contention), so far.
long voluntarySwitches();
long involuntarySwitches();
// Peak resident memory of this process (getrusage), in MB.
double peakRssMb();
// Current resident memory (VmRSS), in MB.
double currentRssMb();

// Prints "name: value" on a line of its own and flushes.
void figure(const char* name, double value, int decimals = 2);
void figure(const char* name, const QString& value);

// A valid 111-byte settings record: direct cable, speaker on, thresholds
// 110 / 110.
QByteArray validSettingsRecord();
// Points XDG_CONFIG_HOME (and XDG_DATA_HOME, for the history) at a fresh
// temporary folder holding a valid settings file. Keep the returned folder alive as long as it is used.
std::unique_ptr<QTemporaryDir> useTemporarySettings();

// Runs QT_QPA_PLATFORM=offscreen unless the caller chose a platform.
void defaultToOffscreen();

// The stand-in monitor as a child process. It prints the device path to
// open on its first output line; a port that vanishes and comes back is
// announced the same way.
class SimProcess {
public:
    explicit SimProcess(QString program);
    ~SimProcess();
    // Starts it with `args` and waits (event loop running) for the device
    // path; false with a reason in error() on failure.
    bool start(const QStringList& args, int timeoutMs = 10000);
    QString devicePath() const { return m_path; }
    // Every device path announced so far, oldest first.
    const QStringList& announcedPaths() const { return m_paths; }
    QString error() const { return m_error; }
    QProcess& process() { return m_proc; }
    // Called from the event loop with every device path announced after the
    // first (the device vanished and came back).
    std::function<void(const QString&)> onNewPath;
    // Stops it (SIGTERM, then SIGKILL) and waits for the end.
    void stop();

private:
    void readOutput();
    QString m_program;
    QProcess m_proc;
    QByteArray m_buffer;
    QString m_path;
    QStringList m_paths;
    QString m_error;
};

// The path of zel-monitor-sim: $ZEL_MONITOR_SIM, else the one built with
// the benchmarks.
QString simProgram();

// One reply from the stand-in's --log: when its last character was written
// (or when it was dropped), the reply text, its status ("ok", "dropped", or
// faults such as "garbled+split"), and the nine data characters when it went
// out as a valid packet (neither dropped nor garbled), else empty.
struct LoggedReply {
    std::int64_t ns = 0;
    QByteArray text;
    QByteArray status;
    QByteArray data;
};
// Reads a --log file; lines it does not understand are skipped.
std::vector<LoggedReply> readSimLog(const QString& path);

// Percentile (0..100) of `values` (sorted in place).
double percentile(std::vector<double>& values, double p);

} // namespace bench
