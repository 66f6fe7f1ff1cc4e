// zel-central: the group's view. Reads the central database the sites'
// loggers forward to and serves a page and /api/sites of every site.
#include "central/centralconfig.h"
#include "central/centralservice.h"
#include "core/outputs/alerts/alertsettings.h"
#include "core/outputs/central/centraldb.h"
#include "core/outputs/web/statusserver.h"
#include "core/session/eventloop.h"
#include "core/types/text.h"
#include "core/types/types.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char c = 1;
    [[maybe_unused]] const auto n = ::write(signalPipe[1], &c, 1);
}

QString quoted(const QString& value) {
    QString text = zel::escapeControl(value);
    return u'"' + text.replace(u'\\', QStringLiteral("\\\\")).replace(u'"', QStringLiteral("\\\"")) + u'"';
}

const char* const Help = R"(
Each line: <local time, ISO 8601 with milliseconds and offset> <event> [key=value ...]
  serving url=http://ADDR:PORT/          the page and /api/sites are served
  site-stale on|off site=ID name="..." detail="..."
                                         a site's heartbeat is older than the
                                         stale limit / came back
  alert-sent event=site-stale state=S via=command|webhook, alert-failed what="..." reason="..."
  database-problem reason="..."          (standard error) the database cannot be read;
                                         said once per outage, read again every 2 s
  database-back                          it answers again
Exit status: 0 on SIGINT/SIGTERM; 2 for a bad option or config file, an
address it cannot serve, or a database written by a newer program.
)";

} // namespace

