// The SNMP subagent and the Prometheus text with 64 monitors.
//
// snmp_walk_ms_64: a whole walk of the table (64 rows, 21 columns) through
// snmpd as AgentX master, by snmpwalk (one GETNEXT per value; the process's
// own start included), median of the rounds; snmp_bulkwalk_ms_64 the same
// by snmpbulkwalk (GETBULK, what an NMS uses with v2c).
// snmp_trap_latency_ms: from notify() to snmptrapd's line of it read back
// here, the worst of the samples; _median alongside.
// metrics_scrape_ms_64: building the /metrics text for 64 monitors, median.
//
// Usage: zel-snmpbench [--rounds N] [--samples N]
#include "core/outputs/metrics/metrics.h"
#include "core/outputs/snmp/snmpagent.h"
#include "snmp/snmpdaemons.h"

#include "benchsupport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <vector>

using namespace zel;

namespace {

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

int fail(const QString& why) {
    std::fprintf(stderr, "zel-snmpbench: %s\n", qPrintable(why));
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int rounds = 5, samples = 20;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == QLatin1String("--rounds"))
            rounds = qMax(1, args[i + 1].toInt());
        else if (args[i] == QLatin1String("--samples"))
            samples = qMax(1, args[i + 1].toInt());
    }
    constexpr int Monitors = 64;

    // The text first: it needs nothing else.
    MetricsSnapshot snapshot;
    snapshot.siteId = QStringLiteral("north");
    snapshot.version = QStringLiteral(ZEL_VERSION);
    for (int i = 0; i < Monitors; ++i) {
        MetricsMonitor m;
        m.id = QStringLiteral("monitor-%1").arg(i + 1);
        m.name = QStringLiteral("WZEL %1 AM").arg(530 + 10 * i);
        m.linkState = LinkState::Connected;
        m.lastPacketMs = QDateTime::currentMSecsSinceEpoch();
        m.readings = {float(i % 55), 30, 40};
        m.packets = 1'000'000ULL * quint64(i);
        snapshot.monitors.append(m);
    }
    std::vector<double> build;
    qsizetype bytes = 0;
    for (int r = 0; r < 200; ++r) {
        QElapsedTimer t;
        t.start();
        bytes = metricsText(snapshot).size();
        build.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    bench::figure("metrics_scrape_ms_64", median(build), 3);
    bench::figure("metrics_bytes_64", double(bytes), 0);

    QString missing;
    if (!zeltest::SnmpDaemons::installed(&missing))
        return fail(missing + QStringLiteral(" is not installed"));
    zeltest::SnmpDaemons daemons;
    if (!daemons.startTrapd() || !daemons.startSnmpd()) return fail(daemons.error());
    SnmpAgent agent;
    agent.start(daemons.agentxSocket());
    QElapsedTimer wait;
    wait.start();
    while (!agent.isRegistered() && wait.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10), QThread::msleep(5);
    if (!agent.isRegistered()) return fail(QStringLiteral("the subagent did not register"));

    agent.setMonitorCount(Monitors);
    for (int i = 1; i <= Monitors; ++i) {
        SnmpRow row;
        row.id = snapshot.monitors[i - 1].id;
        row.name = snapshot.monitors[i - 1].name;
        row.port = QStringLiteral("tcp://127.0.0.1:%1").arg(4000 + i);
        row.linkState = LinkState::Connected;
        row.lastPacketMs = QDateTime::currentMSecsSinceEpoch();
        row.packets = quint64(i) * 1000;
        agent.setRow(i, row);
    }
    const QString table = QString::fromLatin1(SnmpAgent::DefaultBaseOid) + QStringLiteral(".1.2");
    for (bool bulk : {false, true}) {
        std::vector<double> walks;
        for (int r = 0; r <= rounds; ++r) { // the first warms up
            QElapsedTimer t;
            t.start();
            const int lines = int(daemons.walk(table, bulk).size());
            if (lines != Monitors * 21)
                return fail(QStringLiteral("a walk gave %1 values: %2").arg(lines).arg(daemons.error()));
            if (r > 0) walks.push_back(double(t.nsecsElapsed()) / 1e6);
        }
        bench::figure(bulk ? "snmp_bulkwalk_ms_64" : "snmp_walk_ms_64", median(walks), 1);
    }

    const QString column = QString::fromLatin1(SnmpAgent::DefaultBaseOid) + QStringLiteral(".1.2.1.2.");
    std::vector<double> latency;
    for (int s = 0; s < samples; ++s) {
        const int index = 1 + s % Monitors;
        SnmpNotification n;
        n.type = s % 2 ? SnmpNotification::Type::AlarmCleared : SnmpNotification::Type::AlarmRaised;
        n.index = index;
        n.alarm = AlarmKind::Carrier;
        n.timeMs = QDateTime::currentMSecsSinceEpoch();
        QThread::msleep(50);
        const qint64 sent = daemons.clock().nsecsElapsed();
        agent.notify(n);
        qint64 received = 0;
        if (!daemons.waitForTrap(column + QString::number(index) + QStringLiteral(" = "), 5000, nullptr,
                                 &received))
            return fail(QStringLiteral("notification %1 did not arrive").arg(s));
        latency.push_back(double(received - sent) / 1e6);
    }
    bench::figure("snmp_trap_latency_ms", *std::max_element(latency.begin(), latency.end()), 2);
    bench::figure("snmp_trap_latency_ms_median", median(latency), 2);
    return 0;
}
