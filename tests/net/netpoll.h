#pragma once
// Polls a transport the way the panel does, for the network tests: two
// requests in flight, one more for every packet read whole; a request again
// after a quiet spell, since requests sent into silence are never answered.
#include "core/protocol/packetdecoder.h"
#include "core/protocol/packetframer.h"
#include "core/transport/transport.h"

#include <QList>
#include <QTimer>

namespace zeltest {

class NetPoll : public QObject {
    Q_OBJECT
public:
    explicit NetPoll(zel::Transport* transport, QObject* parent = nullptr)
        : QObject(parent)
        , m_transport(transport) {
        m_resend.setInterval(300);
        connect(&m_resend, &QTimer::timeout, this, [this] {
            if (m_transport->isOpen()) m_transport->write("x", 1);
        });
        connect(m_transport, &QIODevice::readyRead, this, &NetPoll::read);
    }
    // Reading goes on from construction; polling from start() to stop().
    void start() {
        m_polling = true;
        m_transport->write("xx", 2);
        m_resend.start();
        m_transport->awaitReply(zel::PacketFramer::PacketSize);
    }
    void stop() {
        m_polling = false;
        m_resend.stop();
    }
    const QList<zel::Readings>& readings() const { return m_readings; }
    const QByteArray& raw() const { return m_raw; }
    void clear() {
        m_readings.clear();
        m_raw.clear();
    }

private:
    void read() {
        char buf[512];
        qint64 n;
        while ((n = m_transport->read(buf, sizeof buf)) > 0) {
            m_raw.append(buf, n);
            for (qint64 i = 0; i < n; ++i) {
                if (const auto data = m_framer.feed(std::string_view(buf + i, 1))) {
                    m_readings.append(zel::decodePacket(std::string_view(data->data(), data->size())));
                    if (m_polling) {
                        m_transport->write("x", 1);
                        m_resend.start();
                    }
                }
            }
        }
        // The next reply is read whole, as the panel reads it.
        if (m_polling)
            m_transport->awaitReply(zel::PacketFramer::PacketSize - int(m_framer.pending().size()));
    }

    zel::Transport* m_transport;
    zel::PacketFramer m_framer;
    QTimer m_resend;
    bool m_polling = false;
    QList<zel::Readings> m_readings;
    QByteArray m_raw;
};

} // namespace zeltest
