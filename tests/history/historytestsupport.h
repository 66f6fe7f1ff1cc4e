#pragma once
// A throw-away history store and a recorder on a clock the test moves by hand.
#include "core/outputs/history/historystore.h"
#include "core/outputs/history/recorder.h"

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
    std::tie(m.monitor, m.minuteMs, m.packets, m.linkDownS) = std::tuple("COM 2", t, 5760, linkDownS);
    std::tie(m.posMax, m.negMax, m.carrierMin, m.carrierMax, m.carrierMean) =
        std::tuple(pos, pos - 10, 39, 41, 40);
    return m;
}

inline zel::EventRecord event(qint64 t, const QString& kind,
                              const QString& monitor = QStringLiteral("COM 2")) {
    zel::EventRecord e;
    std::tie(e.timeMs, e.monitor, e.kind) = std::tie(t, monitor, kind);
    return e;
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

    Rig() {
        store.open(path());
        recorder = std::make_unique<zel::Recorder>(&store, QStringLiteral("COM 2"));
        recorder->setClock([this] { return now; });
    }
    QString path() const { return dir.filePath(QStringLiteral("history.sqlite")); }

    void link(zel::LinkState state, const QString& detail = {}) {
        recorder->onLinkEvent({state, now, detail});
    }
    void alarm(zel::AlarmKind kind, bool on) { recorder->onAlarmEvent({kind, on, now, {}}); }
    // An episode as the core reports it: open at its first lighting, closed
    // after its last.
    zel::Episode episode(zel::AlarmKind kind, qint64 startMs, int packets, float extreme, bool open) {
        zel::Episode e;
        std::tie(e.kind, e.open, e.startMs, e.lastMs, e.packets, e.extreme) =
            std::tuple(kind, open, startMs, open ? startMs : startMs + (packets - 1) * 10, packets, extreme);
        recorder->onEpisode(e);
        return e;
    }
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
    // What is on file once the writer has caught up.
    QList<zel::EventRecord> events(const QString& kind = {}) {
        store.sync();
        return store.events(0, now + 3600'000, kind.isEmpty() ? QStringList() : QStringList{kind});
    }
    QList<zel::MinuteRecord> minutes() {
        store.sync();
        return store.minutes(0, now + 3600'000);
    }
};

} // namespace historytest
