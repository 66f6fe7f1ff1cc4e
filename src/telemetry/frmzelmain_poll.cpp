// The poll keeps two requests with the monitor, the one it is answering and
// one queued behind it, so each reply starts the moment the one before ends
// and the line never idles. Each reply is read once it is complete: the raw
// read is shown, framed, the newest complete packet decoded, and the request
// after next goes out. Driven by arriving data; tmrXmit only starts the poll
// over when no reply completes for a while, so an answering monitor costs
// next to nothing.
//
// The requests in flight are counted down by the replies seen ("x" starts
// each). A reply lost on the line, or an "x" in noise, would leave the count
// wrong for good, so every few seconds the poll asks for nothing until the
// line falls idle, then starts afresh.
#include "app/frmzelmain.h"
#include "link/serialio.h"
#include "telemetry/packetdecoder.h"

#include <QLabel>
#include <QTimer>

namespace {
const QByteArray Zeros = QByteArrayLiteral("000000000");
// Requests kept with the monitor.
constexpr int InFlight = 2;
const QByteArray OneRequest = QByteArrayLiteral("x");
const QByteArray TwoRequests = QByteArrayLiteral("xx");
} // namespace

void FrmZelMain::startPolling() {
    framer.reset();
    tmrXmit->start();
    sendPoll();
}

// Starts afresh: whatever was asked before counts as answered or lost. One
// request first; the second goes out with its reply, so the two replies do
// not arrive together while the window is still busy with the connect.
void FrmZelMain::sendPoll() {
    if (!MSComm1->isOpen()) return;
    m_draining = false;
    m_repliesToRestart = PollRestartReplies;
    MSComm1->write(OneRequest);
    m_inFlight = 1;
    // Start over if no reply completes within the retry interval.
    tmrXmit->start();
    awaitNextReply();
}

void FrmZelMain::askForReplies() {
    if (m_draining || m_inFlight >= InFlight) return;
    MSComm1->write(InFlight - m_inFlight == 1 ? OneRequest : TwoRequests);
    m_inFlight = InFlight;
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

void FrmZelMain::onReplyOverdue(int arrived) {
    if (m_modemWaiting || !tmrXmit->isActive() || !MSComm1->isOpen()) return;
    // Part of it is in: the rest follows as readyRead. Nothing of it while
    // draining: the line is idle at last. Nothing otherwise: the monitor is
    // slow, or the requests were lost; tmrXmit starts over if so.
    if (arrived == 0 && m_draining) sendPoll();
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
    // Only a port that knows the line's timing can tell when it falls idle;
    // the built-in stand-in loses nothing and needs no fresh start.
    if (m_repliesToRestart > 0 && --m_repliesToRestart == 0 && MSComm1->characterTimeNs() > 0)
        m_draining = true;
    askForReplies();
    tmrXmit->start();
    awaitNextReply();
}

void FrmZelMain::RecData() {
    if (!MSComm1->isOpen()) return;
    const QByteArray read = MSComm1->readAll();
    InputString = read;
    lblRcvdat->setText(QString::fromLatin1(read));
    // Replies read whole, each counted by its "x": a kept start is a reply
    // still coming in, counted when it completes.
    const bool startKept = !framer.pending().empty();
    const auto data = framer.feed(std::string_view(read.constData(), size_t(read.size())));
    const int whole = int(read.count('x')) + int(startKept) - int(!framer.pending().empty());
    m_inFlight = qMax(0, m_inFlight - whole);
    if (data) {
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
