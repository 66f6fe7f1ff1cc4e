#pragma once
// Transports to a serial device server over TCP: raw (TcpTransport) and
// Telnet with COM-PORT-OPTION (Rfc2217Transport). Both open asynchronously:
// openLink() starts the connection and opened() or failed(reason) follows.
#include "core/transport/networkport.h"
#include "core/transport/telnetcodec.h"
#include "core/transport/transport.h"

#include <QAbstractSocket>
#include <QTcpSocket>
#include <QTimer>
#include <array>
#include <string>

namespace zel {

class NetworkTransport : public Transport {
    Q_OBJECT
public:
    static constexpr int DefaultOpenTimeoutMs = 10000;
    // Sent data not acknowledged for this long ends the connection, so a
    // device server that vanishes without a word is noticed within seconds,
    // not after TCP's quarter of an hour of retries.
    static constexpr int UnacknowledgedTimeoutMs = 10000;
    // What the network may add to an awaited reply's time on the line.
    static constexpr int ReplyNetworkSlackMs = 20;

    NetworkTransport(const QString& text, const NetworkPort& port, QObject* parent = nullptr);
    ~NetworkTransport() override;

    QString portText() const override { return m_text; }
    const NetworkPort& address() const { return m_port; }

    bool openLink() override;
    void close() override;
    qint64 bytesAvailable() const override;
    // Asks the kernel to report input only once `characters` bytes wait
    // (SO_RCVLOWAT), so a reply that a device server sends character by
    // character wakes the program once, not ten times. If it is not complete
    // when it should be, replyOverdue(arrived) follows and every byte is
    // reported again.
    void awaitReply(int characters) override;
    bool crossesNetwork() const override { return true; }

    // How long opening (connecting and any negotiation) may take.
    void setOpenTimeout(int ms) { m_openTimer.setInterval(ms); }
    // Runs while opening; its timeout fails the open.
    const QTimer& openTimer() const { return m_openTimer; }
    // Runs while a reply is awaited; its timeout reports it overdue.
    const QTimer& replyTimer() const { return m_replyTimer; }
    // The input the kernel waits for before it reports any (1: every byte).
    int lowWater() const { return m_lowWater; }

    // The operator's reason for a socket error.
    static QString reasonFor(QAbstractSocket::SocketError error, const NetworkPort& port, bool wasOpen,
                             const QString& detail);

public slots:
    // The open timer's slot: opening took too long.
    void openTimedOut();
    // The reply timer's slot: the awaited reply is late.
    void replyTimedOut();

protected:
    enum class Phase { Closed, Connecting, Negotiating, Open };

    virtual void socketConnected() { finishOpen(); }
    virtual void socketReadyRead() { emit readyRead(); }
    void finishOpen();
    // Closes everything and reports `reason`, once.
    void fail(const QString& reason);
    // Keeps the end of what was received, for the reason given when the far
    // end hangs up with a message ("Port's device already in use").
    void noteReceived(const char* data, qint64 size);

    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

    QTcpSocket m_socket;
    Phase m_phase = Phase::Closed;

private:
    void onSocketError(QAbstractSocket::SocketError error);
    void onSocketReadyRead();
    void setLowWater(int bytes);
    QString farEndText();

    QString m_text;
    NetworkPort m_port;
    QTimer m_openTimer;
    QTimer m_replyTimer;
    int m_lowWater = 1;
    quint64 m_awaits = 0;     // awaitReply() calls so far
    quint64 m_generation = 0; // invalidates queued work of an earlier open
    std::array<char, 64> m_tail{};
    int m_tailSize = 0;
};

class TcpTransport : public NetworkTransport {
    Q_OBJECT
public:
    using NetworkTransport::NetworkTransport;
    void discardInput() override;
};

class Rfc2217Transport : public NetworkTransport {
    Q_OBJECT
public:
    using NetworkTransport::NetworkTransport;

    void discardInput() override;
    void setDataTerminalReady(bool on) override;
    qint64 bytesAvailable() const override;
    const TelnetCodec& codec() const { return m_codec; }

protected:
    void socketConnected() override;
    void socketReadyRead() override;
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

private:
    // Reads the socket through the codec; answers what needs answering.
    void pump();
    void sendReply();

    TelnetCodec m_codec;
    std::string m_data; // decoded, from m_dataPos on not yet read
    std::size_t m_dataPos = 0;
    std::string m_reply;
    std::string m_out;
    std::array<char, 4096> m_raw{};
};

} // namespace zel
