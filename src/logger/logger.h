#pragma once
// zel-logger's output: every event of a station's monitors printed as a line
// "<local time> <monitor> <event> [key=value ...]" on standard output. The
// monitor is its id for a configured monitor, the port text for a --port one.
#include <QObject>
#include <QTextStream>

namespace zel {

class Station;

class Logger : public QObject {
    Q_OBJECT
public:
    Logger(QTextStream& out, Station* station, QObject* parent = nullptr);

    void setPrintReadings(bool on) { m_readings = on; }
    // Prints a line of the logger's own ("history-problem", "alert-sent").
    void print(const QString& monitor, const QString& event);

private:
    QTextStream& m_out;
    bool m_readings = false;
};

} // namespace zel
