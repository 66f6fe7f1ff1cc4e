#pragma once
// A serial device opened and watched by this class itself: the descriptor
// from open(2), set up with termios, read through a QSocketNotifier of its
// own. Owning the descriptor lets the poll stop watching the input while a
// reply is still crossing the line and read it whole when it is due (the
// driver would otherwise wake the program for every character).
//
// Failures while open (adapter pulled, pseudo-terminal closed) close the
// port and emit failed() once, from the event loop.
#include "core/transport/transport.h"

#include <QByteArray>
#include <limits>

class QSocketNotifier;

namespace zel {

class Alarm;

class SerialTransport : public Transport {
    Q_OBJECT
public:
    // `device` is the path to open; `portText` what the operator typed.
    SerialTransport(const QString& portText, const QString& device, QObject* parent = nullptr);
    ~SerialTransport() override;

    // Line settings in the "9600,n,8,1" form; taken by the next openLink().
    void setLineSettings(const QString& settings);

    QString portText() const override { return m_text; }
    bool openLink() override;
    void close() override;
    void discardInput() override;
    void setDataTerminalReady(bool on) override;
    void awaitReply(int characters) override;
    qint64 characterTimeNs() const override;
    qint64 bytesAvailable() const override;

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 maxSize) override;

private:
    // Reads what the driver holds into m_input; false when the line is gone.
    bool drain();
    void onReadable();
    void onReplyDue();
    void setReadThreshold(int count);
    void fail(const QString& reason);

    QString m_text;
    QString m_device;
    QString m_settingsText = QStringLiteral("9600,n,8,1");
    int m_fd = -1;
    int m_bitsPerChar = 10;
    int m_baud = 9600;
    QSocketNotifier* m_reader = nullptr;
    QByteArray m_input; // read from the driver, not yet by the caller
    Alarm* m_replyWait = nullptr;
    int m_awaited = 0;
    qint64 m_dueNs = 0;
    // Estimated arrival of the last character read, and time of the last
    // write: where the next reply's characters can start from.
    static constexpr qint64 LongAgo = std::numeric_limits<qint64>::min() / 2;
    qint64 m_lastArrivalNs = LongAgo;
    qint64 m_lastWriteNs = LongAgo;
    int m_readThreshold = 0;
    bool m_failing = false;
    int m_generation = 0;
};

} // namespace zel
