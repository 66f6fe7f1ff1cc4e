// zel: the panel, or one of its tasks without a window (--report,
// --compliance).
#include "core/outputs/central/centralreader.h"
#include "core/outputs/compliance/compliancetable.h"
#include "core/outputs/history/historystore.h"
#include "core/session/eventloop.h"
#include "core/settings/settings.h"
#include "gui/frmzelmain.h"
#include "gui/history/compliancereport.h"
#include "gui/history/dailyreport.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDate>
#include <QSettings>
#include <cstdio>
#include <cstring>

namespace {

// Our own options all start with "--" (or are -h, -? and -v); Qt's own
// (-platform, -style, -geometry...) take one dash. A run with one of ours
// writes a file or prints text: it needs Qt's drawing, not a screen, and must
// work where there is none.
bool wantsNoWindow(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strncmp(a, "--", 2) == 0 || std::strcmp(a, "-h") == 0 || std::strcmp(a, "-?") == 0 ||
            std::strcmp(a, "-v") == 0)
            return true;
    }
    return false;
}

int usageError(const QString& message) {
    std::fprintf(stderr, "zel: %s (see zel --help)\n", qPrintable(message));
    return 2;
}

struct Options {
    QCommandLineOption report{QStringLiteral("report"),
                              QStringLiteral("Write the daily report of DAY (YYYY-MM-DD) as a PDF to "
                                             "--output, without a window or a display, and end."),
                              QStringLiteral("DAY")};
    QCommandLineOption output{QStringLiteral("output"), QStringLiteral("The report's PDF file."),
                              QStringLiteral("FILE")};
    QCommandLineOption history{
        QStringLiteral("history"),
        QStringLiteral("Read the record from FILE (default: %1), or from the central record's "
                       "postgresql:// URL.")
            .arg(zel::HistoryStore::defaultPath()),
        QStringLiteral("FILE")};
    QCommandLineOption compliance{
        QStringLiteral("compliance"),
        QStringLiteral(
            "Write the compliance report of the local days FROM to TO (YYYY-MM-DD YYYY-MM-DD) as a "
            "PDF to --output, without a window or a display, and end."),
        QStringLiteral("FROM")};
    QCommandLineOption site{QStringLiteral("site"),
                            QStringLiteral("With a postgresql:// --history: the site ID's record only."),
                            QStringLiteral("ID")};
    QCommandLineOption monitor{QStringLiteral("monitor"),
                               QStringLiteral("The monitor (its id in the record) the task is about; "
                                              "--compliance needs it when the record holds several."),
                               QStringLiteral("ID")};
};

// `zel --report DAY --output FILE.pdf [--history FILE]`.
int writeReport(const QCommandLineParser& parser, const Options& o) {
    const QDate day = QDate::fromString(parser.value(o.report), Qt::ISODate);
    if (!day.isValid())
        return usageError(
            QStringLiteral("--report takes a day as YYYY-MM-DD, not \"%1\"").arg(parser.value(o.report)));
    if (parser.value(o.output).isEmpty()) return usageError(QStringLiteral("--report needs --output FILE"));
    zel::HistoryStore store;
    QObject::connect(&store, &zel::HistoryStore::problem,
                     [](const QString& m) { std::fprintf(stderr, "zel: %s\n", qPrintable(m)); });
    const QString history =
        parser.isSet(o.history) ? parser.value(o.history) : zel::HistoryStore::defaultPath();
    QString why;
    // The station's name, as zel.conf's [site] gives it, or the central
    // record's for its site.
    QString station = QSettings(zel::SettingsStore::confPath(), QSettings::IniFormat)
                          .value(QStringLiteral("site/name"))
                          .toString();
    if (zel::isCentralUrl(history)) {
        if (!parser.isSet(o.site)) station.clear();
        if (!zel::openCentralHistory(store, history, parser.value(o.site), &station, &why)) {
            std::fprintf(stderr, "zel: %s\n", qPrintable(why));
            return 1;
        }
    } else if (parser.isSet(o.site)) {
        return usageError(QStringLiteral("--site goes with a postgresql:// --history"));
    } else if (!store.open(history)) {
        return 1;
    }
    if (!zel::writeDailyReport(store, day, station, parser.value(o.output), &why, parser.value(o.monitor))) {
        std::fprintf(stderr, "zel: %s\n", qPrintable(why));
        return 1;
    }
    return 0;
}

