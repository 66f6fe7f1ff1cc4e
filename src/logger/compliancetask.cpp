#include "logger/compliancetask.h"
#include "core/outputs/compliance/compliancetable.h"
#include "core/outputs/history/historystore.h"
#include "core/settings/settings.h"
#include "core/station/stationfile.h"

#include <QCommandLineParser>
#include <QSettings>
#include <cstdio>

namespace zel {

namespace {

int say(int status, const QString& text) {
    std::fprintf(stderr, "zel-logger: %s\n", qPrintable(text));
    return status;
}

} // namespace

QList<QCommandLineOption> complianceOptions() {
    return {
        QCommandLineOption(QStringLiteral("compliance"),
                           QStringLiteral("Write the compliance minute table of the local days FROM to TO "
                                          "(YYYY-MM-DD YYYY-MM-DD) as CSV to --output, without connecting; "
                                          "the limits from [compliance] of --config or zel.conf."),
                           QStringLiteral("FROM"))};
}

int runComplianceTask(const QCommandLineParser& parser) {
    const QStringList rest = parser.positionalArguments();
    if (rest.size() != 1) return say(2, QStringLiteral("--compliance takes FROM TO, two days as YYYY-MM-DD"));
    QDate from, to;
    if (QString why;
        !parseCompliancePeriod(parser.value(QStringLiteral("compliance")), rest.first(), &from, &to, &why))
        return say(2, QStringLiteral("--compliance: ") + why);
    const QString output = parser.value(QStringLiteral("output"));
    if (output.isEmpty()) return say(2, QStringLiteral("--compliance needs --output FILE"));

    // The limits, and the record, as the site's configuration names them.
    QString historyPath;
    QString settingsPath = SettingsStore::confPath();
    if (parser.isSet(QStringLiteral("config"))) {
        settingsPath = parser.value(QStringLiteral("config"));
        StationConfig config;
        QStringList warnings;
        QString error;
        const bool ok = readStationFile(settingsPath, &config, &warnings, &error);
        for (const QString& w : warnings)
            say(0, QStringLiteral("warning: ") + w);
        if (!ok) return say(2, error);
        historyPath = config.history.path;
    }
    QSettings ini(settingsPath, QSettings::IniFormat);
    QStringList problems;
    const ComplianceSettings settings = readComplianceSettings(ini, &problems);
    for (const QString& p : problems)
        say(0, QStringLiteral("warning: %1: %2").arg(settingsPath, p));
    if (parser.isSet(QStringLiteral("history"))) historyPath = parser.value(QStringLiteral("history"));
    if (historyPath.isEmpty()) historyPath = HistoryStore::defaultPath();
    HistoryStore store;
    QObject::connect(&store, &HistoryStore::problem, [](const QString& m) { say(0, m); });
    QString monitor, why;
    if (!openComplianceHistory(&store, historyPath, parser.value(QStringLiteral("site")), &why))
        return why.isEmpty() ? 1 : say(1, why);
    if (!chooseComplianceMonitor(store, parser.value(QStringLiteral("monitor")), periodStartMs(from),
                                 periodEndMs(to), &monitor, &why))
        return say(2, why);
    if (!ComplianceTable(store, monitor, settings).exportCsv(from, to, output, &why)) return say(1, why);
    return 0;
}

} // namespace zel
