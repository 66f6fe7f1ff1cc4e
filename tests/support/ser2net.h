#pragma once
// Debian's ser2net (version 4) as a test's device server: a generated YAML
// configuration with a raw "tcp" and a "telnet(rfc2217)" accepter on free
// loopback ports; it can be killed and started again on the same ports.
#include <QObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace zeltest {

class Ser2Net : public QObject {
    Q_OBJECT
public:
    explicit Ser2Net(QObject* parent = nullptr);
    ~Ser2Net() override { stop(); }

    static QString program();  // empty when not installed
    static quint16 freePort(); // a loopback port nothing listens on now

    // ser2net's own defaults (characters gathered, Nagle on) rather than the
    // options the README recommends; set before start().
    void setDefaultOptions(bool on) { m_defaultOptions = on; }

    // Writes the configuration and waits until both ports listen; ser2net lends
    // a device to one connection at a time, hence a second device.
    bool start(const QString& tcpDevice, const QString& rfc2217Device = QString(), int timeoutMs = 10000);
    bool restart(int timeoutMs = 10000) { return launch(timeoutMs); } // same devices and ports
    void kill();                                                      // SIGKILL, as a crash
    void stop();                                                      // SIGTERM, then SIGKILL
    qint64 processId() const { return m_process.processId(); }

    quint16 tcpPort() const { return m_tcpPort; }
    QString tcpText() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(m_tcpPort); }
    QString rfc2217Text() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(m_rfc2217Port); }
    QString errorText() const { return m_error; }

private:
    bool fail(const QString& why);
    bool launch(int timeoutMs);
    QString configPath() const { return m_dir.filePath(QStringLiteral("ser2net.yaml")); }

    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_tcpPort = 0, m_rfc2217Port = 0;
    QString m_error;
    bool m_defaultOptions = false;
};

} // namespace zeltest
