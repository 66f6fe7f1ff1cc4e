#include "app/frmzelmain.h"
#include "support/testmain.h"
#include "support/testsupport.h"

class SmokeTest : public QObject {
    Q_OBJECT
private slots:
    void constructs() {
        zeltest::writeSettingsFile(zeltest::sampleRecord()); // no FILE ERROR box
        FrmZelMain w;
        QVERIFY(w.findChild<QObject*>("cmdConnect"));
    }
};
ZEL_TEST(SmokeTest)
#include "tst_smoke.moc"
