#include "app/frmzelmain.h"

void FrmZelMain::tmrXmit_Timer() {}
void FrmZelMain::RecData() {}
void FrmZelMain::ConvertInputString() {}
void FrmZelMain::onReadyRead() {}
void FrmZelMain::startPolling() {}
void FrmZelMain::sendPoll() {}
