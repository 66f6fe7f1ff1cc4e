#include "snmp/snmpdaemons.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QThread>
#include <QUdpSocket>
#include <csignal>

namespace zeltest {

namespace {

QString findTool(const QString& name) {
    return QStandardPaths::findExecutable(name, {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin"),
                                                 QStringLiteral("/usr/local/sbin"),
                                                 QStringLiteral("/usr/local/bin")});
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
    env.insert(QStringLiteral("MIBS"), QString());
    env.insert(QStringLiteral("SNMP_PERSISTENT_DIR"), m_dir.path());
    env.insert(QStringLiteral("SNMPCONFPATH"), m_dir.path());
    m_snmpd.setProcessEnvironment(env);
    m_trapd.setProcessEnvironment(env);
    m_snmpd.setProcessChannelMode(QProcess::MergedChannels);
    m_trapd.setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(&m_trapd, &QProcess::readyRead, [this] {
        m_trapBuffer += m_trapd.readAll();
        int nl;
        while ((nl = m_trapBuffer.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(m_trapBuffer.left(nl));
            m_trapBuffer.remove(0, nl + 1);
            if (line.startsWith(QLatin1String("TRAP "))) m_traps.append({line, m_clock.nsecsElapsed()});
        }
    });
}

SnmpDaemons::~SnmpDaemons() {
    pauseSnmpd(false);
    finish(m_snmpd);
    finish(m_trapd);
}

bool SnmpDaemons::installed(QString* missing) {
    for (const char* t : {"snmpd", "snmptrapd", "snmpwalk", "snmpbulkwalk", "snmpget"}) {
        if (findTool(QString::fromLatin1(t)).isEmpty()) {
            *missing = QString::fromLatin1(t);
            return false;
        }
    }
    return true;
}

bool SnmpDaemons::startTrapd() {
    m_trapPort = freeUdpPort();
    const QString conf = m_dir.filePath(QStringLiteral("snmptrapd.conf"));
    if (!m_trapPort || !writeFile(conf, "authCommunity log public\ndoNotRetainNotificationLogs yes\n")) {
        m_error = QStringLiteral("cannot prepare snmptrapd");
        return false;
    }
    // -Le: log to stderr, unbuffered; -F: one line per notification.
    m_trapd.start(findTool(QStringLiteral("snmptrapd")),
                  {QStringLiteral("-f"), QStringLiteral("-C"), QStringLiteral("-c"), conf,
                   QStringLiteral("-Le"), QStringLiteral("-On"), QStringLiteral("-n"), QStringLiteral("-F"),
                   QStringLiteral("TRAP %V\t%v\n"), QStringLiteral("udp:127.0.0.1:%1").arg(m_trapPort)});
    if (!m_trapd.waitForStarted(5000)) {
        m_error = QStringLiteral("cannot start snmptrapd: %1").arg(m_trapd.errorString());
        return false;
    }
    // Ready once it has bound its port.
    QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        QUdpSocket probe;
        if (!probe.bind(QHostAddress::LocalHost, m_trapPort)) return true;
        probe.close();
        QThread::msleep(20);
    }
    m_error = QStringLiteral("snmptrapd does not listen: %1").arg(QString::fromLocal8Bit(m_trapd.readAll()));
    return false;
}

bool SnmpDaemons::startSnmpd(int timeoutMs) {
    if (m_snmpPort == 0) m_snmpPort = freeUdpPort();
    const QString conf = m_dir.filePath(QStringLiteral("snmpd.conf"));
    QFile::remove(agentxSocket());
    const QByteArray text = QStringLiteral("master agentx\n"
                                           "agentXSocket %1\n"
                                           "agentXPerms 0600 0700\n"
                                           "agentaddress udp:127.0.0.1:%2\n"
                                           "rocommunity public 127.0.0.1\n"
                                           "trap2sink 127.0.0.1:%3 public\n"
                                           "dontLogTCPWrappersConnects yes\n")
                                .arg(agentxSocket())
                                .arg(m_snmpPort)
                                .arg(m_trapPort)
                                .toUtf8();
    if (!m_snmpPort || !writeFile(conf, text)) {
        m_error = QStringLiteral("cannot prepare snmpd");
        return false;
    }
    // -Lf: log to a file (a pipe nobody reads while a walk runs would fill
    // and stall it); -I -smux: no SMUX port, which a host's snmpd may hold.
    m_snmpd.start(findTool(QStringLiteral("snmpd")),
                  {QStringLiteral("-f"), QStringLiteral("-C"), QStringLiteral("-c"), conf,
                   QStringLiteral("-Lf"), m_dir.filePath(QStringLiteral("snmpd.log")), QStringLiteral("-I"),
                   QStringLiteral("-smux"), QStringLiteral("-p"),
                   m_dir.filePath(QStringLiteral("snmpd.pid"))});
    if (!m_snmpd.waitForStarted(5000)) {
        m_error = QStringLiteral("cannot start snmpd: %1").arg(m_snmpd.errorString());
        return false;
    }
    QDeadlineTimer deadline(timeoutMs);
    while (!QFile::exists(agentxSocket())) {
        if (deadline.hasExpired() || m_snmpd.state() != QProcess::Running) {
            QFile log(m_dir.filePath(QStringLiteral("snmpd.log")));
            log.open(QIODevice::ReadOnly);
            m_error = QStringLiteral("snmpd did not open its AgentX socket: %1")
                          .arg(QString::fromLocal8Bit(log.readAll()));
            return false;
        }
        m_snmpd.waitForReadyRead(20);
    }
    return true;
}

void SnmpDaemons::killSnmpd() {
    pauseSnmpd(false);
    if (m_snmpd.state() == QProcess::NotRunning) return;
    m_snmpd.kill();
    m_snmpd.waitForFinished(5000);
}

void SnmpDaemons::stopSnmpd() {
    pauseSnmpd(false);
    finish(m_snmpd);
}

void SnmpDaemons::pauseSnmpd(bool paused) {
    if (m_snmpd.state() == QProcess::Running) ::kill(pid_t(m_snmpd.processId()), paused ? SIGSTOP : SIGCONT);
}

QStringList SnmpDaemons::runTool(const QString& tool, QStringList args) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SNMPCONFPATH"), m_dir.path());
    if (!args.contains(QStringLiteral("-M"))) env.insert(QStringLiteral("MIBS"), QString());
    p.setProcessEnvironment(env);
    args = QStringList{QStringLiteral("-v2c"), QStringLiteral("-c"), QStringLiteral("public"),
                       QStringLiteral("-t"),   QStringLiteral("2"),  QStringLiteral("-r"),
                       QStringLiteral("0")} +
           args;
    p.start(findTool(tool), args);
    if (!p.waitForFinished(20000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        m_error = QStringLiteral("%1 %2: %3%4")
                      .arg(tool, args.join(u' '), QString::fromLocal8Bit(p.readAllStandardError()),
                           QString::fromLocal8Bit(p.readAllStandardOutput()));
        p.kill();
        p.waitForFinished(1000);
        return {};
    }
    QStringList lines = QString::fromUtf8(p.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    if (lines.isEmpty()) m_error = QStringLiteral("%1: no output").arg(tool);
    return lines;
}

QStringList SnmpDaemons::walk(const QString& oid, bool bulk, const QString& mibs) {
    QStringList args;
    if (!mibs.isEmpty())
        args << QStringLiteral("-M") << mibs << QStringLiteral("-m") << QStringLiteral("ZEL-MONITOR-MIB");
    else
        args << QStringLiteral("-On");
    args << QStringLiteral("-Oe") << QStringLiteral("127.0.0.1:%1").arg(m_snmpPort) << oid;
    return runTool(bulk ? QStringLiteral("snmpbulkwalk") : QStringLiteral("snmpwalk"), args);
}

QStringList SnmpDaemons::get(const QStringList& oids) {
    return runTool(QStringLiteral("snmpget"), QStringList{QStringLiteral("-On"), QStringLiteral("-Oe"),
                                                          QStringLiteral("127.0.0.1:%1").arg(m_snmpPort)} +
                                                  oids);
}

QStringList SnmpDaemons::traps() {
    QStringList out;
    for (const auto& t : std::as_const(m_traps))
        out << t.first;
    return out;
}

bool SnmpDaemons::waitForTrap(const QString& text, int timeoutMs, QString* line, qint64* receivedNs) {
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
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
