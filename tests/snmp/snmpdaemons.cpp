#include "snmp/snmpdaemons.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QStandardPaths>
#include <QThread>
#include <QUdpSocket>
#include <csignal>

namespace zeltest {

namespace {

QString findTool(const QString& name) {
    return QStandardPaths::findExecutable(name,
                                          {"/usr/sbin", "/usr/bin", "/usr/local/sbin", "/usr/local/bin"});
}

quint16 freeUdpPort() {
    QUdpSocket s;
    return s.bind(QHostAddress::LocalHost, 0) ? s.localPort() : 0;
}

bool writeFile(const QString& path, const QByteArray& text) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size();
}

void finish(QProcess& p) {
    if (p.state() == QProcess::NotRunning) return;
    p.terminate();
    if (!p.waitForFinished(3000)) {
        p.kill();
        p.waitForFinished(3000);
    }
}

} // namespace

SnmpDaemons::SnmpDaemons() {
    m_clock.start();
    // Neither daemon reads the host's MIB files or persistent state.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("MIBS", QString());
    env.insert("SNMP_PERSISTENT_DIR", m_dir.path());
    env.insert("SNMPCONFPATH", m_dir.path());
    for (QProcess* p : {&m_snmpd, &m_trapd}) {
        p->setProcessEnvironment(env);
        p->setProcessChannelMode(QProcess::MergedChannels);
    }
    QObject::connect(&m_trapd, &QProcess::readyRead, [this] {
        m_trapBuffer += m_trapd.readAll();
        for (int nl; (nl = m_trapBuffer.indexOf('\n')) >= 0;) {
            const QString line = QString::fromUtf8(m_trapBuffer.left(nl));
            m_trapBuffer.remove(0, nl + 1);
            if (line.startsWith("TRAP ")) m_traps.append({line, m_clock.nsecsElapsed()});
        }
    });
}

SnmpDaemons::~SnmpDaemons() {
    pauseSnmpd(false);
    finish(m_snmpd);
    finish(m_trapd);
}

bool SnmpDaemons::installed(QString* missing) {
    for (const char* t : {"snmpd", "snmptrapd", "snmpwalk", "snmpbulkwalk", "snmpget"})
        if (findTool(t).isEmpty()) {
            *missing = t;
            return false;
        }
    return true;
}

bool SnmpDaemons::startTrapd() {
    m_trapPort = freeUdpPort();
    const QString conf = m_dir.filePath("snmptrapd.conf");
    if (!m_trapPort || !writeFile(conf, "authCommunity log public\ndoNotRetainNotificationLogs yes\n")) {
        m_error = "cannot prepare snmptrapd";
        return false;
    }
    // -Le: log to stderr, unbuffered; -F: one line per notification.
    m_trapd.start(findTool("snmptrapd"),
                  QStringList{"-f", "-C", "-c", conf, "-Le", "-On", "-n", "-F", "TRAP %V\t%v\n",
                              QString("udp:127.0.0.1:%1").arg(m_trapPort)});
    if (!m_trapd.waitForStarted(5000)) {
        m_error = "cannot start snmptrapd: " + m_trapd.errorString();
        return false;
    }
    // Ready once it has bound its port.
    for (QDeadlineTimer deadline(5000); !deadline.hasExpired(); QThread::msleep(20))
        if (QUdpSocket probe; !probe.bind(QHostAddress::LocalHost, m_trapPort)) return true;
    m_error = "snmptrapd does not listen: " + QString::fromLocal8Bit(m_trapd.readAll());
    return false;
}

