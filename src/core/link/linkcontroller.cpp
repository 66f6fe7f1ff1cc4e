#include "core/link/linkcontroller.h"

#include "core/protocol/packetdecoder.h"
#include "core/transport/alarm.h"
#include "core/transport/serialtransport.h"
#include "core/transport/transport.h"
#include "core/transport/transportfactory.h"

#include <QDateTime>
#include <QTimer>

#include <iterator>

namespace zel {

namespace {
const QString LineSettings = QStringLiteral("9600,n,8,1");
// Requests kept with the monitor.
constexpr int InFlight = 2;
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

void LinkController::startPolling() {
    m_framer.reset();
    m_lastPacketNs = Alarm::nowNs();
    m_noData->start();
    m_poll->start();
    sendPoll();
}

// Starts afresh: whatever was asked before counts as answered or lost. One
// request first; the second goes out with its reply, so the two replies do
// not arrive together while the front end is still busy with the connect.
void LinkController::sendPoll() {
    if (!isOpen()) return;
    m_draining = false;
    m_repliesToRestart = PollRestartReplies;
    m_transport->write(OneRequest);
    m_inFlight = 1;
    // Start over if no reply completes within the retry interval.
    m_poll->start();
    awaitNextReply();
}

void LinkController::askForReplies() {
    if (m_draining || m_inFlight >= InFlight) return;
    m_transport->write(InFlight - m_inFlight == 1 ? OneRequest : TwoRequests);
    m_inFlight = InFlight;
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
    if (arrived == 0 && m_draining) sendPoll();
}

void LinkController::onPollTimer() {
    if (!isOpen()) return;
    // On a modem link, text short of a reply may be the rest of a NO CARRIER.
    const qint64 waiting = m_transport->bytesAvailable();
    if (waiting >= charactersToComplete() || (m_settings.modemLink && waiting > 0)) readData();
    sendPoll();
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
    if (m_repliesToRestart > 0 && --m_repliesToRestart == 0 && m_transport->characterTimeNs() > 0)
        m_draining = true;
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
    const auto data = m_framer.feed(std::string_view(m_read.constData(), size_t(m_read.size())));
    const int whole = int(m_read.count('x')) + int(startKept) - int(!m_framer.pending().empty());
    m_inFlight = qMax(0, m_inFlight - whole);
    if (data) {
        m_lastPacket = *data;
        m_lastPacketNs = Alarm::nowNs();
        m_lastReadings = decodePacket(std::string_view(data->data(), data->size()));
        if (m_noDataOn) setNoData(false);
        if (m_attempt > 0) callStaysUp();
        emit readingsReceived(m_lastReadings);
    } else if (m_framer.pending().empty()) {
        emit packetRejected();
    }
    // A modem that lost the call says so in the data stream, cut into as
    // many reads as the line happens to make of it.
    if (m_settings.modemLink && m_noCarrier.feed(m_read))
        QTimer::singleShot(0, this, &LinkController::callDropped);
}

} // namespace zel
