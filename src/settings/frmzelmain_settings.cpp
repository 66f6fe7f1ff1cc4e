#include "app/frmzelmain.h"

void FrmZelMain::mnuSaveDefaults_Click() {
    Save_Data();
}
void FrmZelMain::Save_Data() {}
void FrmZelMain::Restore_Data() {}
