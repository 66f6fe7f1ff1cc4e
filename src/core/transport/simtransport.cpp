#include "core/transport/simtransport.h"

#include <algorithm>
#include <cstring>

namespace zel {

SimTransport::SimTransport(const QString& portText, std::uint64_t seed, QObject* parent)
    : Transport(parent)
    , m_text(portText)
    , m_model(seed) {
    m_clock.start();
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &SimTransport::deliver);
}

bool SimTransport::openLink() {
    m_due.clear();
    m_input.clear();
    m_lineFree = 0;
    return QIODevice::open(QIODevice::ReadWrite | QIODevice::Unbuffered);
}

void SimTransport::close() {
    m_timer.stop();
    m_due.clear();
    m_input.clear();
    QIODevice::close();
}

qint64 SimTransport::writeData(const char* data, qint64 maxSize) {
    const qint64 now = m_clock.nsecsElapsed();
    for (qint64 i = 0; i < maxSize; ++i) {
        if (data[i] != 'x' || int(m_due.size()) >= MaxBacklog) continue;
        const qint64 done = std::max(now, m_lineFree) + ReplyNs;
        m_lineFree = done;
        m_due.push_back(done);
    }
    schedule();
    return maxSize;
}

qint64 SimTransport::readData(char* data, qint64 maxSize) {
    const qint64 n = std::min<qint64>(maxSize, m_input.size());
    if (n <= 0) return 0;
    std::memcpy(data, m_input.constData(), size_t(n));
    m_input.remove(0, n);
    return n;
}

void SimTransport::schedule() {
    if (m_due.empty() || m_timer.isActive()) return;
    const qint64 wait = m_due.front() - m_clock.nsecsElapsed();
    // Round up: a reply is never there before its last character is.
    m_timer.start(int(std::max<qint64>(0, (wait + 999'999) / 1'000'000)));
}

void SimTransport::deliver() {
    const qint64 now = m_clock.nsecsElapsed();
    bool any = false;
    while (!m_due.empty() && m_due.front() <= now) {
        m_due.pop_front();
        const auto r = m_model.at(double(now) / 1e9);
        m_input += QByteArray::fromStdString(sim::formatPacket(r));
        any = true;
    }
    schedule();
    if (any) emit readyRead();
}

} // namespace zel
