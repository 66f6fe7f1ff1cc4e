#include "core/outputs/history/historystore.h"
#include "core/session/eventloop.h"
#include "gui/frmzelmain.h"
#include "gui/history/dailyreport.h"

#include <QApplication>
#include <QDate>
#include <QSettings>
#include <cstdio>
#include <cstring>

namespace {

// `zel --report DAY --output FILE.pdf [--history FILE]`: the daily report
// without a window or a display.
int writeReport(const QStringList& args) {
    QString day, output, history = zel::HistoryStore::defaultPath();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == u"--report")
            day = args[++i];
        else if (args[i] == u"--output")
            output = args[++i];
        else if (args[i] == u"--history")
            history = args[++i];
    }
    const QDate date = QDate::fromString(day, Qt::ISODate);
    if (!date.isValid() || output.isEmpty()) {
        std::fprintf(stderr, "usage: zel --report YYYY-MM-DD --output FILE.pdf [--history FILE]\n");
        return 2;
    }
    zel::HistoryStore store;
    QObject::connect(&store, &zel::HistoryStore::problem,
                     [](const QString& m) { std::fprintf(stderr, "zel: %s\n", qPrintable(m)); });
    if (!store.open(history)) return 1;
    QString why;
    if (!zel::writeDailyReport(store, date, QString(), output, &why)) {
        std::fprintf(stderr, "zel: %s\n", qPrintable(why));
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    bool report = false;
    for (int i = 1; i < argc; ++i)
        report = report || std::strcmp(argv[i], "--report") == 0;
    // The report needs Qt's drawing, not a screen.
    if (report && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    zel::preferLeanEventLoop();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("zel"));
    QApplication::setApplicationVersion(QStringLiteral(ZEL_VERSION));
    if (report) return writeReport(app.arguments());
    QApplication::setQuitOnLastWindowClosed(false);
    FrmZelMain window;
    QObject::connect(&window, &FrmZelMain::programEnded, &app, [] { QCoreApplication::exit(0); });
    if (window.isExiting()) return 0;
    window.show();
    return app.exec();
}
