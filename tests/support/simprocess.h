#pragma once
// Runs zel-monitor-sim; each line it prints is a device path, a new one each
// time its device comes back after vanishing.
#include <QProcess>
#include <QStringList>

namespace zeltest {

// A stand-in script (--script) in `folder`: `packets` replies with the
// carrier in its window, as many below it (a carrier alarm), then in it
// again. Its path.
QString writeCarrierDipScript(const QString& folder, int packets);

class SimProcess {
public:
    SimProcess();
    ~SimProcess() { stop(); }
    // Waits up to `timeoutMs` for the first device path; false with errorText() saying why.
    bool start(const QStringList& arguments = {}, int timeoutMs = 10000);
    void stop();
    QString devicePath() const { return m_paths.value(m_paths.size() - 1); }
    QStringList paths() const { return m_paths; }
    QString errorText() const { return m_error; }

private:
    QProcess m_process;
    QByteArray m_partial;
    QStringList m_paths;
    QString m_error;
};

} // namespace zeltest
