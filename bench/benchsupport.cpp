#include "benchsupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <sys/resource.h>

namespace bench {

std::int64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double cpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

long voluntarySwitches() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_nvcsw;
}

long involuntarySwitches() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_nivcsw;
}

double peakRssMb() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_maxrss) / 1024.0; // kB on Linux
}

double currentRssMb() {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return -1;
}

void figure(const char* name, double value, int decimals) {
    std::printf("%s: %.*f\n", name, decimals, value);
    std::fflush(stdout);
}

void figure(const char* name, const QString& value) {
    std::printf("%s: %s\n", name, value.toLocal8Bit().constData());
    std::fflush(stdout);
}

QByteArray validSettingsRecord() {
    const QByteArray on("\xff\xff", 2);
    const QByteArray off("\x00\x00", 2);
    QByteArray r;
    r += on;                                      // DirectCable
    r += off;                                     // ModemLink
    r += "COM 1";                                 // DirectPort
    r += on;                                      // ToneDial
    r += off;                                     // PulseDial
    r += QByteArray("1234567").leftJustified(24); // PhoneNumber
    r += QByteArray("0").leftJustified(6);        // OutsideLineOn
    r += QByteArray("9").leftJustified(6);        // OutsideLineCode
    r += QByteArray("0").leftJustified(6);        // CallWaitingOn
    r += QByteArray("*70").leftJustified(6);      // CallWaitingCode
    r += "COM 3";                                 // ModemPortName
    r += off;                                     // SpeakerOff
    r += on;                                      // SpeakerLow
    r += off;                                     // SpeakerLoud
    r += QByteArray("0").leftJustified(6);        // ModemIniOn
    r += QByteArray("AT").leftJustified(23);      // ModemIniString
    r += off;                                     // BeepOffShown
    r += on;                                      // BeepOnShown
    r += "110";                                   // PkPosLevel
    r += "110";                                   // PkNegLevel
    Q_ASSERT(r.size() == 111);
    return r;
}

std::unique_ptr<QTemporaryDir> useTemporarySettings() {
    auto dir = std::make_unique<QTemporaryDir>();
    QDir(dir->path()).mkpath(QStringLiteral("zel"));
    QFile f(dir->filePath(QStringLiteral("zel/Zel_Data.dat")));
    if (f.open(QIODevice::WriteOnly)) f.write(validSettingsRecord());
    qputenv("XDG_CONFIG_HOME", dir->path().toLocal8Bit());
    // The panel records its history: into the run's folder, never the user's.
    qputenv("XDG_DATA_HOME", dir->path().toLocal8Bit());
    return dir;
}

void defaultToOffscreen() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES")) qputenv("QT_LOGGING_RULES", "qt.qpa.*=false");
}

QString simProgram() {
    const QString env = qEnvironmentVariable("ZEL_MONITOR_SIM");
    return env.isEmpty() ? QStringLiteral(ZEL_MONITOR_SIM) : env;
}

SimProcess::SimProcess(QString program)
    : m_program(std::move(program)) {
    m_proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QObject::connect(&m_proc, &QProcess::readyReadStandardOutput, [this] { readOutput(); });
}

SimProcess::~SimProcess() {
    stop();
}

void SimProcess::readOutput() {
    m_buffer += m_proc.readAllStandardOutput();
    static const QRegularExpression devicePath(QStringLiteral("(/dev/\\S+)"));
    for (qsizetype nl; (nl = m_buffer.indexOf('\n')) >= 0;) {
        const QString line = QString::fromLocal8Bit(m_buffer.left(nl));
        m_buffer.remove(0, nl + 1);
        const auto m = devicePath.match(line);
        if (!m.hasMatch()) continue;
        m_path = m.captured(1);
        m_paths << m_path;
        if (m_paths.size() > 1 && onNewPath) onNewPath(m_path);
    }
}

bool SimProcess::start(const QStringList& args, int timeoutMs) {
    m_proc.start(m_program, args);
    if (!m_proc.waitForStarted(timeoutMs)) {
        m_error = QStringLiteral("cannot start %1: %2").arg(m_program, m_proc.errorString());
        return false;
    }
    QDeadlineTimer deadline(timeoutMs);
    while (m_path.isEmpty() && !deadline.hasExpired() && m_proc.state() == QProcess::Running) {
        m_proc.waitForReadyRead(50);
        readOutput();
    }
    if (m_path.isEmpty()) {
        m_error = QStringLiteral("%1 printed no device path").arg(m_program);
        return false;
    }
    return true;
}

void SimProcess::stop() {
    if (m_proc.state() == QProcess::NotRunning) return;
    m_proc.terminate();
    if (!m_proc.waitForFinished(3000)) {
        m_proc.kill();
        m_proc.waitForFinished(3000);
    }
}

std::vector<LoggedReply> readSimLog(const QString& path) {
    std::vector<LoggedReply> replies;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return replies;
    static const QRegularExpression packet(QStringLiteral("^x\\d{9}$"));
    while (!f.atEnd()) {
        const QList<QByteArray> fields = f.readLine().trimmed().split(' ');
        if (fields.size() < 3) continue;
        bool ok = false;
        LoggedReply r;
        r.ns = fields[0].toLongLong(&ok);
        if (!ok) continue;
        r.text = fields[1];
        r.status = fields[2];
        const bool sent = !r.status.contains("dropped") && !r.status.contains("garbled");
        if (sent && packet.match(QString::fromLatin1(r.text)).hasMatch()) r.data = r.text.mid(1);
        replies.push_back(r);
    }
    return replies;
}

double percentile(std::vector<double>& values, double p) {
    if (values.empty()) return std::nan("");
    std::sort(values.begin(), values.end());
    const double rank = p / 100.0 * double(values.size() - 1);
    const auto lo = std::size_t(std::floor(rank));
    const auto hi = std::min(lo + 1, values.size() - 1);
    return values[lo] + (values[hi] - values[lo]) * (rank - double(lo));
}

} // namespace bench
