// The status server and the alerts under load.
//
// http_clients_16_cpu_per_wall_s: the server fed 96 readings a second (with
// a flasher episode starting every second and ending half a second later) while 16 WebSocket clients in a
// second process take its updates; the CPU seconds this process spends per wall second.
// http_clients_0_cpu_per_wall_s is the same feed without clients, http_updates_per_client_per_s what each
// client received.
//
// alert_latency_ms: from the end of an alarm's on-delay to the alert
// command started and the webhook request received by a local HTTP server,
// the worst of all samples and both channels; _median alongside.
//
// Usage: zel-webbench [--seconds N] [--samples N]
//        zel-webbench --clients PORT COUNT SECONDS   (the client side)
#include "core/outputs/alerts/alertmanager.h"
#include "core/outputs/web/statusserver.h"

#include "benchsupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

const QString Id = QStringLiteral("m1");

// Runs the event loop (asleep between events) until done() or the timeout.
void waitUntil(const std::function<bool()>& done, int timeoutMs) {
    if (done()) return;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done()) loop.quit();
    });
    check.start(5);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
}

int runClients(quint16 port, int count, int seconds) {
    std::vector<std::unique_ptr<QWebSocket>> sockets;
    long messages = 0;
    for (int i = 0; i < count; ++i) {
        auto s = std::make_unique<QWebSocket>();
        QObject::connect(s.get(), &QWebSocket::textMessageReceived, [&messages] { ++messages; });
        s->open(QUrl(QString("ws://127.0.0.1:%1/ws").arg(port)));
        sockets.push_back(std::move(s));
    }
    // The count so far, every second: the feeding side reads the last one.
    QTimer report;
    QObject::connect(&report, &QTimer::timeout, [&messages] {
        std::printf("messages: %ld\n", messages);
        std::fflush(stdout);
    });
    report.start(1000);
    QTimer::singleShot(seconds * 1000, qApp, &QCoreApplication::quit);
    return QCoreApplication::exec();
}

// Feeds `server` 96 readings a second for `seconds`; CPU per wall second.
double feed(zel::StatusServer& server, int seconds) {
    QElapsedTimer clock;
    clock.start();
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(10);
    qint64 sent = 0;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 due = clock.nsecsElapsed() * 96 / 1'000'000'000;
        for (; sent < due; ++sent) {
            const float pos = float(20 + (sent * 7) % 34);
            const zel::Readings r{pos, float(15 + (sent * 5) % 27), 40};
            server.onReadings(Id, r);
            if (sent % 96 == 0 || sent % 96 == 48)
                server.onEpisode(Id, {zel::AlarmKind::PosVariable, sent % 96 == 0, 0, 0, 1, pos, 100});
        }
    });
    const double cpu0 = bench::cpuSeconds();
    clock.restart();
    tick.start();
    waitUntil([&] { return clock.elapsed() >= seconds * 1000; }, seconds * 1000 + 5000);
    const double wall = clock.nsecsElapsed() / 1e9;
    return (bench::cpuSeconds() - cpu0) / wall;
}

void webFigures(int seconds) {
    zel::StatusServer server;
    if (!server.listen(QHostAddress::LocalHost, 0)) {
        std::fprintf(stderr, "%s\n", qPrintable(server.errorString()));
        return;
    }
    server.addMonitor(Id, QStringLiteral("bench"), QStringLiteral("SIM"));
    server.onLinkStatus(Id, {zel::LinkState::Connected, {}, false, {}});
    bench::figure("http_clients_0_cpu_per_wall_s", feed(server, std::max(2, seconds / 2)), 4);

    QProcess clients;
    clients.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    clients.start(QCoreApplication::applicationFilePath(),
                  {"--clients", QString::number(server.serverPort()), "16", QString::number(seconds + 20)});
    waitUntil([&] { return server.clientCount() == 16; }, 20000);
    if (server.clientCount() != 16) {
        std::fprintf(stderr, "only %d clients attached\n", server.clientCount());
        return;
    }
    auto received = [&clients] {
        const QList<QByteArray> lines = clients.readAllStandardOutput().trimmed().split('\n');
        return lines.last().mid(10).toLong();
    };
    waitUntil([] { return false; }, 1100);
    const long before = received();
    QElapsedTimer wall;
    wall.start();
    bench::figure("http_clients_16_cpu_per_wall_s", feed(server, seconds), 4);
    waitUntil([] { return false; }, 1100);
    const long messages = received() - before;
    const double span = wall.elapsed() / 1000.0;
    clients.terminate();
    clients.waitForFinished(30000);
    bench::figure("http_updates_per_client_per_s", double(messages) / 16 / span, 1);
}

void alertFigures(int samples) {
    QTcpServer hook;
    hook.listen(QHostAddress::LocalHost, 0);
    qint64 hookArrival = -1;
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&hook, &QTcpServer::newConnection, [&] {
        while (QTcpSocket* s = hook.nextPendingConnection()) {
            QObject::connect(s, &QTcpSocket::readyRead, s, [&, s] {
                const QByteArray data = s->readAll();
                if (hookArrival < 0 && data.contains("\r\n\r\n")) hookArrival = clock.nsecsElapsed();
                s->write("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
            });
            QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        }
    });
    zel::AlertManager alerts;
    zel::AlertSettings settings;
    settings.onDelayS = 1;
    settings.offDelayS = 0;
    settings.command = "true";
    settings.webhookUrl = QString("http://127.0.0.1:%1/hook").arg(hook.serverPort());
    alerts.setSettings(settings);
    qint64 commandStarted = -1;
    QObject::connect(&alerts, &zel::AlertManager::dispatched, [&](const QString& via) {
        if (via == u"command" && commandStarted < 0) commandStarted = clock.nsecsElapsed();
    });
    std::vector<double> command, webhook;
    for (int i = 0; i < samples; ++i) {
        commandStarted = hookArrival = -1;
        const qint64 onAt = clock.nsecsElapsed();
        alerts.onAlarmEvent({zel::AlarmKind::Carrier, true, QDateTime::currentMSecsSinceEpoch(), {}});
        const qint64 delayEnd = onAt + qint64(settings.onDelayS) * 1'000'000'000;
        waitUntil([&] { return commandStarted >= 0 && hookArrival >= 0; }, 10000);
        if (commandStarted < 0 || hookArrival < 0) {
            std::fprintf(stderr, "alert sample %d: no command or no webhook\n", i);
            continue;
        }
        command.push_back((commandStarted - delayEnd) / 1e6);
        webhook.push_back((hookArrival - delayEnd) / 1e6);
        alerts.onAlarmEvent({zel::AlarmKind::Carrier, false, QDateTime::currentMSecsSinceEpoch(), {}});
        waitUntil([] { return false; }, 300); // the "off" goes out and its command ends
    }
    if (command.empty()) return;
    std::vector<double> all = command;
    all.insert(all.end(), webhook.begin(), webhook.end());
    bench::figure("alert_latency_command_median_ms", bench::percentile(command, 50));
    bench::figure("alert_latency_webhook_median_ms", bench::percentile(webhook, 50));
    bench::figure("alert_latency_ms", *std::max_element(all.begin(), all.end()));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 5 && args[1] == u"--clients")
        return runClients(quint16(args[2].toUInt()), args[3].toInt(), args[4].toInt());
    int seconds = 10;
    int samples = 10;
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == u"--seconds") seconds = std::max(2, args[i + 1].toInt());
        if (args[i] == u"--samples") samples = std::max(1, args[i + 1].toInt());
    }
    webFigures(seconds);
    alertFigures(samples);
    return 0;
}
