// zel-logger: the monitoring core without a window, for a site PC or a
// server that watches one or more monitors around the clock.
#include "core/outputs/alerts/alertmanager.h"
#include "core/outputs/alerts/alertsettings.h"
#include "core/outputs/central/centralreader.h"
#include "core/outputs/history/csvexport.h"
#include "core/outputs/history/historystore.h"
#include "core/outputs/web/statusserver.h"
#include "core/session/eventloop.h"
#include "core/station/station.h"
#include "core/station/stationfile.h"
#include "core/transport/transportfactory.h"
#include "logger/compliancetask.h"
#include "logger/logger.h"
#include "logger/recordtasks.h"
#include "logger/sdnotify.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QSettings>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char c = 1;
    [[maybe_unused]] const auto n = ::write(signalPipe[1], &c, 1);
}

const char* const EventHelp = R"(
Each line: <local time, ISO 8601 with milliseconds and offset> <port> <event> [key=value ...]
Readings are bar positions 0-55 (position p is 2p + 20 percent).
Events:
  link STATE [detail="..."]   the link's state: off-line, initializing, dialing,
                              connected, busy, no-dial-tone, hanging-up,
                              reconnecting; detail: the modem's words or a reason
  port-error reason="..."     the port could not be opened or failed
  carrier-alarm on|off        the carrier left / came back into its window
  audio-loss on|off           both peaks silent for 15 s / audio again
  pos125 on|off, neg100 on|off           the +125 % / -100 % flashers
  pos-variable on|off, neg-variable on|off   the variable-threshold flashers
  reading pos=N neg=N carrier=N  (with --readings) every decoded packet
  rejected                       (with --readings) a reply that held no valid packet
  link-lost on|off               an established link was lost / is back
  no-data on|off                 no valid packet for 5 s while connected / data again
  alert-sent event=E state=S via=command|webhook, alert-failed what="..." reason="..."
  history-problem reason="..."   the history file could not be used (named, with why)
  snmp-problem reason="..."      the SNMP master agent is missing or went away (said once)
  status-page-problem reason="..."  the status page could not listen
  central-problem reason="..."   the central database cannot be used (said once
                                 per outage); recording goes on locally
  central-online detail="..."    forwarding works again after a problem
Alarm and reading lines carry pos=, neg= and carrier= of the moment.
A port that cannot be opened, or a first dial that fails, is tried again after
1, 2, 4 ... 30 s, as a lost link is.
Exit status: 0 after --for or on SIGINT/SIGTERM; 1 when the history named by
--export or --compliance cannot be read; 2 for a port text that names no
port, a bad config file or a bad option. --annotate, --sign-off: 0 written,
1 refused. --verify: 0 intact, 1 broken (the first row that breaks the chain
is named).
)";

} // namespace

