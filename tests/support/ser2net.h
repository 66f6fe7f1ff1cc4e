#pragma once
// Runs Debian's ser2net (version 4) as the serial device server of a test:
// a generated YAML configuration with a raw "tcp" and a "telnet(rfc2217)"
// accepter on loopback ports chosen free at run time, in front of a device
// path (normally the stand-in's --link). It can be killed and started again
// on the same ports, as a device server that crashes or reboots.
#include <QObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace zeltest {

class Ser2Net : public QObject {
    Q_OBJECT
public:
    explicit Ser2Net(QObject* parent = nullptr);
    ~Ser2Net() override; // stops it

    // The ser2net executable, empty when it is not installed.
    static QString program();

    // Chooses the ports (the first time), writes the configuration, starts
    // ser2net and waits until both ports listen. `rfc2217Device` defaults to
    // `tcpDevice`; ser2net lends a device to one connection at a time.
    bool start(const QString& tcpDevice, const QString& rfc2217Device = QString(), int timeoutMs = 10000);
    // Starts it again with the same devices and ports.
    bool restart(int timeoutMs = 10000);
    // Ends it at once (SIGKILL), as a crash would; its connections drop.
    void kill();
    // Ends it (SIGTERM, then SIGKILL).
    void stop();
    qint64 processId() const { return m_process.processId(); }

    QString tcpText() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(m_tcpPort); }
    QString rfc2217Text() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(m_rfc2217Port); }
    QString errorText() const { return m_error; }

    // A loopback TCP port that nothing listens on right now.
    static quint16 freePort();

private:
    bool launch(int timeoutMs);
    QString configPath() const { return m_dir.filePath(QStringLiteral("ser2net.yaml")); }
    // What ser2net has printed (it logs to standard output with -d).
    QString output();

    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_tcpDevice, m_rfc2217Device;
    quint16 m_tcpPort = 0, m_rfc2217Port = 0;
    QByteArray m_output;
    QString m_error;
};

} // namespace zeltest
