#include "logger/logger.h"

#include "core/session/monitorsession.h"
#include "core/station/station.h"
#include "core/types/text.h"

#include <QDateTime>

namespace zel {

namespace {

// Far-end text (the modem's words, a server's goodbye) never reaches the
// terminal raw: control characters are shown escaped.
QString quoted(const QString& text) {
    QString t = escapeControl(text);
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

Logger::Logger(QTextStream& out, Station* station, QObject* parent)
    : QObject(parent)
    , m_out(out) {
    for (int i = 0; i < station->monitorCount(); ++i) {
        MonitorSession* s = station->session(i);
        const QString label = station->label(i);
        connect(s, &MonitorSession::linkEvent, this, [this, label](const LinkEvent& e) {
            QString line = QStringLiteral("link ") + QLatin1String(linkStateName(e.state));
            if (!e.detail.isEmpty()) line += QStringLiteral(" detail=") + quoted(e.detail);
            print(label, line);
        });
        // The poll's depth whenever it leaves or changes from the two requests
        // of a near line (not for every new measurement of the round trip):
        // "link connected depth=8 rtt=52.3ms".
        connect(s, &MonitorSession::pollStatsChanged, this,
                [this, label, s, depth = 2](int d, double rtt) mutable {
                    if (d == depth || rtt < 0 || s->linkState() != LinkState::Connected) return;
                    depth = d;
                    print(label, QStringLiteral("link connected ") + pollStatsText(d, rtt));
                });
        connect(s, &MonitorSession::portError, this, [this, label](const QString&, const QString& reason) {
            print(label, QStringLiteral("port-error reason=") + quoted(reason));
        });
        connect(s, &MonitorSession::alarmEvent, this, [this, label](const AlarmEvent& e) {
            print(label, QLatin1String(alarmKindName(e.kind)) +
                             (e.on ? QStringLiteral(" on ") : QStringLiteral(" off ")) +
                             readingFields(e.readings));
        });
        connect(s, &MonitorSession::readingsReceived, this, [this, label](const Readings& r) {
            if (m_readings) print(label, QStringLiteral("reading ") + readingFields(r));
        });
        connect(s, &MonitorSession::packetRejected, this, [this, label] {
            if (m_readings) print(label, QStringLiteral("rejected"));
        });
    }
    connect(station, &Station::problem, this, [this](const QString& kind, const QString& m) {
        const QString event = kind == QLatin1String("HISTORY")   ? QStringLiteral("history-problem")
                              : kind == QLatin1String("SNMP")    ? QStringLiteral("snmp-problem")
                              : kind == QLatin1String("CENTRAL") ? QStringLiteral("central-problem")
                                                                 : QStringLiteral("status-page-problem");
        print(QStringLiteral("-"), event + QStringLiteral(" reason=") + quoted(m));
    });
    connect(station, &Station::recovered, this, [this](const QString& kind, const QString& m) {
        if (kind == QLatin1String("CENTRAL"))
            print(QStringLiteral("-"), QStringLiteral("central-online detail=") + quoted(m));
    });
    connect(station, &Station::alertSent, this,
            [this, station](int i, const QString& event, const QString& state, const QString& via) {
                print(station->label(i),
                      QStringLiteral("alert-sent event=%1 state=%2 via=%3").arg(event, state, via));
            });
    connect(station, &Station::alertFailed, this,
            [this, station](int i, const QString& what, const QString& reason) {
                print(station->label(i),
                      QStringLiteral("alert-failed what=%1 reason=%2").arg(quoted(what), quoted(reason)));
            });
}

void Logger::print(const QString& monitor, const QString& event) {
    m_out << formatLocalTime(QDateTime::currentMSecsSinceEpoch()) << u' ' << monitor << u' ' << event
          << u'\n';
    m_out.flush();
}

} // namespace zel
