// The main window's indicators: bar graph with peak hold and audio-loss
// supervision, peak flashers and carrier alarm, the selector, the threshold
// scroll bars, the beeper and the speaker switch.
//
// These run once per packet, so they allocate nothing in the steady state
// and touch only widgets whose state changes.
#include "app/frmzelmain.h"

#include "link/serialio.h"
#include "panel/colours.h"
#include "panel/flashers.h"
#include "panel/indicator.h"

#include <QLineEdit>
#include <QScrollBar>
#include <QTimer>

#include <cstdio>

namespace {

using namespace zel::colour;
constexpr QColor YellowOut = DimYellow;
constexpr QColor SelectLit = Green;
constexpr QColor SelectUnlit = DimGreen;

// Starts a timer only when it is stopped: a running timer keeps its
// schedule, which the flasher hold times and the audio-loss delay rely on.
void enable(QTimer* t) {
    if (!t->isActive()) t->start();
}

// Writes a threshold into its text box unless it already reads so, without
// building a string for the common case of no change.
void showThreshold(QLineEdit* box, int value) {
    char digits[12];
    const int n = std::snprintf(digits, sizeof digits, "%d", value);
    const QString current = box->text();
    if (current == QLatin1String(digits, n)) return;
    box->setText(QString::fromLatin1(digits, n));
}

// A flasher's hold time is over.
void putOut(Indicator* led, const QColor& out, QTimer* hold) {
    led->setFillColor(out);
    hold->stop();
}

void toggleSpeaker(FrmZelMain& w) {
    if (w.imgSpeakerOff->isHidden()) {
        w.imgSpeakerOff->show();
        w.imgSpeakerOn->hide();
    } else {
        w.imgSpeakerOff->hide();
        w.imgSpeakerOn->show();
    }
}

} // namespace

void FrmZelMain::BarUpdate() {
    float value = 0;
    switch (BarSelect) {
    case 0:
        value = PosPeak;
        break;
    case 1:
        value = NegPeak;
        break;
    case 2:
        value = CarrierLevel;
        break;
    default:
        break;
    }
    barGraph.update(int(value));
    applyBarGraph();

    // Audio supervision: both peaks silent starts the delay once; any audible
    // peak cancels it and puts the LED out.
    if (PosPeak >= 1 || NegPeak >= 1) {
        tmrAudio->stop();
        shpAudioLed->setFillColor(RedOut);
    } else {
        enable(tmrAudio);
    }
}

void FrmZelMain::applyBarGraph() {
    const zel::BarGraph::Bits& leds = barGraph.leds();
    const zel::BarGraph::Bits& dots = barGraph.dots();
    const zel::BarGraph::Bits ledChanges = leds ^ m_shownLeds;
    const zel::BarGraph::Bits dotChanges = dots ^ m_shownDots;
    if (ledChanges.none() && dotChanges.none()) return;
    // One repaint request for the run of switched segments, with a region
    // kept for that run: a new region for each request would cost Qt an
    // allocation or two with every packet.
    int first = -1, last = -1;
    for (int i = 1; i < zel::BarGraph::Elements; ++i) {
        if (ledChanges[i]) picLed[i]->setLit(leds[i], Indicator::Repaint::ByCaller);
        if (dotChanges[i]) picDot[i]->setLit(dots[i], Indicator::Repaint::ByCaller);
        if (!ledChanges[i] && !dotChanges[i]) continue;
        if (first < 0) first = i;
        last = i;
    }
    m_panel->update(m_barSpans.span(first, last));
    m_shownLeds = leds;
    m_shownDots = dots;
}

void FrmZelMain::ClearDisplay() {
    barGraph.clear();
    for (int i = 1; i < zel::BarGraph::Elements; ++i) {
        picDot[i]->setLit(false);
        picLed[i]->setLit(false);
    }
    m_shownLeds.reset();
    m_shownDots.reset();
}

void FrmZelMain::tmrAudio_Timer() {
    if (MSComm1->isOpen()) {
        SecBeep();
        shpAudioLed->setFillColor(Red);
        SecBeep();
    } else {
        // Disconnected: put the alarm out and silence the carrier beeper; the
        // delay keeps running until audio is seen again.
        shpAudioLed->setFillColor(RedOut);
        tmrSecBeep->stop();
    }
}

void FrmZelMain::PeakUpdate() {
    showThreshold(txtPkPosLed, vsbPkPosLed->value());
    showThreshold(txtPkNegLed, vsbPkNegLed->value());

    // A flasher is only ever lit here; its hold timer puts it out.
    const zel::FlasherHits hits =
        zel::evaluateFlashers(PosPeak, NegPeak, vsbPkPosLed->value(), vsbPkNegLed->value());
    // One beep for each flasher lit.
    auto light = [this](Indicator* led, const QColor& lit, QTimer* hold) {
        led->setFillColor(lit);
        enable(hold);
        SecBeep();
    };
    if (hits.posVar) light(shpPkPosLed, Yellow, tmrPkPosVar);
    if (hits.negVar) light(shpPkNegLed, Yellow, tmrPkNegVar);
    if (hits.pos125) light(shpPkPos125Led, Red, tmrPkPos125);
    if (hits.neg100) light(shpPkNeg100Led, Red, tmrPkNeg100);

    if (MSComm1->isOpen() && !zel::carrierInWindow(CarrierLevel)) {
        shpCarrierLed->setFillColor(Red);
        enable(tmrSecBeep);
    } else {
        shpCarrierLed->setFillColor(RedOut);
        tmrSecBeep->stop();
    }
}

void FrmZelMain::tmrPkPos125_Timer() {
    putOut(shpPkPos125Led, RedOut, tmrPkPos125);
}

void FrmZelMain::tmrPkNeg100_Timer() {
    putOut(shpPkNeg100Led, RedOut, tmrPkNeg100);
}

void FrmZelMain::tmrPkPosVar_Timer() {
    putOut(shpPkPosLed, YellowOut, tmrPkPosVar);
}

void FrmZelMain::tmrPkNegVar_Timer() {
    putOut(shpPkNegLed, YellowOut, tmrPkNegVar);
}

void FrmZelMain::SecBeep() {
    if (!MSComm1->isOpen()) return;
    if (!imgSpeakerOn->isHidden()) beep();
}

void FrmZelMain::tmrSecBeep_Timer() {
    SecBeep();
}

void FrmZelMain::cmdSelect_Click() {
    ++BarSelect;
    if (BarSelect < 0 || BarSelect > 2) BarSelect = 0;
    // The bar follows with the next packet; the peak hold is kept.
    for (short i = 0; i < 3; ++i)
        shpSelectLed[i]->setFillColor(i == BarSelect ? SelectLit : SelectUnlit);
}

void FrmZelMain::vsbPkPosLed_Change() {
    PeakUpdate();
}

void FrmZelMain::vsbPkNegLed_Change() {
    PeakUpdate();
}

void FrmZelMain::imgSpeakerOn_Click() {
    toggleSpeaker(*this);
}

void FrmZelMain::imgSpeakerOff_Click() {
    toggleSpeaker(*this);
}
