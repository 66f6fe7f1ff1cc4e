#include "core/outputs/metrics/metrics.h"

namespace zel {

namespace {

// A label value with \, " and line breaks escaped as the format asks.
QByteArray escaped(const QString& value) {
    QByteArray out;
    const QByteArray in = value.toUtf8();
    out.reserve(in.size());
    for (char c : in) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

QByteArray ratio(int percent) {
    return QByteArray::number(percent / 100.0, 'g', 6);
}

class Writer {
public:
    explicit Writer(const MetricsSnapshot& s)
        : m_snapshot(s) {
        m_labels.reserve(s.monitors.size());
        for (const auto& m : s.monitors)
            m_labels.append("site=\"" + escaped(s.siteId) + "\",monitor=\"" + escaped(m.id) + "\",name=\"" +
                            escaped(m.name) + '"');
        m_out.reserve(256 + s.monitors.size() * 3072);
    }

    void head(const char* name, const char* type, const char* help) {
        m_out += "# HELP ";
        m_out += name;
        m_out += ' ';
        m_out += help;
        m_out += "\n# TYPE ";
        m_out += name;
        m_out += ' ';
        m_out += type;
        m_out += '\n';
    }

    // One series per monitor; `extra` adds labels after the common ones.
    template <typename F>
    void each(const char* name, const char* type, const char* help, F value, const QByteArray& extra = {}) {
        head(name, type, help);
        for (int i = 0; i < m_snapshot.monitors.size(); ++i)
            line(name, i, extra, value(m_snapshot.monitors[i]));
    }

    void line(const char* name, int i, const QByteArray& extra, const QByteArray& value) {
        m_out += name;
        m_out += '{';
        m_out += m_labels[i];
        m_out += extra;
        m_out += "} ";
        m_out += value;
        m_out += '\n';
    }

    QByteArray& out() { return m_out; }

private:
    const MetricsSnapshot& m_snapshot;
    QList<QByteArray> m_labels;
    QByteArray m_out;
};

QByteArray num(quint64 v) {
    return QByteArray::number(v);
}

} // namespace

QByteArray metricsText(const MetricsSnapshot& s) {
    Writer w(s);
    using M = MetricsMonitor;

    w.head("zel_build_info", "gauge", "The program that answers: 1, with its version and site as labels.");
    w.out() +=
        "zel_build_info{site=\"" + escaped(s.siteId) + "\",version=\"" + escaped(s.version) + "\"} 1\n";
    w.head("zel_monitors", "gauge", "Monitors this program watches.");
    w.out() += "zel_monitors{site=\"" + escaped(s.siteId) + "\"} " + num(quint64(s.monitors.size())) + '\n';

    // Readings, as ratios (1.25 is +125 %).
    w.each("zel_positive_peak_ratio", "gauge", "Last positive peak modulation (1 is 100 %).",
           [](const M& m) { return ratio(positionToPercent(m.readings.posPeak)); });
    w.each("zel_negative_peak_ratio", "gauge", "Last negative peak modulation (1 is 100 %).",
           [](const M& m) { return ratio(positionToPercent(m.readings.negPeak)); });
    w.each("zel_carrier_ratio", "gauge", "Last carrier level (1 is the 0 dB reference).",
           [](const M& m) { return ratio(positionToPercent(m.readings.carrierLevel)); });
    w.head("zel_last_packet_timestamp_seconds", "gauge", "When the last valid packet arrived (Unix time).");
    for (int i = 0; i < s.monitors.size(); ++i)
        if (s.monitors[i].lastPacketMs >= 0)
            w.line("zel_last_packet_timestamp_seconds", i, {},
                   QByteArray::number(double(s.monitors[i].lastPacketMs) / 1000.0, 'f', 3));

    // The link's state: 1 for the state it is in, 0 for the others.
    w.head("zel_link_state", "gauge", "The link to the instrument: 1 for its current state.");
    for (int st = int(LinkState::OffLine); st <= int(LinkState::Reconnecting); ++st) {
        const QByteArray extra = QByteArray(",state=\"") + linkStateName(LinkState(st)) + '"';
        for (int i = 0; i < s.monitors.size(); ++i)
            w.line("zel_link_state", i, extra, int(s.monitors[i].linkState) == st ? "1" : "0");
    }

    w.head("zel_alarm", "gauge", "Whether the alarm is raised (1) or clear (0), after the alert delays.");
    for (int k = int(AlarmKind::Carrier); k <= int(AlarmKind::LinkLost); ++k) {
        const QByteArray extra = QByteArray(",alarm=\"") + alarmKindName(AlarmKind(k)) + '"';
        for (int i = 0; i < s.monitors.size(); ++i)
            w.line("zel_alarm", i, extra, s.monitors[i].alarms[size_t(k)] ? "1" : "0");
    }

    w.head("zel_threshold_ratio", "gauge", "Threshold of the variable peak flashers (1 is 100 %).");
    for (int i = 0; i < s.monitors.size(); ++i) {
        w.line("zel_threshold_ratio", i, ",flasher=\"positive\"", ratio(s.monitors[i].posThreshold));
        w.line("zel_threshold_ratio", i, ",flasher=\"negative\"", ratio(s.monitors[i].negThreshold));
    }

    w.each("zel_packets_total", "counter", "Valid packets received from the instrument.",
           [](const M& m) { return num(m.packets); });
    w.each("zel_rejected_packets_total", "counter", "Replies that held no valid packet.",
           [](const M& m) { return num(m.rejectedPackets); });
    w.head("zel_episodes_total", "counter", "Episodes past +125 % (pos125) and past -100 % (neg100).");
    for (int i = 0; i < s.monitors.size(); ++i) {
        w.line("zel_episodes_total", i, ",kind=\"pos125\"", num(s.monitors[i].pos125Episodes));
        w.line("zel_episodes_total", i, ",kind=\"neg100\"", num(s.monitors[i].neg100Episodes));
    }
    w.each("zel_link_losses_total", "counter", "Times an established link was lost.",
           [](const M& m) { return num(m.linkLosses); });
    w.each("zel_alerts_sent_total", "counter", "Alerts that went out.",
           [](const M& m) { return num(m.alertsSent); });
    w.each("zel_alerts_failed_total", "counter", "Alerts that could not be sent.",
           [](const M& m) { return num(m.alertsFailed); });
    return w.out();
}

} // namespace zel
