#include "app/frmzelmain.h"
#include "support/testmain.h"

class SmokeTest : public QObject {
    Q_OBJECT
private slots:
    void constructs() {
        FrmZelMain w;
        QVERIFY(w.findChild<QObject*>("cmdConnect"));
    }
};
ZEL_TEST(SmokeTest)
#include "tst_smoke.moc"