// `zel --compliance FROM TO --output FILE.pdf [--history FILE] [--monitor ID]`;
// the limits, the paper and the station's name from zel.conf.
int writeCompliance(const QCommandLineParser& parser, const Options& o) {
    const QStringList rest = parser.positionalArguments();
    if (rest.size() != 1)
        return usageError(QStringLiteral("--compliance takes FROM TO, two days as YYYY-MM-DD"));
    zel::ComplianceReportRequest request;
    QString why;
    if (!zel::parseCompliancePeriod(parser.value(o.compliance), rest.first(), &request.from, &request.to,
                                    &why))
        return usageError(QStringLiteral("--compliance: ") + why);
    request.path = parser.value(o.output);
    if (request.path.isEmpty()) return usageError(QStringLiteral("--compliance needs --output FILE"));
    QSettings conf(zel::SettingsStore::confPath(), QSettings::IniFormat);
    QStringList problems;
    const zel::ComplianceSettings settings = zel::readComplianceSettings(conf, &problems);
    for (const QString& p : problems)
        std::fprintf(stderr, "zel: warning: %s: %s\n", qPrintable(conf.fileName()), qPrintable(p));
    QString history = parser.value(o.history);
    if (history.isEmpty()) history = conf.value(QStringLiteral("history/file")).toString();
    if (history.isEmpty()) history = zel::HistoryStore::defaultPath();
    zel::HistoryStore store;
    QObject::connect(&store, &zel::HistoryStore::problem,
                     [](const QString& m) { std::fprintf(stderr, "zel: %s\n", qPrintable(m)); });
    if (!zel::openComplianceHistory(&store, history, parser.value(o.site), &why)) {
        if (!why.isEmpty()) std::fprintf(stderr, "zel: %s\n", qPrintable(why));
        return 1;
    }
    if (!zel::chooseComplianceMonitor(store, parser.value(o.monitor), zel::periodStartMs(request.from),
                                      zel::periodEndMs(request.to), &request.monitor, &why)) {
        std::fprintf(stderr, "zel: %s\n", qPrintable(why));
        return 2;
    }
    if (!zel::writeComplianceReport(store, request, settings,
                                    conf.value(QStringLiteral("site/name")).toString(), request.monitor,
                                    &why)) {
        std::fprintf(stderr, "zel: %s\n", qPrintable(why));
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (wantsNoWindow(argc, argv) && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    zel::preferLeanEventLoop();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("zel"));
    QApplication::setApplicationVersion(QStringLiteral(ZEL_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("The front panel of the AM modulation monitor. Without options it opens the panel."));
    parser.addHelpOption();
    parser.addVersionOption();
    const Options o;
    parser.addOptions({o.report, o.output, o.history, o.compliance, o.site, o.monitor});
    if (!parser.parse(app.arguments())) return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version"))) parser.showVersion();
    if (parser.isSet(o.compliance) && parser.isSet(o.report))
        return usageError(QStringLiteral("--report and --compliance are separate tasks: one at a time"));
    if (parser.isSet(o.compliance)) return writeCompliance(parser, o);
    if (!parser.positionalArguments().isEmpty())
        return usageError(
            QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));
    // Each task names the options it reads; one given to no task is a mistake.
    if (parser.isSet(o.report)) return writeReport(parser, o);
    for (const QCommandLineOption* taskOnly : {&o.output, &o.history, &o.site, &o.monitor})
        if (parser.isSet(*taskOnly))
            return usageError(
                QStringLiteral("--%1 goes with --report or --compliance").arg(taskOnly->names().first()));

    QApplication::setQuitOnLastWindowClosed(false);
    FrmZelMain window;
    QObject::connect(&window, &FrmZelMain::programEnded, &app, [] { QCoreApplication::exit(0); });
    if (window.isExiting()) return 0;
    window.show();
    return app.exec();
}
