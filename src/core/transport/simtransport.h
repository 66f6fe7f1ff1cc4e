#pragma once
// The built-in stand-in monitor behind the port text "SIM": every "x"
// written is answered with a packet of the programme model once the reply
// would have crossed a 9600-baud line (10 characters, about 10.4 ms).
// Replies queue one after another as on a real line; a timer per pending
// reply, nothing runs while nobody polls.
#include <QByteArray>
#include <QElapsedTimer>
#include <QTimer>
#include <deque>

#include "core/transport/programmemodel.h"
#include "core/transport/transport.h"

namespace zel {

class SimTransport : public Transport {
    Q_OBJECT
public:
    // Time one character takes on the line: 10 bits at 9600 baud.
    static constexpr qint64 CharNs = 1'000'000'000LL * 10 / 9600;
    static constexpr qint64 ReplyNs = 10 * CharNs;
    // Requests beyond this many unanswered ones are ignored, like a monitor
    // whose transmitter is busy.
    static constexpr int MaxBacklog = 8;

    explicit SimTransport(const QString& portText = QStringLiteral("SIM"), std::uint64_t seed = 1,
                          QObject* parent = nullptr);

    QString portText() const override { return m_text; }
    bool openLink() override;
    void close() override;
    void discardInput() override { m_input.clear(); }
    qint64 bytesAvailable() const override { return m_input.size() + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 maxSize) override;

private:
    void deliver();
    void schedule();

    QString m_text;
    sim::ProgrammeModel m_model;
    QElapsedTimer m_clock;
    QTimer m_timer;
    std::deque<qint64> m_due; // when each pending reply has fully arrived
    qint64 m_lineFree = 0;    // when the line is free for the next reply
    QByteArray m_input;
};

} // namespace zel
