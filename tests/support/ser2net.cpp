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

QString Ser2Net::program() {
    // Debian puts it in /usr/sbin, which a user's PATH may lack.
    return QStandardPaths::findExecutable(QStringLiteral("ser2net"),
                                          {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin"),
                                           QStringLiteral("/usr/bin"), QStringLiteral("/usr/local/bin")});
}

quint16 Ser2Net::freePort() {
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost, 0) ? server.serverPort() : 0;
}

// Read from /proc/net/tcp: connecting to ask would open the device.
static bool isListening(quint16 port) {
    QFile f(QStringLiteral("/proc/net/tcp"));
    if (!f.open(QIODevice::ReadOnly)) return false;
    // "  0: 0100007F:1F90 00000000:0000 0A ...": 127.0.0.1 in the kernel's byte order, 0A is LISTEN.
    const QByteArray local = "0100007F:" + QByteArray::number(port, 16).rightJustified(4, '0').toUpper();
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 3 && fields[1] == local && fields[3] == "0A") return true;
    }
    return false;
}

bool Ser2Net::fail(const QString& why) {
    m_error = why;
    return false;
}

bool Ser2Net::start(const QString& tcpDevice, const QString& rfc2217Device, int timeoutMs) {
    stop();
    if (program().isEmpty())
        return fail(QStringLiteral("ser2net is not installed (scripts/install-deps installs it)"));
    if (m_tcpPort == 0) {
        QTcpServer a, b; // both held at once, so they differ
        if (!a.listen(QHostAddress::LocalHost, 0) || !b.listen(QHostAddress::LocalHost, 0))
            return fail(QStringLiteral("no free loopback port"));
        m_tcpPort = a.serverPort();
        m_rfc2217Port = b.serverPort();
    }
    // nodelay: else each character waits for the last one's acknowledgement
    // (40 ms late replies); local: the stand-in has no modem lines; kickolduser:
    // a half-open connection left by a lost link does not lock the panel out.
    const QString accepter =
        m_defaultOptions ? QStringLiteral("tcp,127.0.0.1,") : QStringLiteral("tcp(nodelay),127.0.0.1,");
    const QString connection = QStringLiteral("connection: &%1\n  accepter: %2") + accepter +
                               QStringLiteral("%3\n  connector: serialdev,%4,9600n81,local\n"
                                              "  options:\n    kickolduser: true\n") +
                               (m_defaultOptions ? QString() : QStringLiteral("    chardelay: false\n"));
    const QString yaml = connection.arg(QStringLiteral("zeltcp"), QString()).arg(m_tcpPort).arg(tcpDevice) +
                         connection.arg(QStringLiteral("zelrfc2217"), QStringLiteral("telnet(rfc2217),"))
                             .arg(m_rfc2217Port)
                             .arg(rfc2217Device.isEmpty() ? tcpDevice : rfc2217Device);
    QFile config(configPath());
    if (!m_dir.isValid() || !config.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        config.write(yaml.toUtf8()) < 0)
        return fail(QStringLiteral("cannot write %1").arg(configPath()));
    config.close();
    return launch(timeoutMs);
}

bool Ser2Net::launch(int timeoutMs) {
    stop();
    m_error.clear();
    // -d: foreground, log on standard output; -u: no UUCP lock files.
    m_process.start(program(),
                    {QStringLiteral("-d"), QStringLiteral("-u"), QStringLiteral("-c"), configPath()});
    if (!m_process.waitForStarted(timeoutMs))
        return fail(QStringLiteral("cannot start ser2net: %1").arg(m_process.errorString()));
    // A port a killed ser2net just left may take a moment to be free, and
    // ser2net does not retry a failed bind: poll until both listen.
    QDeadlineTimer deadline(timeoutMs);
    while (!(isListening(m_tcpPort) && isListening(m_rfc2217Port))) {
        if (m_process.state() != QProcess::Running || deadline.hasExpired()) {
            const QString log = QString::fromLocal8Bit(m_process.readAll()).trimmed();
            stop();
            return fail(QStringLiteral("ser2net does not listen on ports %1 and %2: %3")
                            .arg(m_tcpPort)
                            .arg(m_rfc2217Port)
                            .arg(log));
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

} // namespace zeltest
