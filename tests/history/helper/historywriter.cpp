// zel-history-writer FILE MONITOR: records 96 readings a second into FILE
// through a Recorder, as a session would, until it is killed. After every
// 48 readings it prints how many it has fed so far.
#include "core/history/historystore.h"
#include "core/history/recorder.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QTimer>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: zel-history-writer FILE MONITOR\n");
        return 2;
    }
    zel::HistoryStore store;
    if (!store.open(QString::fromLocal8Bit(argv[1]))) return 1;
    zel::Recorder recorder(&store, QString::fromLocal8Bit(argv[2]));
    recorder.onLinkEvent({zel::LinkState::Connected, QDateTime::currentMSecsSinceEpoch(), {}});
    long long fed = 0;
    QTimer poll;
    poll.setTimerType(Qt::PreciseTimer);
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        recorder.onReadings({float(30 + fed % 25), 25, 40});
        if (++fed % 48 == 0) {
            std::printf("%lld\n", fed);
            std::fflush(stdout);
        }
    });
    poll.start();
    return app.exec();
}
