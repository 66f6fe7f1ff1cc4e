#include "core/link/linkcontroller.h"

#include "core/protocol/packetdecoder.h"
#include "core/transport/alarm.h"
#include "core/transport/serialtransport.h"
#include "core/transport/transport.h"
#include "core/transport/transportfactory.h"

#include <QDateTime>
#include <QTimer>

#include <array>
#include <cmath>
#include <iterator>

namespace zel {

namespace {
const QString LineSettings = QStringLiteral("9600,n,8,1");
const QByteArray OneRequest = QByteArrayLiteral("x");
const QByteArray TwoRequests = QByteArrayLiteral("xx");
const QByteArray Zeros = QByteArrayLiteral("000000000");
} // namespace

LinkController::LinkController(QObject* parent)
    : QObject(parent)
    , m_factory(makeTransport) {
    auto make = [this](const char* name, int interval) {
        auto* t = new QTimer(this);
        t->setObjectName(QString::fromLatin1(name));
        t->setInterval(interval);
        return t;
    };
    m_poll = make("tmrXmit", PollRetryMs);
    m_delay = make("tmrDelay", 0);
    m_delay->setTimerType(Qt::PreciseTimer);
    m_modemTimeout = make("tmrModemTimeout", ModemReplyTimeoutMs);
    m_modemTimeout->setSingleShot(true);
    m_modemQuiet = make("tmrModemQuiet", ModemQuietMs);
    m_modemQuiet->setSingleShot(true);
    m_reconnect = make("tmrReconnect", 1000);
    m_reconnect->setSingleShot(true);
    m_noData = make("tmrNoData", 1000);
    m_noData->setTimerType(Qt::CoarseTimer);
    connect(m_reconnect, &QTimer::timeout, this, &LinkController::onReconnectTimer);
    connect(m_noData, &QTimer::timeout, this, &LinkController::onNoDataTimer);
    connect(m_poll, &QTimer::timeout, this, &LinkController::onPollTimer);
    connect(m_delay, &QTimer::timeout, this, &LinkController::onDelayTimer);
    connect(m_modemTimeout, &QTimer::timeout, this, &LinkController::onModemTimeout);
    connect(m_modemQuiet, &QTimer::timeout, this, &LinkController::onModemQuiet);
    m_read.reserve(256);
}

LinkController::~LinkController() {
    if (m_transport) m_transport->disconnect(this);
}

void LinkController::setTransportFactory(TransportFactory factory) {
    m_factory = std::move(factory);
}

void LinkController::setConnectionSettings(const ConnectionSettings& settings) {
    m_settings = settings;
}

bool LinkController::isOpen() const {
    return m_transport && m_transport->isOpen();
}

void LinkController::setState(LinkState s, const QString& detail) {
    m_state = s;
    emit stateChanged({s, QDateTime::currentMSecsSinceEpoch(), detail});
}

void LinkController::setActive(bool active, bool settingsEnabled) {
    m_active = active;
    m_settingsEnabled = settingsEnabled;
    emit activeChanged(active, settingsEnabled);
    const bool open = isOpen();
    if (open != m_linkOpen) {
        m_linkOpen = open;
        emit linkOpenChanged(open);
    }
}

void LinkController::toggleConnect() {
    if (m_active)
        disconnectLink();
    else
        connectLink();
}

void LinkController::connectLink() {
    if (m_active) return;
    // Each Connect starts the waits afresh; unattended, a first attempt
    // that fails is already a retry.
    m_attempt = 0;
    m_retrying = m_retryFirstConnect;
    setActive(true, true);
    if (m_settings.modemLink)
        connectModem();
    else
        connectDirect();
}

int LinkController::reconnectDelayMs(int attempt) {
    static constexpr int Steps[] = {1, 2, 4, 8, 16, 30};
    return 1000 * Steps[qBound(0, attempt, int(std::size(Steps)) - 1)];
}

void LinkController::connectDirect() {
    // A port left open by a failed dial is used as it is.
    if (isOpen()) {
        connectTail();
        return;
    }
    openPort(m_settings.directPort, [this] {
        setState(LinkState::Connected);
        startPolling();
        linkEstablished();
        connectTail();
    });
}

bool LinkController::openPort(const QString& portText, std::function<void()> then) {
    closeTransport();
    m_portText = portText;
    QString error;
    m_transport = m_factory(portText, &error);
    if (m_transport) {
        if (auto* serial = qobject_cast<SerialTransport*>(m_transport.get()))
            serial->setLineSettings(LineSettings);
        Transport* t = m_transport.get();
        connect(t, &QIODevice::readyRead, this, &LinkController::onReadyRead);
        connect(t, &Transport::replyOverdue, this, &LinkController::onReplyOverdue);
        connect(t, &Transport::failed, this, &LinkController::onTransportFailed);
        connect(t, &Transport::opened, this, &LinkController::onOpened);
        if (t->openLink()) {
            m_onOpen = std::move(then);
            if (t->isOpen()) onOpened();
            return true;
        }
        error = t->errorString();
        closeTransport();
    }
    if (m_retrying) {
        retryFailed(error);
        return false;
    }
    disconnectTail();
    emit portError(portText, error);
    return false;
}

void LinkController::onOpened() {
    if (!isOpen()) return;
    if (!m_linkOpen) {
        m_linkOpen = true;
        emit linkOpenChanged(true);
    }
    if (auto then = std::exchange(m_onOpen, nullptr)) then();
}

void LinkController::linkEstablished() {
    m_established = true;
    m_retrying = false;
    // A call proves itself first (callStaysUp).
    if (!m_settings.modemLink) m_attempt = 0;
    m_steadySinceNs = 0;
    m_reconnect->stop();
    if (std::exchange(m_lostOn, false)) report(AlarmKind::LinkLost, false);
}

// A valid packet while the back-off is raised: a call that has carried valid
// data for steadyCallMs() without a gap has proved itself.
void LinkController::callStaysUp() {
    if (m_steadySinceNs == 0)
        m_steadySinceNs = m_lastPacketNs;
    else if (m_lastPacketNs - m_steadySinceNs >= qint64(m_steadyCallMs) * 1'000'000)
        m_attempt = 0;
}

void LinkController::linkLost(const QString& reason) {
    cancelDelay();
    endModemWait();
    m_poll->stop();
    m_noData->stop();
    setNoData(false);
    if (m_transport && m_settings.modemLink) m_transport->setDataTerminalReady(false);
    closeTransport();
    emit displayCleared();
    // A link that never stood (an unattended first connect) was not lost.
    if (m_established && !m_lostOn) {
        m_lostOn = true;
        report(AlarmKind::LinkLost, true, reason);
    }
    m_retrying = true;
    setState(LinkState::Reconnecting, reason);
    setActive(true, false);
    m_reconnect->setInterval(reconnectDelayMs(m_attempt));
    m_attempt = qMin(m_attempt + 1, 100);
    m_reconnect->start();
}

void LinkController::retryFailed(const QString& reason) {
    linkLost(reason);
}

void LinkController::onReconnectTimer() {
    if (!m_active || !m_retrying) return;
    if (m_settings.modemLink)
        connectModem();
    else
        connectDirect();
}

void LinkController::setNoData(bool on) {
    if (m_noDataOn == on) return;
    m_noDataOn = on;
    if (on) m_steadySinceNs = 0;
    emit noDataChanged(on);
    report(AlarmKind::NoData, on);
    if (on) emit displayCleared();
}

void LinkController::onNoDataTimer() {
    if (!m_poll->isActive() || m_noDataOn) return;
    if (Alarm::nowNs() - m_lastPacketNs >= qint64(m_noDataMs) * 1'000'000) setNoData(true);
}

void LinkController::report(AlarmKind kind, bool on, const QString&) {
    emit alarmEvent({kind, on, QDateTime::currentMSecsSinceEpoch(), m_lastReadings});
}

void LinkController::closeTransport() {
    if (!m_transport) return;
    m_transport->disconnect(this);
    m_transport->close();
    // The transport may be in the middle of emitting.
    m_transport.release()->deleteLater();
    if (m_linkOpen) {
        m_linkOpen = false;
        emit linkOpenChanged(false);
    }
}

void LinkController::connectTail() {
    setActive(true, false);
}

void LinkController::disconnectLink() {
    // Whatever was pending (a dial, a busy wait, a hang-up, a reconnect) is
    // over.
    cancelDelay();
    endModemWait();
    m_poll->stop();
    m_noData->stop();
    m_reconnect->stop();
    setNoData(false);
    m_retrying = false;
    if (std::exchange(m_lostOn, false)) report(AlarmKind::LinkLost, false);
    m_established = false;
    m_onOpen = nullptr;
    // A second Disconnect while hanging up ends the hang-up at once rather
    // than starting it over.
    if (m_settings.modemLink && isOpen() && m_state != LinkState::HangingUp) {
        // DTR low hangs the modem up; it stays low while the label shows.
        setState(LinkState::HangingUp);
        m_transport->setDataTerminalReady(false);
        delay(HangUpMs, [this] {
            closeTransport();
            disconnectTail();
        });
        return;
    }
    closeTransport();
    disconnectTail();
}

void LinkController::disconnectTail() {
    m_poll->stop();
    m_noData->stop();
    m_reconnect->stop();
    setNoData(false);
    m_retrying = m_established = false;
    setActive(false, true);
    emit displayCleared();
    setState(LinkState::OffLine);
}

void LinkController::shutDown() {
    // A modem link says that it hangs up (the logger prints it); a port left
    // open by a failed dial is closed without a word, as nothing is on it.
    const bool announce = m_settings.modemLink && m_state != LinkState::OffLine;
    cancelDelay();
    endModemWait();
    m_poll->stop();
    m_noData->stop();
    m_reconnect->stop();
    m_retrying = m_established = m_lostOn = false;
    if (announce && isOpen()) setState(LinkState::HangingUp);
    if (m_transport) m_transport->setDataTerminalReady(false);
    closeTransport();
    m_active = false;
    if (announce) setState(LinkState::OffLine);
}

void LinkController::onTransportFailed(const QString& reason) {
    // The transport is already closed: stop everything that would use it.
    if (m_active && (m_established || m_retrying)) {
        if (m_retrying)
            retryFailed(reason);
        else
            linkLost(reason);
        return;
    }
    const bool wasActive = m_poll->isActive() || m_modemWaiting || m_active;
    cancelDelay();
    endModemWait();
    m_poll->stop();
    m_onOpen = nullptr;
    const QString port = m_portText;
    closeTransport();
    if (!wasActive) return;
    disconnectTail();
    emit portError(port, reason);
}

void LinkController::delay(int ms, std::function<void()> then) {
    m_delay->setInterval(ms);
    m_delayThen = std::move(then);
    m_delay->start();
}

void LinkController::cancelDelay() {
    m_delay->stop();
    m_delayThen = nullptr;
}

void LinkController::onDelayTimer() {
    m_delay->stop();
    if (auto then = std::exchange(m_delayThen, nullptr)) then();
}

// ---- Dialling ---------------------------------------------------------

void LinkController::connectModem() {
    setState(LinkState::Initializing);
    // A port still open from a dial that failed: DTR goes low now, so the
    // modem has hung up by the time the port is reopened.
    if (isOpen()) m_transport->setDataTerminalReady(false);
    delay(1000, [this] { dialAndWait(); });
}

void LinkController::dialAndWait() {
    openPort(m_settings.modemPort, [this] {
        const DialOptions o = m_settings.dialOptions();
        emit dialingCaptionChanged(dialingCaption(o));
        setState(LinkState::Dialing);
        emit beepWanted();
        // One burst, no wait for the modem's OK replies.
        for (const QByteArray& command : modemCommands(o))
            m_transport->write(command);
        m_transport->discardInput();
        m_modemText = Zeros;
        m_modemReader.reset(Zeros);
        m_modemWaiting = true;
        m_modemTimeout->start();
    });
}

void LinkController::onModemReply() {
    if (!m_modemWaiting || !isOpen() || m_transport->bytesAvailable() == 0) return;
    const QByteArray text = m_transport->readAll();
    m_modemText += text;
    // A chattering modem must not grow the text without bound.
    if (m_modemText.size() > ModemTextLimit) m_modemText.remove(0, m_modemText.size() - ModemTextLimit);
    const auto reply = m_modemReader.feed(text);
    emit modemLog(QString::fromLatin1(m_modemText));
    emit modemLog(QString::number(m_modemText.size()));
    emit modemLog(QString::fromLatin1(m_modemReader.lastLine()));
    if (reply) {
        modemReplied(*reply);
        return;
    }
    // A line begun and not ended is taken as it is if nothing follows.
    if (m_modemReader.hasOpenLine())
        m_modemQuiet->start();
    else
        m_modemQuiet->stop();
}

void LinkController::onModemQuiet() {
    if (!m_modemWaiting || !isOpen()) return;
    if (m_transport->bytesAvailable() > 0) {
        onModemReply();
        return;
    }
    if (const auto reply = m_modemReader.flush()) {
        emit modemLog(QString::fromLatin1(reply->line));
        modemReplied(*reply);
    }
}

void LinkController::modemReplied(const ModemLineReader::Reply& reply) {
    endModemWait();
    const QString words = QString::fromLatin1(reply.line).trimmed();
    emit modemWords(words);
    switch (reply.outcome) {
    case ModemOutcome::Connected:
        setState(LinkState::Connected, words);
        emit beepWanted();
        m_noCarrier.reset();
        startPolling();
        linkEstablished();
        connectTail();
        break;
    case ModemOutcome::Busy:
        modemFailed(LinkState::Busy, false, words);
        break;
    case ModemOutcome::NoDialTone:
    case ModemOutcome::Waiting:
        modemFailed(LinkState::NoDialTone, false, words);
        break;
    }
}

void LinkController::endModemWait() {
    m_modemWaiting = false;
    m_modemTimeout->stop();
    m_modemQuiet->stop();
}

void LinkController::modemFailed(LinkState s, bool hangUp, const QString& detail) {
    if (m_retrying) {
        // Bringing a lost call back, or unattended: hang up and dial again
        // later.
        retryFailed(detail);
        return;
    }
    // The modem ended the call itself: the port stays open and the bar graph
    // as it was; the next Connect reopens the port. A wait that ran out has
    // no such word from the modem, so the program hangs up itself: DTR low
    // for the three seconds the status shows, then the port is closed.
    if (hangUp && isOpen()) m_transport->setDataTerminalReady(false);
    setState(s, detail);
    delay(3000, [this, hangUp] {
        if (hangUp) closeTransport();
        setActive(false, true);
        setState(LinkState::OffLine);
    });
}

void LinkController::onModemTimeout() {
    if (!m_modemWaiting) return;
    endModemWait();
    const QString line =
        QStringLiteral("No reply from the modem within %1 s").arg(ModemReplyTimeoutMs / 1000);
    emit modemLog(line);
    emit modemWords(line);
    modemFailed(LinkState::NoDialTone, true, line);
}

// The modem said NO CARRIER among the replies: the call is gone.
void LinkController::callDropped() {
    if (!m_poll->isActive()) return;
    emit modemWords(QStringLiteral("NO CARRIER"));
    linkLost(QStringLiteral("The modem lost the call (NO CARRIER)."));
}

// ---- Polling ------------------------------------------------------------

int LinkController::pollDepthFor(double rttMs) {
    // A round trip a hair past a whole number of packets (the host's own
    // delay) asks for no extra request.
    return qBound(DirectPollDepth, int(std::ceil(qMax(0.0, rttMs) / PacketTimeMs - 0.05)) + 1, MaxPollDepth);
}

bool LinkController::crossesNetwork() const {
    return m_transport && m_transport->crossesNetwork();
}

void LinkController::startPolling() {
    m_framer.reset();
    m_lastPacketNs = Alarm::nowNs();
    m_depth = DirectPollDepth;
    m_busyDepth = 0;
    m_rttMs = -1;
    m_probes = 0;
    // Over a network the first reply may be a whole round trip away.
    m_poll->setInterval(crossesNetwork() ? FirstNetworkReplyMs : PollRetryMs);
    emit pollStatsChanged(m_depth, m_rttMs);
    m_noData->start();
    m_poll->start();
    sendPoll(true);
}

// Starts afresh: whatever was asked before counts as answered or lost. One
// request first; the second goes out with its reply, so the two replies do
// not arrive together while the front end is still busy with the connect.
void LinkController::sendPoll(bool lineIdle) {
    if (!isOpen()) return;
    m_draining = false;
    m_holdTo = -1;
    m_deepProbe = m_windowClean = false;
    m_repliesToRestart = PollRestartReplies;
    m_transport->write(OneRequest);
    m_inFlight = 1;
    // A start after a reply went missing may still see replies to earlier
    // requests, and the count be wrong: only one from an idle line is timed,
    // and across a network the next turn starts afresh from one.
    m_probeAhead = lineIdle ? 0 : -1;
    if (!lineIdle) m_probes = ProbesPerRestart - 1;
    if (lineIdle) m_probeNs = Alarm::nowNs();
    // Start over if no reply completes within the retry interval.
    m_poll->start();
    awaitNextReply();
}

void LinkController::askForReplies() {
    if (m_draining || m_inFlight >= m_depth) return;
    if (m_holdTo >= 0) {
        if (m_inFlight > m_holdTo) return;
        m_holdTo = -1;
        if (m_probeAhead < 0) {
            m_probeAhead = m_inFlight;
            m_probeNs = Alarm::nowNs();
        }
    }
    // One more than the reply just read at most: a deeper poll builds up a
    // request a reply, and the monitor never finds a burst.
    const int n = qMin(m_depth - m_inFlight, 2);
    m_transport->write(n == 1 ? OneRequest : TwoRequests);
    m_inFlight += n;
}

// A device server that gathers characters while the line is busy (a packing
// delay, ser2net's chardelay) sends a lone reply at once, so a round trip
// timed from an idle line falls short of the busy line's. If the replies of
// the last turn came measurably slower than the line can send them, with
// the depth in use throughout, the line stood idle: more requests, for as
// long as the round trip measured stays where it is.
void LinkController::checkLineBusy() {
    const qint64 now = Alarm::nowNs();
    const double msPerReply = m_windowReplies > 0 ? double(now - m_windowNs) / 1e6 / m_windowReplies : 0;
    if (m_windowClean && m_windowReplies >= PollRestartReplies / 2 && msPerReply > 1.06 * PacketTimeMs &&
        m_depth < qMin(MaxPollDepth, pollDepthFor(m_rttMs) + MaxGatherDepth)) {
        // The requests in flight took this long a reply, so a busy line
        // needs about this many (and one more, as for the round trip).
        m_busyDepth = qBound(m_depth + 1, int(std::ceil(m_depth * msPerReply / PacketTimeMs)) + 1,
                             qMin(MaxPollDepth, pollDepthFor(m_rttMs) + MaxGatherDepth));
        m_depth = m_busyDepth;
        emit pollStatsChanged(m_depth, m_rttMs);
    }
    m_windowNs = now;
    m_windowReplies = 0;
    m_windowClean = true;
}

void LinkController::roundTripMeasured(qint64 ns) {
    const double ms = qMax(0.0, double(ns) / 1e6 - PacketTimeMs);
    // A time is never short of the round trip, but may be long by a reply
    // held up by the host or the network: the lesser of the last two.
    const double rtt = m_rttMs < 0 ? ms : qMin(ms, m_lastRttSampleMs);
    m_lastRttSampleMs = ms;
    int depth = crossesNetwork() ? pollDepthFor(rtt) : DirectPollDepth;
    // The first time includes the device server opening its port, and after
    // a fall of more than jitter the reply may have queued behind the
    // requests not held back: the round trip may be shorter still. The next
    // measurement comes soon and from an idle line.
    if (crossesNetwork() && (m_rttMs < 0 || depth <= pollDepthFor(m_rttMs) - 2)) {
        m_deepProbe = true;
        m_repliesToRestart = qMin(m_repliesToRestart, 2 * depth);
        // A network that changed this much: what its busy line needed is
        // found again.
        if (m_rttMs >= 0 && depth <= pollDepthFor(m_rttMs) - 3) m_busyDepth = 0;
    }
    // A device server gathers for tens of milliseconds at most; more would
    // be requests lost at the monitor, not a line left idle.
    m_busyDepth = qMin(m_busyDepth, depth + MaxGatherDepth);
    depth = qMax(depth, m_busyDepth);
    const bool changed = depth != m_depth || std::abs(rtt - m_rttMs) >= 0.1;
    m_rttMs = rtt;
    m_depth = depth;
    // A reply may take twice the round trip, and a device server that
    // gathers characters may hold it a while more, before tmrXmit gives up.
    if (crossesNetwork()) m_poll->setInterval(NetworkRetryMs + int(2 * rtt));
    if (changed) emit pollStatsChanged(m_depth, m_rttMs);
}

// Characters that complete the next packet: a whole reply, or the rest of
// one whose start the last read kept.
int LinkController::charactersToComplete() const {
    return PacketFramer::PacketSize - int(m_framer.pending().size());
}

void LinkController::awaitNextReply() {
    if (isOpen()) m_transport->awaitReply(charactersToComplete());
}

void LinkController::onReplyOverdue(int arrived) {
    if (m_modemWaiting || !m_poll->isActive() || !isOpen()) return;
    // Part of it is in: the rest follows as readyRead. Nothing of it while
    // draining: the line is idle at last. Nothing otherwise: the monitor is
    // slow, or the requests were lost; tmrXmit starts over if so.
    if (arrived == 0 && m_draining) sendPoll(true);
}

void LinkController::onPollTimer() {
    if (!isOpen()) return;
    // On a modem link, text short of a reply may be the rest of a NO CARRIER.
    const qint64 waiting = m_transport->bytesAvailable();
    if (waiting >= charactersToComplete() || (m_settings.modemLink && waiting > 0)) readData();
    sendPoll(false);
}

void LinkController::onReadyRead() {
    if (m_modemWaiting) {
        onModemReply();
        return;
    }
    if (!isOpen()) return;
    if (!m_poll->isActive()) {
        // Nobody asked: stray text on a port left open by a failed dial.
        m_transport->discardInput();
        return;
    }
    if (m_transport->bytesAvailable() < charactersToComplete()) return;
    readData();
    if (!isOpen()) return;
    // Only a transport that knows the line's timing can tell when it falls
    // idle; the built-in stand-in loses nothing and needs no fresh start.
    // Across a network most of these turns time the round trip instead.
    if (m_repliesToRestart > 0 && --m_repliesToRestart == 0) {
        if (crossesNetwork()) checkLineBusy();
        if (crossesNetwork() && ++m_probes % ProbesPerRestart != 0) {
            // A quarter of the requests held back: enough for the line to
            // fall idle even if the round trip has fallen by as much.
            const bool deep = std::exchange(m_deepProbe, false);
            m_holdTo = deep ? 0 : m_depth - 1 - qMax(1, m_depth / 4);
            m_windowClean = !deep;
            m_repliesToRestart = PollRestartReplies;
        } else if (crossesNetwork() || m_transport->characterTimeNs() > 0) {
            m_draining = true;
            // What a busy line needed is tried one request less now and then.
            if (m_busyDepth > 0) {
                m_busyDepth = qMax(0, m_busyDepth - 1);
                m_depth = qMax(pollDepthFor(m_rttMs), m_busyDepth);
            }
        }
    }
    askForReplies();
    m_poll->start();
    awaitNextReply();
}

void LinkController::readData() {
    m_read.resize(qMax<qint64>(m_transport->bytesAvailable(), 1));
    const qint64 n = m_transport->read(m_read.data(), m_read.size());
    m_read.resize(qMax<qint64>(n, 0));
    emit rawRead(m_read);
    // Replies read whole, each counted by its "x": a kept start is a reply
    // still coming in, counted when it completes.
    const bool startKept = !m_framer.pending().empty();
    // Every whole packet of the read, oldest first, fed to the framer one
    // reply at a time: a device server that gathers characters hands on a
    // few replies at once. More than MaxPacketsPerRead is a backlog that a
    // stalled network let go of all at once: only its newest is current.
    std::array<PacketFramer::Data, MaxPacketsPerRead> found;
    int packets = 0;
    for (qsizetype from = 0; from < m_read.size();) {
        qsizetype next = m_read.indexOf('x', from + 1);
        if (next < 0) next = m_read.size();
        if (const auto data = m_framer.feed(std::string_view(m_read.constData() + from, size_t(next - from))))
            found[packets++ % MaxPacketsPerRead] = *data;
        from = next;
    }
    const int whole = int(m_read.count('x')) + int(startKept) - int(!m_framer.pending().empty());
    m_inFlight = qMax(0, m_inFlight - whole);
    m_windowReplies += whole;
    // The timed reply counts only if it is the newest of its read: read
    // together with later ones, it was not read when it arrived.
    if (m_probeAhead >= 0 && whole > 0) {
        m_probeAhead -= whole;
        if (m_probeAhead == -1) roundTripMeasured(Alarm::nowNs() - m_probeNs);
        m_probeAhead = qMax(m_probeAhead, -1);
    }
    if (packets > 0) {
        m_lastPacketNs = Alarm::nowNs();
        for (int i = packets > MaxPacketsPerRead ? packets - 1 : 0; i < packets; ++i) {
            m_lastPacket = found[i % MaxPacketsPerRead];
            m_lastReadings = decodePacket(std::string_view(m_lastPacket.data(), m_lastPacket.size()));
            if (m_noDataOn) setNoData(false);
            if (m_attempt > 0) callStaysUp();
            emit readingsReceived(m_lastReadings);
            if (!isOpen()) return;
        }
    } else if (m_framer.pending().empty()) {
        emit packetRejected();
    }
    // A modem that lost the call says so in the data stream, cut into as
    // many reads as the line happens to make of it.
    if (m_settings.modemLink && m_noCarrier.feed(m_read))
        QTimer::singleShot(0, this, &LinkController::callDropped);
}

} // namespace zel
