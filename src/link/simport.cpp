#include "link/simport.h"

#include <algorithm>

SimPort::SimPort(std::uint64_t seed, QObject* parent)
    : QObject(parent)
    , m_model(seed) {
    m_clock.start();
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &SimPort::deliver);
}

qint64 SimPort::write(const QByteArray& data) {
    const qint64 now = m_clock.nsecsElapsed();
    for (const char c : data) {
        if (c != 'x' || int(m_due.size()) >= MaxBacklog) continue;
        const qint64 done = std::max(now, m_lineFree) + ReplyNs;
        m_lineFree = done;
        m_due.push_back(done);
    }
    schedule();
    return data.size();
}

QByteArray SimPort::readAll() {
    QByteArray all;
    all.swap(m_input);
    return all;
}

void SimPort::schedule() {
    if (m_due.empty() || m_timer.isActive()) return;
    const qint64 wait = m_due.front() - m_clock.nsecsElapsed();
    // Round up: a reply is never there before its last character is.
    m_timer.start(int(std::max<qint64>(0, (wait + 999'999) / 1'000'000)));
}

void SimPort::deliver() {
    const qint64 now = m_clock.nsecsElapsed();
    bool any = false;
    while (!m_due.empty() && m_due.front() <= now) {
        m_due.pop_front();
        const auto r = m_model.at(double(now) / 1e9);
        m_input += QByteArray::fromStdString(zel::sim::formatPacket(r));
        any = true;
    }
    schedule();
    if (any) emit readyRead();
}
