#include "logger/logger.h"

#include "core/link/linkcontroller.h"
#include "core/session/monitorsession.h"

#include <QDateTime>

namespace zel {

namespace {

QString quoted(const QString& text) {
    QString t = text;
    t.replace(u'\\', QStringLiteral("\\\\")).replace(u'"', QStringLiteral("\\\"")).replace(u'\n', u' ');
    return u'"' + t + u'"';
}

QString readingFields(const Readings& r) {
    return QStringLiteral("pos=%1 neg=%2 carrier=%3")
        .arg(int(r.posPeak))
        .arg(int(r.negPeak))
        .arg(int(r.carrierLevel));
}

} // namespace

Logger::Logger(QTextStream& out, QObject* parent)
    : QObject(parent)
    , m_out(out) {}

Logger::~Logger() = default;

MonitorSession* Logger::addSession(const ConnectionSettings& settings) {
    auto* s = new MonitorSession(this);
    Settings all;
    all.connection = settings;
    s->applySettings(all);
    const QString port = (settings.modemLink ? settings.modemPort : settings.directPort).trimmed();
    connect(s, &MonitorSession::linkEvent, this, [this, port](const LinkEvent& e) {
        QString line = QStringLiteral("link ") + QLatin1String(linkStateName(e.state));
        if (!e.detail.isEmpty()) line += QStringLiteral(" detail=") + quoted(e.detail);
        print(port, line);
    });
    connect(s, &MonitorSession::portError, this, [this, port](const QString&, const QString& reason) {
        if (m_starting) ++m_failedAtStart;
        print(port, QStringLiteral("port-error reason=") + quoted(reason));
    });
    connect(s, &MonitorSession::alarmEvent, this, [this, port](const AlarmEvent& e) {
        print(port, QLatin1String(alarmKindName(e.kind)) +
                        (e.on ? QStringLiteral(" on ") : QStringLiteral(" off ")) +
                        readingFields(e.readings));
    });
    connect(s, &MonitorSession::readingsReceived, this, [this, port](const Readings& r) {
        if (m_readings) print(port, QStringLiteral("reading ") + readingFields(r));
    });
    connect(s, &MonitorSession::packetRejected, this, [this, port] {
        if (m_readings) print(port, QStringLiteral("rejected"));
    });
    m_sessions.push_back(s);
    return s;
}

bool Logger::start() {
    m_starting = true;
    m_failedAtStart = 0;
    for (MonitorSession* s : m_sessions)
        s->connectLink();
    m_starting = false;
    return m_failedAtStart < int(m_sessions.size());
}

void Logger::stop() {
    for (MonitorSession* s : m_sessions)
        s->shutDown();
    m_out.flush();
}

void Logger::print(const QString& port, const QString& event) {
    m_out << formatLocalTime(QDateTime::currentMSecsSinceEpoch()) << u' ' << port << u' ' << event << u'\n';
    m_out.flush();
}

} // namespace zel
