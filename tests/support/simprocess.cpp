#include "support/simprocess.h"

#include <QDeadlineTimer>
#include <QFile>

namespace zeltest {

QString writeCarrierDipScript(const QString& folder, int packets) {
    const QString path = folder + QStringLiteral("/carrier-dip.txt");
    QFile script(path);
    if (!script.open(QIODevice::WriteOnly)) return {};
    for (const char* line : {"100100197", "100100120", "100100197"})
        for (int i = 0; i < packets; ++i)
            script.write(QByteArray(line) + '\n');
    return path;
}

SimProcess::SimProcess() {
    m_process.setProgram(QStringLiteral(ZEL_MONITOR_SIM));
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process, [this] {
        m_partial += m_process.readAllStandardOutput();
        for (qsizetype eol; (eol = m_partial.indexOf('\n')) >= 0; m_partial.remove(0, eol + 1))
            if (const QString line = QString::fromLocal8Bit(m_partial.left(eol)).trimmed(); !line.isEmpty())
                m_paths.append(line);
    });
}

bool SimProcess::start(const QStringList& arguments, int timeoutMs) {
    stop();
    m_paths.clear();
    m_partial.clear();
    m_process.setArguments(arguments);
    // stdin stays a pipe: the simulator ends with us even if we crash.
    m_process.start(QIODevice::ReadWrite);
    const QDeadlineTimer deadline(timeoutMs);
    while (m_paths.isEmpty() && !deadline.hasExpired() && m_process.state() != QProcess::NotRunning)
        m_process.waitForReadyRead(100);
    if (!m_paths.isEmpty()) return true;
    m_error = QStringLiteral("the simulator printed no device path (%1)").arg(m_process.errorString());
    stop();
    return false;
}

void SimProcess::stop() {
    if (m_process.state() == QProcess::NotRunning) return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) m_process.kill(), m_process.waitForFinished(5000);
}

} // namespace zeltest
