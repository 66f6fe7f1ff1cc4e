// The poll: write "x", read once a reply is complete, show the raw read,
// frame it, decode the newest complete packet and poll again. Driven by
// arriving data; tmrXmit only re-sends a request that went unanswered, so an
// answering monitor costs next to nothing.
//
// Where the port can tell that a reply is down to its last character
// (replyAlmostIn), the next request goes out then: the monitor queues its
// reply behind the current one, so the line never idles between replies and
// the panel keeps up with its full speed.
#include "app/frmzelmain.h"
#include "link/serialio.h"
#include "telemetry/packetdecoder.h"

#include <QLabel>
#include <QTimer>

namespace {
const QByteArray Zeros = QByteArrayLiteral("000000000");
const QByteArray Request = QByteArrayLiteral("x");
} // namespace

void FrmZelMain::startPolling() {
    framer.reset();
    m_askedAhead = false;
    tmrXmit->start();
    sendPoll();
}

void FrmZelMain::sendPoll() {
    if (!MSComm1->isOpen()) return;
    MSComm1->write(Request);
    m_askedAhead = false;
    // Re-send if no reply completes within the retry interval.
    tmrXmit->start();
    awaitNextReply();
}

// Characters that complete the next packet: a whole reply, or the rest of
// one whose start the last read kept.
int FrmZelMain::charactersToComplete() const {
    return zel::PacketFramer::PacketSize - int(framer.pending().size());
}

void FrmZelMain::awaitNextReply() {
    const int missing = charactersToComplete();
    MSComm1->setReadThreshold(missing);
    MSComm1->awaitReply(missing);
}

void FrmZelMain::onReplyAlmostIn() {
    if (!tmrXmit->isActive() || m_askedAhead || !MSComm1->isOpen()) return;
    MSComm1->write(Request);
    m_askedAhead = true;
    m_askedAheadClock.start();
}

void FrmZelMain::tmrXmit_Timer() {
    if (!MSComm1->isOpen()) return;
    if (MSComm1->bytesAvailable() >= charactersToComplete()) RecData();
    sendPoll();
}

void FrmZelMain::onReadyRead() {
    if (m_modemWaiting) {
        onModemReply();
        return;
    }
    if (!tmrXmit->isActive()) {
        // Nobody asked: stray text on a port left open by a failed dial.
        MSComm1->discardInput();
        return;
    }
    if (MSComm1->bytesAvailable() < charactersToComplete()) return;
    RecData();
    // A reply asked for ahead cannot be complete sooner than a whole reply's
    // time after the request. Asked longer ago, it was the reply just read
    // (the one before it was lost) or it came in the same read: ask now, or
    // the poll would fall back to a request per reply plus a wait.
    const qint64 replyNs = MSComm1->characterTimeNs() * zel::PacketFramer::PacketSize;
    const bool aheadStillComing = m_askedAhead && m_askedAheadClock.nsecsElapsed() < replyNs;
    if (!aheadStillComing) {
        sendPoll();
        return;
    }
    m_askedAhead = false;
    tmrXmit->start();
    awaitNextReply();
}

void FrmZelMain::RecData() {
    if (!MSComm1->isOpen()) return;
    const QByteArray read = MSComm1->readAll();
    InputString = read;
    lblRcvdat->setText(QString::fromLatin1(read));
    if (const auto data = framer.feed(std::string_view(read.constData(), size_t(read.size())))) {
        InputString = QByteArray(data->data(), int(data->size()));
        ConvertInputString();
    }
    InputString = Zeros;
}

void FrmZelMain::ConvertInputString() {
    const zel::Readings r =
        zel::decodePacket(std::string_view(InputString.constData(), size_t(InputString.size())));
    PosPeak = r.posPeak;
    NegPeak = r.negPeak;
    CarrierLevel = r.carrierLevel;
    PeakUpdate();
    BarUpdate();
    emit packetShown();
}
