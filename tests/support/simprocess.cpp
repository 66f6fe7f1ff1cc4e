#include "support/simprocess.h"

#include <QElapsedTimer>

namespace zeltest {

SimProcess::SimProcess(QObject* parent)
    : QObject(parent) {
    m_process.setProgram(program());
    // Diagnostics of the simulator show up in the test's output.
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &SimProcess::readLines);
}

SimProcess::~SimProcess() {
    stop();
}

QString SimProcess::program() {
    return QStringLiteral(ZEL_MONITOR_SIM);
}

bool SimProcess::start(const QStringList& arguments, int timeoutMs) {
    stop();
    m_paths.clear();
    m_partial.clear();
    m_error.clear();
    m_process.setArguments(arguments);
    // stdin stays a pipe: the simulator ends with us even if we crash.
    m_process.start(QIODevice::ReadWrite);
    if (!m_process.waitForStarted(timeoutMs)) {
        m_error = QStringLiteral("cannot start %1: %2").arg(program(), m_process.errorString());
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    while (m_paths.isEmpty()) {
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0 || m_process.state() != QProcess::Running) {
            m_error = QStringLiteral("the simulator printed no device path (exit code %1)")
                          .arg(m_process.exitCode());
            stop();
            return false;
        }
        if (m_process.waitForReadyRead(int(std::min<qint64>(left, 100)))) readLines();
    }
    return true;
}

void SimProcess::stop() {
    if (m_process.state() == QProcess::NotRunning) return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool SimProcess::isRunning() const {
    return m_process.state() == QProcess::Running;
}

void SimProcess::readLines() {
    m_partial += m_process.readAllStandardOutput();
    qsizetype eol;
    while ((eol = m_partial.indexOf('\n')) >= 0) {
        const QString line = QString::fromLocal8Bit(m_partial.left(eol)).trimmed();
        m_partial.remove(0, eol + 1);
        if (line.isEmpty()) continue;
        m_paths.append(line);
    }
}

} // namespace zeltest
