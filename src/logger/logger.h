#pragma once
// zel-logger's work: one MonitorSession per port, each event printed as a
// line "<local time> <port> <event> [key=value ...]" on standard output.
#include <QObject>
#include <QStringList>
#include <QTextStream>
#include <memory>
#include <vector>

#include "core/types/types.h"
#include "core/settings/settings.h"

namespace zel {

class MonitorSession;

class Logger : public QObject {
    Q_OBJECT
public:
    explicit Logger(QTextStream& out, QObject* parent = nullptr);
    ~Logger() override;

    void setPrintReadings(bool on) { m_readings = on; }
    // A session for `settings`, connected at start().
    MonitorSession* addSession(const ConnectionSettings& settings);
    const std::vector<MonitorSession*>& sessions() const { return m_sessions; }
    // Prints a line of the logger's own ("history-problem", "alert-sent").
    void print(const QString& port, const QString& event);
    // Connects every session; false when none could open its port.
    bool start();
    // Closes every port (a modem is hung up) and stops every timer.
    void stop();

private:
    QTextStream& m_out;
    bool m_readings = false;
    std::vector<MonitorSession*> m_sessions;
    int m_failedAtStart = 0;
    bool m_starting = false;
};

} // namespace zel
