#include "support/ser2net.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>

namespace zeltest {

Ser2Net::Ser2Net(QObject* parent)
    : QObject(parent) {
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

Ser2Net::~Ser2Net() {
    stop();
}

QString Ser2Net::program() {
    // Debian puts it in /usr/sbin, which a user's PATH may lack.
    return QStandardPaths::findExecutable(QStringLiteral("ser2net"),
                                          {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin"),
                                           QStringLiteral("/usr/bin"), QStringLiteral("/usr/local/bin")});
}

static QString configuration(const QString& tcpDevice, quint16 tcpPort, const QString& rfc2217Device,
                             quint16 rfc2217Port) {
    // nodelay: without it ser2net holds back each character behind the one
    // before until that is acknowledged, and the panel's delayed
    // acknowledgement makes most replies 40 ms late. "local": the stand-in
    // has no modem lines to watch. kickolduser: a
    // panel that reconnects after losing its connection is not locked out by
    // the half-open connection it left behind.
    const QString connection = QStringLiteral("connection: &%1\n"
                                              "  accepter: %2\n"
                                              "  connector: serialdev,%3,9600n81,local\n"
                                              "  options:\n"
                                              "    kickolduser: true\n"
                                              "    chardelay: false\n");
    return connection.arg(QStringLiteral("zeltcp"), QStringLiteral("tcp(nodelay),127.0.0.1,%1").arg(tcpPort),
                          tcpDevice) +
           connection.arg(QStringLiteral("zelrfc2217"),
                          QStringLiteral("telnet(rfc2217),tcp(nodelay),127.0.0.1,%1").arg(rfc2217Port),
                          rfc2217Device);
}

quint16 Ser2Net::freePort() {
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost, 0) ? server.serverPort() : 0;
}

// Whether something listens on 127.0.0.1:`port`, read from /proc/net/tcp:
// connecting would open the device.
static bool isListening(quint16 port) {
    QFile f(QStringLiteral("/proc/net/tcp"));
    if (!f.open(QIODevice::ReadOnly)) return false;
    // "  0: 0100007F:1F90 00000000:0000 0A ...": local address, remote, state
    // (0A is LISTEN); 127.0.0.1 is 0100007F in the kernel's byte order.
    const QByteArray local =
        QStringLiteral("0100007F:%1").arg(port, 4, 16, QLatin1Char('0')).toUpper().toLatin1();
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 3 && fields[1] == local && fields[3] == "0A") return true;
    }
    return false;
}

bool Ser2Net::start(const QString& tcpDevice, const QString& rfc2217Device, int timeoutMs) {
    stop();
    m_error.clear();
    if (program().isEmpty()) {
        m_error = QStringLiteral("ser2net is not installed (scripts/install-deps installs it)");
        return false;
    }
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder for the configuration");
        return false;
    }
    m_tcpDevice = tcpDevice;
    m_rfc2217Device = rfc2217Device.isEmpty() ? tcpDevice : rfc2217Device;
    if (m_tcpPort == 0) {
        // Both held at once, so they differ.
        QTcpServer a, b;
        if (!a.listen(QHostAddress::LocalHost, 0) || !b.listen(QHostAddress::LocalHost, 0)) {
            m_error = QStringLiteral("no free loopback port");
            return false;
        }
        m_tcpPort = a.serverPort();
        m_rfc2217Port = b.serverPort();
    }
    QFile config(configPath());
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        config.write(configuration(m_tcpDevice, m_tcpPort, m_rfc2217Device, m_rfc2217Port).toUtf8()) < 0) {
        m_error = QStringLiteral("cannot write %1").arg(configPath());
        return false;
    }
    config.close();
    return launch(timeoutMs);
}

bool Ser2Net::restart(int timeoutMs) {
    stop();
    m_error.clear();
    return launch(timeoutMs);
}

bool Ser2Net::launch(int timeoutMs) {
    m_output.clear();
    // -d: in the foreground, its log on standard output rather than syslog;
    // -u: no UUCP lock files in the system's lock folder; no pid file.
    m_process.start(program(),
                    {QStringLiteral("-d"), QStringLiteral("-u"), QStringLiteral("-c"), configPath()});
    if (!m_process.waitForStarted(timeoutMs)) {
        m_error = QStringLiteral("cannot start ser2net: %1").arg(m_process.errorString());
        return false;
    }
    // A port just left by a killed ser2net may take a moment to be free
    // again; ser2net retries nothing, so a failed bind shows as a timeout.
    QDeadlineTimer deadline(timeoutMs);
    while (!(isListening(m_tcpPort) && isListening(m_rfc2217Port))) {
        if (m_process.state() != QProcess::Running) {
            m_error = QStringLiteral("ser2net ended: %1").arg(output());
            return false;
        }
        if (deadline.hasExpired()) {
            m_error = QStringLiteral("ser2net does not listen on ports %1 and %2: %3")
                          .arg(m_tcpPort)
                          .arg(m_rfc2217Port)
                          .arg(output());
            stop();
            return false;
        }
        m_process.waitForReadyRead(20);
    }
    return true;
}

void Ser2Net::kill() {
    if (m_process.state() == QProcess::NotRunning) return;
    m_process.kill();
    m_process.waitForFinished(5000);
}

void Ser2Net::stop() {
    if (m_process.state() == QProcess::NotRunning) return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) kill();
}

QString Ser2Net::output() {
    m_output += m_process.readAll();
    return QString::fromLocal8Bit(m_output).trimmed();
}

} // namespace zeltest
