#pragma once
// Shared by the history tests: a throw-away store and a recorder on a clock
// the test moves by hand.
#include "core/history/historystore.h"
#include "core/history/recorder.h"

#include <QDateTime>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

namespace historytest {

// 2026-12-07 10:00:00 UTC, the start of a minute.
inline qint64 baseMs() {
    return QDateTime(QDate(2026, 12, 7), QTime(10, 0), Qt::UTC).toMSecsSinceEpoch();
}

inline zel::Readings readings(float pos, float neg, float carrier = 40) {
    return {pos, neg, carrier};
}

inline zel::MinuteRecord minute(qint64 t, double pos, int linkDownS = 0) {
    zel::MinuteRecord m;
    m.monitor = QStringLiteral("COM 2");
    m.minuteMs = t;
    m.packets = 5760;
    m.posMax = pos;
    m.negMax = pos - 10;
    m.carrierMin = 39;
    m.carrierMax = 41;
    m.carrierMean = 40;
    m.linkDownS = linkDownS;
    return m;
}

inline QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
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

    void connectLink() { link(zel::LinkState::Connected); }
    void link(zel::LinkState state, const QString& detail = {}) {
        recorder->onLinkEvent({state, now, detail});
    }
    void alarm(zel::AlarmKind kind, bool on) { recorder->onAlarmEvent({kind, on, now, {}}); }
    // `count` packets of `r`, one every `stepMs`, starting now.
    void feed(int count, zel::Readings r, qint64 stepMs = 10) {
        for (int i = 0; i < count; ++i, now += stepMs)
            recorder->onReadings(r);
    }
    // Moves the clock on and does the flush timer's work.
    void advance(qint64 ms) {
        now += ms;
        recorder->tick();
    }
    bool writeMinutes(const QList<zel::MinuteRecord>& rows) {
        QList<zel::EventRecord> none;
        return store.write(none, rows);
    }
    QList<zel::EventRecord> events(const QStringList& kinds = {}) const {
        return store.events(0, now + 3600'000, kinds);
    }
    QList<zel::MinuteRecord> minutes() const { return store.minutes(0, now + 3600'000); }
};

} // namespace historytest