int main(int argc, char** argv) {
    zel::preferLeanEventLoop();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zel-logger"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZEL_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Watches modulation monitors without a window and prints what happens.") +
        QString::fromLatin1(EventHelp));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption portOption(
        QStringLiteral("port"),
        QStringLiteral("A monitor to watch (repeatable): COM n, a device path, a short name such as USB0, "
                       "tcp://HOST:PORT, rfc2217://HOST:PORT, or SIM. "
                       "Without it, the saved connection settings (modem dialling included)."),
        QStringLiteral("TEXT"));
    const QCommandLineOption forOption(QStringLiteral("for"), QStringLiteral("End after SECONDS."),
                                       QStringLiteral("SECONDS"));
    const QCommandLineOption readingsOption(QStringLiteral("readings"),
                                            QStringLiteral("Print every decoded packet."));
    const QCommandLineOption historyOption(
        QStringLiteral("history"),
        QStringLiteral("Record into FILE (default: %1). With --export, FILE may be the central record's "
                       "postgresql:// URL.")
            .arg(zel::HistoryStore::defaultPath()),
        QStringLiteral("FILE"));
    const QCommandLineOption centralOption(
        QStringLiteral("central"),
        QStringLiteral("Forward the record and the live state to the central database at URL "
                       "(postgresql://user@host:port/db; the password from ~/.pgpass)."),
        QStringLiteral("URL"));
    const QCommandLineOption siteOption(
        QStringLiteral("site"), QStringLiteral("With a postgresql:// --history: site ID's record only."),
        QStringLiteral("ID"));
    const QCommandLineOption monitorOption(
        QStringLiteral("monitor"),
        QStringLiteral("Export the rows of monitor ID only; the monitor --compliance is "
                       "about (needed when the record holds several)."),
        QStringLiteral("ID"));
    const QCommandLineOption noHistoryOption(QStringLiteral("no-history"), QStringLiteral("Record nothing."));
    const QCommandLineOption exportOption(
        QStringLiteral("export"),
        QStringLiteral(
            "Write the history's events, minutes or notes as CSV to --output, without connecting."),
        QStringLiteral("events|minutes|notes"));
    const QCommandLineOption outputOption(QStringLiteral("output"),
                                          QStringLiteral("The CSV file (- for standard output)."),
                                          QStringLiteral("FILE"));
    const QCommandLineOption fromOption(
        QStringLiteral("from"), QStringLiteral("Export from TIME (ISO 8601, local unless it has an offset)."),
        QStringLiteral("TIME"));
    const QCommandLineOption toOption(QStringLiteral("to"), QStringLiteral("Export up to TIME."),
                                      QStringLiteral("TIME"));
    const QCommandLineOption alertCommandOption(
        QStringLiteral("alert-command"),
        QStringLiteral("Run CMD for each alert (no shell unless CMD starts one), with ZEL_EVENT, ZEL_STATE, "
                       "ZEL_PORT, ZEL_TIME, ZEL_POS, ZEL_NEG, ZEL_CARRIER in its environment."),
        QStringLiteral("CMD"));
    const QCommandLineOption webhookFileOption(
        QStringLiteral("webhook-file"),
        QStringLiteral("POST each alert to the URL on FILE's first line (keeps a secret URL out of ps)."),
        QStringLiteral("FILE"));
    const QCommandLineOption httpTokenFileOption(
        QStringLiteral("http-token-file"),
        QStringLiteral("The status page's access token, from FILE's first line (keeps it out of ps)."),
        QStringLiteral("FILE"));
    const QCommandLineOption agentxOption(
        QStringLiteral("agentx"),
        QStringLiteral("Serve the monitors' MIB through the snmpd master agent at SOCKET (a path, or "
                       "tcp:HOST:PORT), and send its notifications."),
        QStringLiteral("SOCKET"));
    const QCommandLineOption webhookOption(
        QStringLiteral("webhook"), QStringLiteral("POST each alert as JSON to URL."), QStringLiteral("URL"));
    const QCommandLineOption alertDelayOption(
        QStringLiteral("alert-delay"),
        QStringLiteral(
            "Seconds an alarm must last before it is sent, and its end before that is (default 10,30)."),
        QStringLiteral("ON[,OFF]"));
    const QCommandLineOption testAlertOption(
        QStringLiteral("test-alert"), QStringLiteral("Send one test alert by the configured ways and end."));
    const QCommandLineOption httpOption(
        QStringLiteral("http"),
        QStringLiteral("Serve the live status page on ADDR:PORT (127.0.0.1 unless named; another address "
                       "needs --http-token)."),
        QStringLiteral("ADDR:PORT"));
    const QCommandLineOption httpTokenOption(QStringLiteral("http-token"),
                                             QStringLiteral("The status page's access token."),
                                             QStringLiteral("TOKEN"));
    const QCommandLineOption configOption(
        QStringLiteral("config"),
        QStringLiteral("Read the site, its monitors and the outputs from FILE (INI: [site], [monitor.ID], "
                       "[history], [alerts], [http]). --port monitors are added to its monitors."),
        QStringLiteral("FILE"));
    parser.addOptions(
        {configOption,       portOption,        forOption,           readingsOption,  historyOption,
         noHistoryOption,    exportOption,      outputOption,        fromOption,      toOption,
         alertCommandOption, webhookOption,     alertDelayOption,    testAlertOption, httpOption,
         httpTokenOption,    webhookFileOption, httpTokenFileOption, agentxOption,    centralOption,
         siteOption,         monitorOption});
    parser.addOptions(zel::complianceOptions());
    const QCommandLineOption annotateOption(
        QStringLiteral("annotate"),
        QStringLiteral("Add an operator's note (--by, --text) to the event with id EVENT-ID, and end."),
        QStringLiteral("EVENT-ID"));
    const QCommandLineOption signOffOption(
        QStringLiteral("sign-off"),
        QStringLiteral("--sign-off FROM TO --by NAME [--text TEXT]: record the review of a period (dates: "
                       "whole local days, TO included), and end."),
        QStringLiteral("FROM"));
    const QCommandLineOption byOption(
        QStringLiteral("by"), QStringLiteral("Who writes the note or sign-off."), QStringLiteral("NAME"));
    const QCommandLineOption textOption(
        QStringLiteral("text"), QStringLiteral("The note's or sign-off's text."), QStringLiteral("TEXT"));
    const QCommandLineOption verifyOption(QStringLiteral("verify"),
                                          QStringLiteral("Check the history's hash chain, and end."));
    parser.addOptions({annotateOption, signOffOption, byOption, textOption, verifyOption});
    if (!parser.parse(app.arguments())) {
        std::fprintf(stderr, "zel-logger: %s\n", qPrintable(parser.errorText()));
        return 2;
    }
    if (parser.isSet(QStringLiteral("help"))) parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version"))) parser.showVersion();

    double seconds = -1;
    if (parser.isSet(forOption)) {
        bool ok = false;
        seconds = parser.value(forOption).toDouble(&ok);
        if (!ok || seconds < 0) {
            std::fprintf(stderr, "zel-logger: --for takes a number of seconds, not \"%s\"\n",
                         qPrintable(parser.value(forOption)));
            return 2;
        }
    }

    auto fail = [](const QString& why) {
        std::fprintf(stderr, "zel-logger: %s\n", qPrintable(why));
        return 2;
    };

    if (parser.isSet(QStringLiteral("compliance"))) return zel::runComplianceTask(parser);

    // The history: recorded by default, exported on request.
    const QString historyPath =
        parser.isSet(historyOption) ? parser.value(historyOption) : zel::HistoryStore::defaultPath();
    const auto given = [&parser](const QCommandLineOption& o) {
        return parser.isSet(o) ? parser.value(o) : QString();
    };
    if (parser.isSet(annotateOption))
        return zel::annotateRecord(historyPath, parser.value(annotateOption), given(byOption),
                                   given(textOption));
    if (parser.isSet(signOffOption))
        return zel::signOffRecord(historyPath, parser.value(signOffOption),
                                  parser.positionalArguments().value(0), given(byOption), given(textOption));
    if (parser.isSet(verifyOption)) return zel::verifyRecord(historyPath, parser.value(siteOption));
    if (parser.isSet(exportOption)) {
        zel::CsvTable table;
        if (!zel::parseCsvTable(parser.value(exportOption), &table))
            return fail(QStringLiteral("--export takes events, minutes or notes"));
        if (!parser.isSet(outputOption)) return fail(QStringLiteral("--export needs --output FILE"));
        qint64 from = 0, to = std::numeric_limits<qint64>::max() / 2;
        if (parser.isSet(fromOption) && !zel::parseTimeArgument(parser.value(fromOption), &from))
            return fail(QStringLiteral("--from: not a time: %1").arg(parser.value(fromOption)));
        if (parser.isSet(toOption) && !zel::parseTimeArgument(parser.value(toOption), &to))
            return fail(QStringLiteral("--to: not a time: %1").arg(parser.value(toOption)));
        zel::HistoryStore store;
        QObject::connect(&store, &zel::HistoryStore::problem,
                         [](const QString& m) { std::fprintf(stderr, "zel-logger: %s\n", qPrintable(m)); });
        QString error;
        if (zel::isCentralUrl(historyPath)) {
            if (!zel::openCentralHistory(store, historyPath, parser.value(siteOption), nullptr, &error)) {
                std::fprintf(stderr, "zel-logger: %s\n", qPrintable(error));
                return 1;
            }
        } else if (parser.isSet(siteOption)) {
            return fail(QStringLiteral("--site goes with a postgresql:// --history"));
        } else if (!store.open(historyPath)) {
            return 1;
        }
        if (!zel::exportCsv(store, table, parser.value(outputOption), from, to, parser.value(monitorOption),
                            &error)) {
            std::fprintf(stderr, "zel-logger: %s\n", qPrintable(error));
            return 1;
        }
        return 0;
    }

    zel::StationConfig config;
    config.unattended = true;
    if (parser.isSet(configOption)) {
        QStringList warnings;
        QString error;
        const bool ok = zel::readStationFile(parser.value(configOption), &config, &warnings, &error);
        for (const QString& w : warnings)
            std::fprintf(stderr, "zel-logger: warning: %s\n", qPrintable(w));
        if (!ok) return fail(error);
    } else {
        QSettings conf(zel::SettingsStore::confPath(), QSettings::IniFormat);
        config.alerts.load(conf);
    }
    for (const QCommandLineOption* exportOnly : {&siteOption, &monitorOption})
        if (parser.isSet(*exportOnly))
            return fail(QStringLiteral("--%1 goes with --export, --compliance or --verify")
                            .arg(exportOnly->names().first()));
    if (zel::isCentralUrl(historyPath))
        return fail(QStringLiteral("--history records into a file; --central URL forwards the record"));
    if (parser.isSet(historyOption)) config.history.path = historyPath;
    if (parser.isSet(centralOption)) config.central.url = parser.value(centralOption);
    if (parser.isSet(noHistoryOption)) config.history.enabled = false;
    zel::AlertSettings& alerts = config.alerts;
    if (parser.isSet(alertCommandOption)) alerts.command = parser.value(alertCommandOption);
    if (parser.isSet(webhookOption)) alerts.webhookUrl = parser.value(webhookOption);
    if (parser.isSet(webhookFileOption)) {
        QString why;
        if (!alerts.loadWebhookFile(parser.value(webhookFileOption), &why))
            return fail(QStringLiteral("--webhook-file: ") + why);
        if (!why.isEmpty()) std::fprintf(stderr, "zel-logger: warning: %s\n", qPrintable(why));
    }
    if (QString why; !zel::AlertSettings::checkCommand(alerts.command, &why)) return fail(why);
    if (parser.isSet(alertDelayOption)) {
        QString error;
        if (!alerts.parseDelays(parser.value(alertDelayOption), &error))
            return fail(QStringLiteral("--alert-delay: ") + error);
    }
    if (const QString problem = alerts.webhookProblem(); !problem.isEmpty()) return fail(problem);
    if (parser.isSet(httpOption)) {
        const QString spec = parser.value(httpOption);
        const int colon = spec.lastIndexOf(u':');
        bool ok = false;
        const uint port = spec.mid(colon + 1).toUInt(&ok);
        QString host = colon > 0 ? spec.left(colon) : QStringLiteral("127.0.0.1");
        if (host.startsWith(u'[') && host.endsWith(u']')) host = host.mid(1, host.size() - 2);
        const QHostAddress address(host);
        if (!ok || port < 1 || port > 65535 || address.isNull())
            return fail(
                QStringLiteral("--http takes ADDR:PORT, such as 127.0.0.1:8080, not \"%1\"").arg(spec));
        config.http.enabled = true;
        config.http.address = address;
        config.http.port = quint16(port);
    }
    if (parser.isSet(agentxOption)) config.snmp.agentx = parser.value(agentxOption);
    if (parser.isSet(httpTokenOption)) config.http.token = parser.value(httpTokenOption);
    if (parser.isSet(httpTokenFileOption)) {
        QString why;
        if (!zel::StatusServer::readSecretFile(parser.value(httpTokenFileOption), &config.http.token, &why))
            return fail(QStringLiteral("--http-token-file: ") + why);
        if (!why.isEmpty()) std::fprintf(stderr, "zel-logger: warning: %s\n", qPrintable(why));
    }

    for (const QString& port : parser.values(portOption)) {
        QString error;
        if (!zel::isPortText(port, &error)) return fail(error);
        config.monitors.append(zel::monitorForPort(port));
    }
    if (config.monitors.isEmpty()) {
        const zel::SettingsStore::Loaded loaded = zel::SettingsStore::load();
        if (!loaded.settings)
            std::fprintf(stderr, "zel-logger: %s; using the defaults\n", qPrintable(loaded.problem));
        zel::Settings saved;
        saved.connection = loaded.settings.value_or(zel::Settings{}).connection;
        zel::MonitorConfig m = zel::monitorForPort(
            (saved.connection.modemLink ? saved.connection.modemPort : saved.connection.directPort)
                .trimmed());
        m.settings = saved;
        config.monitors.append(m);
    }

    // Signals reach the event loop through a pipe: nothing else is safe in a
    // signal handler.
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        QSocketNotifier* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });
        struct sigaction sa {};
        sa.sa_handler = onSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        ::sigaction(SIGINT, &sa, nullptr);
        ::sigaction(SIGTERM, &sa, nullptr);
    }

    QTextStream out(stdout);
    if (parser.isSet(testAlertOption)) {
        // One test alert by every way configured; ends when each has answered.
        int waiting = int(!alerts.command.isEmpty()) + int(!alerts.webhookUrl.isEmpty());
        if (waiting == 0) return fail(QStringLiteral("--test-alert needs --alert-command or --webhook"));
        config.history.enabled = false;
        config.http.enabled = false;
        config.snmp.agentx.clear();
        zel::Station station(config);
        zel::Logger logger(out, &station);
        int status = 0;
        auto done = [&] {
            if (--waiting == 0) QCoreApplication::exit(status);
        };
        QObject::connect(&station, &zel::Station::alertSent, &app,
                         [&](int, const QString&, const QString&, const QString&) { done(); });
        QObject::connect(&station, &zel::Station::alertFailed, &app,
                         [&](int, const QString&, const QString&) {
                             status = 1;
                             done();
                         });
        station.alerts(0)->sendTestAlert();
        return app.exec();
    }

    zel::Station station(config);
    zel::Logger logger(out, &station);
    logger.setPrintReadings(parser.isSet(readingsOption));
    station.openOutputs();

    if (seconds >= 0) QTimer::singleShot(qint64(seconds * 1000), &app, [] { QCoreApplication::quit(); });
    // Unattended, a port that cannot be opened is tried again like a lost
    // link, so the logger does not end for it.
    station.start();
    // Under systemd (Type=notify): ready now that the monitors are set up;
    // the watchdog is fed from the event loop.
    auto* notify = new zel::SdNotify(&app);
    notify->ready();
    notify->startWatchdog();
    const int status = app.exec();
    station.stop();
    out.flush();
    return status;
}
