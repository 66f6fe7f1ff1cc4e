#pragma once
// The built-in stand-in monitor behind the port text "SIM": every "x"
// written is answered with a packet of the programme model once the reply
// would have crossed a 9600-baud line (10 characters, about 10.4 ms).
// Replies queue one after another as on a real line; a timer per pending
// reply, nothing runs while nobody polls.
#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <deque>

#include "telemetry/programmemodel.h"

class SimPort : public QObject {
    Q_OBJECT
public:
    // Time one character takes on the line: 10 bits at 9600 baud.
    static constexpr qint64 CharNs = 1'000'000'000LL * 10 / 9600;
    static constexpr qint64 ReplyNs = 10 * CharNs;
    // Requests beyond this many unanswered ones are ignored, like a monitor
    // whose transmitter is busy.
    static constexpr int MaxBacklog = 8;

    explicit SimPort(std::uint64_t seed = 1, QObject* parent = nullptr);

    qint64 write(const QByteArray& data);
    qint64 bytesAvailable() const { return m_input.size(); }
    QByteArray readAll();
    void discardInput() { m_input.clear(); }

signals:
    void readyRead();

private:
    void deliver();
    void schedule();

    zel::sim::ProgrammeModel m_model;
    QElapsedTimer m_clock;
    QTimer m_timer;
    std::deque<qint64> m_due; // when each pending reply has fully arrived
    qint64 m_lineFree = 0;    // when the line is free for the next reply
    QByteArray m_input;
};
