// The poll: write "x", read once ten or more characters are waiting, show
// the raw read, frame it, decode the newest complete packet and poll again
// at once. Driven by arriving data; tmrXmit only re-sends a request that went
// unanswered, so an answering monitor costs next to nothing.
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
    MSComm1->setReadThreshold(zel::PacketFramer::PacketSize);
    tmrXmit->start();
    sendPoll();
}

void FrmZelMain::sendPoll() {
    if (!MSComm1->isOpen()) return;
    MSComm1->write(Request);
    MSComm1->awaitReply(zel::PacketFramer::PacketSize);
    // Re-send if no reply completes within the retry interval.
    tmrXmit->start();
}

void FrmZelMain::tmrXmit_Timer() {
    if (!MSComm1->isOpen()) return;
    if (MSComm1->bytesAvailable() >= zel::PacketFramer::PacketSize) RecData();
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
    if (MSComm1->bytesAvailable() < zel::PacketFramer::PacketSize) return;
    RecData();
    sendPoll();
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
