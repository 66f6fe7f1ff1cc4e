// zel-logger: the monitoring core without a window, for a site PC or a
// server that watches one or more monitors around the clock.
#include "core/session/eventloop.h"
#include "core/transport/transport.h"
#include "core/transport/transportfactory.h"
#include "logger/logger.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
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
Alarm and reading lines carry pos=, neg= and carrier= of the moment.
Exit status: 0 after --for or on SIGINT/SIGTERM; 1 when no port could be
opened; 2 for a port text that names no port or a bad option.
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
    parser.addOptions({portOption, forOption, readingsOption});
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

    QTextStream out(stdout);
    zel::Logger logger(out);
    logger.setPrintReadings(parser.isSet(readingsOption));
    const QStringList ports = parser.values(portOption);
    if (ports.isEmpty()) {
        const zel::SettingsStore::Loaded loaded = zel::SettingsStore::load();
        if (!loaded.settings)
            std::fprintf(stderr, "zel-logger: %s; using the defaults\n", qPrintable(loaded.problem));
        logger.addSession(loaded.settings.value_or(zel::Settings{}).connection);
    }
    for (const QString& port : ports) {
        QString error;
        if (!zel::makeTransport(port, &error)) {
            std::fprintf(stderr, "zel-logger: %s\n", qPrintable(error));
            return 2;
        }
        zel::ConnectionSettings c;
        c.directCable = true;
        c.modemLink = false;
        c.directPort = port;
        logger.addSession(c);
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
    if (seconds >= 0) QTimer::singleShot(qint64(seconds * 1000), &app, [] { QCoreApplication::quit(); });
    if (!logger.start()) {
        logger.stop();
        return 1;
    }
    const int status = app.exec();
    logger.stop();
    return status;
}
