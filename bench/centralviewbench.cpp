// zel-central with 50 sites of two monitors on a throwaway PostgreSQL 15
// cluster on loopback.
//
// central_dashboard_ms_50: GET /api/sites over a fresh loopback connection,
// as the page's fetch makes it, from the connect to the whole answer read; the median of --requests, with
// _max beside it. central_refresh_ms_50: one read of the database (sites, monitors and live rows in one
// transaction) until the view has the new JSON; the median of
// --refreshes, after the first (which connects). The page is never older than
// this plus the 2 s between reads.
//
// Usage: zel-centralviewbench [--requests N] [--refreshes N]
#include "central/centralservice.h"
#include "central/sitereader.h"
#include "support/pgcluster.h"

#include "benchsupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <cstdio>

namespace {

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// One GET on a new connection; milliseconds to the whole answer, -1 on failure.
double timedGet(quint16 port, const QByteArray& target) {
    QTcpSocket socket;
    QEventLoop loop;
    QByteArray data;
    qsizetype needed = -1;
    QObject::connect(&socket, &QTcpSocket::readyRead, &loop, [&] {
        data += socket.readAll();
        const qsizetype end = data.indexOf("\r\n\r\n");
        if (end >= 0 && needed < 0) {
            const qsizetype at = data.indexOf("Content-Length: ");
            needed = end + 4 + data.mid(at + 16, data.indexOf('\r', at) - at - 16).toLongLong();
        }
        if (needed >= 0 && data.size() >= needed) loop.quit();
    });
    QObject::connect(&socket, &QTcpSocket::disconnected, &loop, &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    QObject::connect(&socket, &QTcpSocket::connected, &loop, [&] {
        socket.write("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    });
    QElapsedTimer clock;
    clock.start();
    socket.connectToHost(QHostAddress::LocalHost, port);
    loop.exec();
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    return needed >= 0 && data.size() >= needed && data.startsWith("HTTP/1.1 200") ? ms : -1;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int requests = 200, refreshes = 30;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--requests") requests = args[i + 1].toInt();
        if (args[i] == "--refreshes") refreshes = args[i + 1].toInt();
    }
    if (zeltest::PgCluster::binDir().isEmpty()) {
        std::fprintf(stderr, "PostgreSQL 15 is not installed\n");
        return 1;
    }
    zeltest::PgCluster pg;
    if (!pg.start() || !pg.createDatabase("central")) {
        std::fprintf(stderr, "%s\n", qPrintable(pg.errorText()));
        return 1;
    }
    zel::CentralConfig config;
    config.databaseUrl = pg.url("central");
    config.httpAddress = QHostAddress(QHostAddress::LocalHost);
    zel::CentralService service(config);
    QString error;
    if (!service.start(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const auto waitRound = [&](int before) {
        QElapsedTimer clock;
        for (clock.start(); service.rounds() <= before && clock.elapsed() < 30000;)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    };
    waitRound(0);
    QStringList sites, monitors, live;
    for (int i = 1; i <= 50; ++i) {
        const QString id = QString("site-%1").arg(i);
        sites << QString("('%1', 'Transmitter site %2', now())").arg(id).arg(i);
        for (int m = 1; m <= 2; ++m) {
            monitors << QString("('%1', 'm%2', 'WZEL %3 AM')").arg(id).arg(m).arg(540 + 10 * i + m);
            live << QString("('%1', 'm%2', 'connected', '%3', 96, 80, 100)")
                        .arg(id)
                        .arg(m)
                        .arg(i % 7 == 0 ? "carrier-alarm" : "");
        }
    }
    if (!pg.exec("central", "INSERT INTO sites VALUES " + sites.join(", ")) ||
        !pg.exec("central", "INSERT INTO monitors VALUES " + monitors.join(", ")) ||
        !pg.exec("central",
                 "INSERT INTO live (site, monitor, link, alarms, pos_pct, neg_pct, carrier_pct) VALUES " +
                     live.join(", "))) {
        std::fprintf(stderr, "%s\n", qPrintable(pg.errorText()));
        return 1;
    }

    // The reader's round timed on its own connection, in this thread, into a
    // view of its own: the service's reader keeps its 2 s rounds meanwhile.
    zel::SiteReader reader(config.databaseUrl);
    zel::SitesView view;
    QObject::connect(&reader, &zel::SiteReader::snapshot,
                     [&view](const zel::CentralSnapshot& s) { view.update(s); });
    std::vector<double> refresh;
    for (int i = 0; i < refreshes + 1; ++i) {
        QElapsedTimer clock;
        clock.start();
        reader.refresh();
        if (i > 0) refresh.push_back(double(clock.nsecsElapsed()) / 1e6); // the first one connects
    }
    if (view.sitesJson().count("\"id\":\"site-") != 50) {
        std::fprintf(stderr, "the reader does not see the 50 sites\n");
        return 1;
    }
    const int before = service.rounds();
    service.refreshNow();
    service.refreshNow();
    waitRound(before + 1);
    if (service.view().sitesJson().count("\"id\":\"site-") != 50) {
        std::fprintf(stderr, "the view does not hold the 50 sites\n");
        return 1;
    }
    std::vector<double> get;
    for (int i = 0; i < requests; ++i) {
        const double ms = timedGet(service.serverPort(), "/api/sites");
        if (ms < 0) {
            std::fprintf(stderr, "GET /api/sites failed\n");
            return 1;
        }
        get.push_back(ms);
    }
    bench::figure("central_dashboard_ms_50", median(get), 3);
    bench::figure("central_dashboard_ms_50_max", *std::max_element(get.begin(), get.end()), 3);
    bench::figure("central_dashboard_bytes_50", double(service.view().sitesJson().size()), 0);
    bench::figure("central_refresh_ms_50", median(refresh), 2);
    service.stop();
    return 0;
}
