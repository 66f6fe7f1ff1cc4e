#include "app/frmzelmain.h"

void FrmZelMain::BarUpdate() {}
void FrmZelMain::PeakUpdate() {}
void FrmZelMain::ClearDisplay() {}
void FrmZelMain::SecBeep() {}
void FrmZelMain::cmdSelect_Click() {}
void FrmZelMain::vsbPkPosLed_Change() {
    PeakUpdate();
}
void FrmZelMain::vsbPkNegLed_Change() {
    PeakUpdate();
}
void FrmZelMain::imgSpeakerOn_Click() {}
void FrmZelMain::imgSpeakerOff_Click() {}
void FrmZelMain::tmrAudio_Timer() {}
void FrmZelMain::tmrSecBeep_Timer() {}
void FrmZelMain::tmrPkPos125_Timer() {}
void FrmZelMain::tmrPkNeg100_Timer() {}
void FrmZelMain::tmrPkPosVar_Timer() {}
void FrmZelMain::tmrPkNegVar_Timer() {}
void FrmZelMain::applyBarGraph() {}
