// zel-history-writer FILE MONITOR: records 96 readings a second into FILE, as
// a session would, until killed; prints the count fed after every 48.
#include "core/outputs/history/historystore.h"
#include "core/outputs/history/recorder.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QTimer>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    zel::HistoryStore store;
    if (argc != 3 || !store.open(QString::fromLocal8Bit(argv[1]))) return 2;
    zel::Recorder recorder(&store, QString::fromLocal8Bit(argv[2]));
    recorder.onLinkEvent({zel::LinkState::Connected, QDateTime::currentMSecsSinceEpoch(), {}});
    long long fed = 0;
    QTimer poll;
    poll.setTimerType(Qt::PreciseTimer);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        recorder.onReadings({float(30 + fed % 25), 25, 40});
        if (++fed % 48 != 0) return;
        std::printf("%lld\n", fed);
        std::fflush(stdout);
    });
    poll.start(10);
    return app.exec();
}
