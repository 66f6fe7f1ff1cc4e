#pragma once
// Runs zel-monitor-sim for a test: starts it with arguments,
// reads the device path from its first line of output, follows the new paths
// it prints when its device vanishes, and stops it.
#include <QObject>
#include <QProcess>
#include <QStringList>

namespace zeltest {

class SimProcess : public QObject {
    Q_OBJECT
public:
    explicit SimProcess(QObject* parent = nullptr);
    ~SimProcess() override; // stops the simulator

    // The simulator's executable.
    static QString program();

    // Starts it and waits (blocking, up to `timeoutMs`) for the device path.
    // On failure returns false; errorText() says why.
    bool start(const QStringList& arguments = {}, int timeoutMs = 10000);
    // Ends it (SIGTERM, then kill); waits for it.
    void stop();
    bool isRunning() const;

    // The latest device path, and every one printed so far (more than one
    // after --vanish-after). Updated from the event loop.
    QString devicePath() const { return m_paths.isEmpty() ? QString() : m_paths.last(); }
    QStringList paths() const { return m_paths; }
    QString errorText() const { return m_error; }
    QProcess* process() { return &m_process; }

private:
    void readLines();

    QProcess m_process;
    QByteArray m_partial;
    QStringList m_paths;
    QString m_error;
};

} // namespace zeltest