bool SnmpDaemons::startSnmpd(int timeoutMs) {
    if (m_snmpPort == 0) m_snmpPort = freeUdpPort();
    const QString conf = m_dir.filePath("snmpd.conf"), log = m_dir.filePath("snmpd.log");
    QFile::remove(agentxSocket());
    const QString text = QString("master agentx\nagentXSocket %1\nagentXPerms 0600 0700\n"
                                 "agentaddress udp:127.0.0.1:%2\nrocommunity public 127.0.0.1\n"
                                 "trap2sink 127.0.0.1:%3 public\ndontLogTCPWrappersConnects yes\n")
                             .arg(agentxSocket())
                             .arg(m_snmpPort)
                             .arg(m_trapPort);
    if (!m_snmpPort || !writeFile(conf, text.toUtf8())) {
        m_error = "cannot prepare snmpd";
        return false;
    }
    // -Lf: log to a file (a pipe nobody reads while a walk runs would fill
    // and stall it); -I -smux: no SMUX port, which a host's snmpd may hold.
    m_snmpd.start(findTool("snmpd"),
                  {"-f", "-C", "-c", conf, "-Lf", log, "-I", "-smux", "-p", m_dir.filePath("snmpd.pid")});
    if (!m_snmpd.waitForStarted(5000)) {
        m_error = "cannot start snmpd: " + m_snmpd.errorString();
        return false;
    }
    for (QDeadlineTimer deadline(timeoutMs); !QFile::exists(agentxSocket()); m_snmpd.waitForReadyRead(20)) {
        if (deadline.hasExpired() || m_snmpd.state() != QProcess::Running) {
            QFile f(log);
            f.open(QIODevice::ReadOnly);
            m_error = "snmpd did not open its AgentX socket: " + QString::fromLocal8Bit(f.readAll());
            return false;
        }
    }
    return true;
}

void SnmpDaemons::killSnmpd() {
    pauseSnmpd(false);
    if (m_snmpd.state() == QProcess::NotRunning) return;
    m_snmpd.kill();
    m_snmpd.waitForFinished(5000);
}

void SnmpDaemons::pauseSnmpd(bool paused) {
    if (m_snmpd.state() == QProcess::Running) ::kill(pid_t(m_snmpd.processId()), paused ? SIGSTOP : SIGCONT);
}

QStringList SnmpDaemons::runTool(const QString& tool, QStringList args) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("SNMPCONFPATH", m_dir.path());
    if (!args.contains("-M")) env.insert("MIBS", QString());
    p.setProcessEnvironment(env);
    args = QStringList{"-v2c", "-c", "public", "-t", "2", "-r", "0"} + args;
    p.start(findTool(tool), args);
    if (!p.waitForFinished(20000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        m_error = tool + ' ' + args.join(' ') + ": " + QString::fromLocal8Bit(p.readAllStandardError()) +
                  QString::fromLocal8Bit(p.readAllStandardOutput());
        p.kill();
        p.waitForFinished(1000);
        return {};
    }
    QStringList lines = QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    if (lines.isEmpty()) m_error = tool + ": no output";
    return lines;
}

QStringList SnmpDaemons::walk(const QString& oid, bool bulk, const QString& mibs) {
    const QStringList named{"-M", mibs, "-m", "ZEL-MONITOR-MIB"};
    return runTool(bulk ? "snmpbulkwalk" : "snmpwalk",
                   (mibs.isEmpty() ? QStringList{"-On"} : named) + QStringList{"-Oe", address(), oid});
}

QStringList SnmpDaemons::get(const QStringList& oids) {
    return runTool("snmpget", QStringList{"-On", "-Oe", address()} + oids);
}

QStringList SnmpDaemons::traps() {
    QStringList out;
    for (const auto& t : std::as_const(m_traps))
        out << t.first;
    return out;
}

bool SnmpDaemons::waitForTrap(const QString& text, int timeoutMs, QString* line, qint64* receivedNs) {
    for (QDeadlineTimer deadline(timeoutMs);;) {
        for (const auto& t : std::as_const(m_traps)) {
            if (t.first.contains(text)) {
                if (line) *line = t.first;
                if (receivedNs) *receivedNs = t.second;
                m_traps.removeOne(t);
                return true;
            }
        }
        if (deadline.hasExpired()) return false;
        // The agent's thread sends; this thread only reads what arrives.
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        m_trapd.waitForReadyRead(5);
    }
}

} // namespace zeltest