int main(int argc, char** argv) {
    zel::preferLeanEventLoop();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zel-central"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZEL_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Serves the group's view of every site from the central database.") +
        QString::fromLatin1(Help));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption configOption(QStringLiteral("config"),
                                          QStringLiteral("Read [central] and [alerts] from an INI file."),
                                          QStringLiteral("FILE"));
    const QCommandLineOption dbOption(
        QStringLiteral("db"),
        QStringLiteral("The central database: postgresql://user@host:port/db[?sslmode=...]; the password "
                       "from ~/.pgpass or PGPASSFILE."),
        QStringLiteral("URL"));
    const QCommandLineOption httpOption(
        QStringLiteral("http"),
        QStringLiteral("Serve the page and API on ADDR:PORT (an address other than loopback needs a token)."),
        QStringLiteral("ADDR:PORT"));
    const QCommandLineOption tokenOption(QStringLiteral("http-token"),
                                         QStringLiteral("The access token (visible in ps: prefer the file)."),
                                         QStringLiteral("T"));
    const QCommandLineOption tokenFileOption(
        QStringLiteral("http-token-file"), QStringLiteral("Read the access token from a file's first line."),
        QStringLiteral("FILE"));
    const QCommandLineOption staleOption(
        QStringLiteral("stale-after"),
        QStringLiteral("A site whose heartbeat is older than S seconds is stale (default 30)."),
        QStringLiteral("S"));
    const QCommandLineOption commandOption(QStringLiteral("alert-command"),
                                           QStringLiteral("Run CMD when a site goes stale or comes back."),
                                           QStringLiteral("CMD"));
    const QCommandLineOption webhookOption(
        QStringLiteral("webhook"), QStringLiteral("POST a JSON alert to URL then."), QStringLiteral("URL"));
    parser.addOptions({configOption, dbOption, httpOption, tokenOption, tokenFileOption, staleOption,
                       commandOption, webhookOption});
    parser.process(app);

    QTextStream out(stdout);
    QTextStream err(stderr);
    const auto line = [](QTextStream& s, const QString& text) {
        s << zel::formatLocalTime(QDateTime::currentMSecsSinceEpoch()) << u' ' << text << Qt::endl;
    };
    const auto fail = [&err](const QString& why) {
        err << "zel-central: " << why << Qt::endl;
        return 2;
    };
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));

    zel::CentralConfig config;
    config.httpAddress = QHostAddress(QHostAddress::LocalHost);
    QString why;
    if (parser.isSet(configOption)) {
        QStringList warnings;
        if (!config.readFile(parser.value(configOption), &warnings, &why)) return fail(why);
        for (const QString& w : warnings)
            err << "zel-central: warning: " << w << Qt::endl;
    }
    if (parser.isSet(dbOption)) config.databaseUrl = parser.value(dbOption);
    if (parser.isSet(httpOption) && !config.setHttp(parser.value(httpOption), &why)) return fail(why);
    if (parser.isSet(tokenOption)) config.token = parser.value(tokenOption);
    if (parser.isSet(tokenFileOption)) {
        if (!zel::StatusServer::readSecretFile(parser.value(tokenFileOption), &config.token, &why))
            return fail(QStringLiteral("--http-token-file: ") + why);
        if (!why.isEmpty()) err << "zel-central: warning: " << why << Qt::endl;
    }
    if (parser.isSet(staleOption) && !config.setStaleAfter(parser.value(staleOption), &why))
        return fail(QStringLiteral("--stale-after: ") + why);
    if (parser.isSet(commandOption)) {
        if (!zel::AlertSettings::checkCommand(parser.value(commandOption), &why))
            return fail(QStringLiteral("--alert-command: ") + why);
        config.alertCommand = parser.value(commandOption);
    }
    if (parser.isSet(webhookOption)) config.webhookUrl = parser.value(webhookOption);
    zel::AlertSettings alerts;
    alerts.webhookUrl = config.webhookUrl;
    if (const QString problem = alerts.webhookProblem(); !problem.isEmpty()) return fail(problem);
    if (config.databaseUrl.isEmpty())
        return fail(QStringLiteral("no database: give --db URL or [central] db"));
    if (zel::CentralUrl url; !zel::parseCentralUrl(config.databaseUrl, &url, &why)) return fail(why);
    if (!config.httpSet)
        return fail(QStringLiteral("nowhere to serve: give --http ADDR:PORT or [central] http"));

    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });
        struct sigaction sa {};
        sa.sa_handler = onSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        ::sigaction(SIGINT, &sa, nullptr);
        ::sigaction(SIGTERM, &sa, nullptr);
    }

    zel::CentralService service(config);
    int status = 0;
    QObject::connect(&service, &zel::CentralService::databaseProblem, &app, [&](const QString& reason) {
        line(err, QStringLiteral("database-problem reason=") + quoted(reason));
    });
    QObject::connect(&service, &zel::CentralService::databaseBack, &app,
                     [&] { line(out, QStringLiteral("database-back")); });
    QObject::connect(&service, &zel::CentralService::refused, &app, [&](const QString& reason) {
        line(err, QStringLiteral("database-problem reason=") + quoted(reason));
        status = 2;
        QCoreApplication::quit();
    });
    QObject::connect(&service, &zel::CentralService::siteStale, &app,
                     [&](const QString& id, const QString& name, bool stale, const QString& detail) {
                         line(out, QStringLiteral("site-stale %1 site=%2 name=%3 detail=%4")
                                       .arg(stale ? u"on" : u"off", id, quoted(name), quoted(detail)));
                     });
    QObject::connect(&service, &zel::CentralService::alertSent, &app,
                     [&](const QString& event, const QString& state, const QString& via) {
                         line(out,
                              QStringLiteral("alert-sent event=%1 state=%2 via=%3").arg(event, state, via));
                     });
    QObject::connect(
        &service, &zel::CentralService::alertFailed, &app, [&](const QString& what, const QString& reason) {
            line(out, QStringLiteral("alert-failed what=%1 reason=%2").arg(quoted(what), quoted(reason)));
        });
    if (!service.start(&why)) return fail(why);
    const QString host = config.httpAddress.protocol() == QAbstractSocket::IPv6Protocol
                             ? u'[' + config.httpAddress.toString() + u']'
                             : config.httpAddress.toString();
    line(out, QStringLiteral("serving url=http://%1:%2/").arg(host).arg(service.serverPort()));

    const int result = app.exec();
    if (!service.stop()) {
        // A reader stuck in a call to the database cannot be ended from here.
        line(err,
             QStringLiteral("database-problem reason=\"the database did not answer; leaving without it\""));
        out.flush();
        err.flush();
        std::_Exit(status ? status : result);
    }
    return status ? status : result;
}
