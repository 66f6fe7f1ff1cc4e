#pragma once
// Shared by the history tests: a throw-away store and a recorder on a
// clock the test moves by hand.
#include "core/history/historystore.h"
#include "core/history/recorder.h"

#include <QDateTime>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <memory>

namespace historytest {

// 2026-12-07 10:00:00 UTC, the start of a minute.
inline qint64 baseMs() {
    return QDateTime(QDate(2026, 12, 7), QTime(10, 0), Qt::UTC).toMSecsSinceEpoch();
}

struct Rig {
    QTemporaryDir dir;
    zel::HistoryStore store;
    std::unique_ptr<zel::Recorder> recorder;
    qint64 now = baseMs();

    explicit Rig(const QString& monitor = QStringLiteral("COM 2")) {
        store.open(path());
        recorder = std::make_unique<zel::Recorder>(&store, monitor);
        recorder->setClock([this] { return now; });
    }
    QString path() const { return dir.filePath(QStringLiteral("history.sqlite")); }

    void connectLink() { recorder->onLinkEvent({zel::LinkState::Connected, now, {}}); }
    // `count` packets of `r`, one every `stepMs`, starting now.
    void feed(int count, zel::Readings r, qint64 stepMs = 10) {
        for (int i = 0; i < count; ++i) {
            recorder->onReadings(r);
            now += stepMs;
        }
    }
    void alarm(zel::AlarmKind kind, bool on) { recorder->onAlarmEvent({kind, on, now, {}}); }
    void link(zel::LinkState state, const QString& detail = {}) {
        recorder->onLinkEvent({state, now, detail});
    }
    // Moves the clock on and lets the flush timer's work run.
    void advance(qint64 ms) {
        now += ms;
        recorder->tick();
    }
    QList<zel::EventRecord> events(const QStringList& kinds = {}) const {
        return store.events(0, now + 3600'000, kinds);
    }
    QList<zel::MinuteRecord> minutes() const { return store.minutes(0, now + 3600'000); }
};

inline zel::Readings readings(float pos, float neg, float carrier = 40) {
    return {pos, neg, carrier};
}

} // namespace historytest
