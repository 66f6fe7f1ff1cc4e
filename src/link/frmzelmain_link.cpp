#include "app/frmzelmain.h"

void FrmZelMain::cmdConnect_Click() {}
void FrmZelMain::tmrDelay_Timer() {}
void FrmZelMain::Delay(float, std::function<void()>) {}
void FrmZelMain::cancelDelay() {}
void FrmZelMain::connectDirect() {}
void FrmZelMain::connectModem() {}
void FrmZelMain::connectTail() {}
void FrmZelMain::disconnectLink() {}
void FrmZelMain::goOffLine() {}
void FrmZelMain::onPortFailed(const QString&) {}
void FrmZelMain::showPortError(const QString&, const QString&) {}
void FrmZelMain::dialStep2() {}
void FrmZelMain::onModemReply() {}
void FrmZelMain::endModemWait() {}
void FrmZelMain::modemFailed(ColorLabel*) {}
void FrmZelMain::tmrModemTimeout() {}
