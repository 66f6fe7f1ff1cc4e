// The real main window and serial transport against zel-monitor-sim, direct and through the modem.
#include "support/simprocess.h"
#include "support/testmain.h"
#include "support/testsupport.h"

#include "core/link/linkcontroller.h"
#include "core/session/monitorsession.h"
#include "gui/frmzelmain.h"
#include "gui/frmzelmodem.h"
#include "gui/indicator.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>

class PanelEndToEndTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    std::unique_ptr<FrmZelMain> w;
    std::unique_ptr<zeltest::SimProcess> sim;
    int decoded = 0; // readings received

    bool startSim(const QStringList& args) {
        sim = std::make_unique<zeltest::SimProcess>();
        if (sim->start(args)) return true;
        qWarning("%s", qPrintable(sim->errorText()));
        return false;
    }
    void connectTo(const QString& port) {
        w->frmZelModem->optDirect->setChecked(true);
        w->frmZelModem->cmbPort->setEditText(port);
        w->cmdConnect->click();
    }
    void startModem() {
        QVERIFY(
            startSim({"--modem", "--dial-delay", "100", "--busy-number", "222", "--no-dialtone-number", "333",
                      "--no-carrier-number", "777", "--no-answer-number", "888", "--silent-number", "444"}));
        w->frmZelModem->optModem->setChecked(true);
        w->frmZelModem->cmbModem->setEditText(sim->devicePath());
    }
    void dial(const QString& number) {
        w->frmZelModem->txtPhoneNumber->setText(number);
        w->cmdConnect->click();
        QCOMPARE(shownStatus(), QStringLiteral("lblInitializing"));
        link()->onDelayTimer();
        QCOMPARE(shownStatus(), QStringLiteral("lblDialing"));
    }
    void delayEndsOffLine() {
        link()->onDelayTimer();
        QCOMPARE(shownStatus(), QStringLiteral("lblOffLine"));
    }
    zel::LinkController* link() const { return w->session()->link(); }
    QString shownStatus() const {
        for (auto* l : {w->lblOffLine, w->lblNoDialTone, w->lblInitializing, w->lblHanging, w->lblDialing,
                        w->lblConnected, w->lblBusy, w->lblReconnecting, w->lblNoData})
            if (!l->isHidden()) return l->objectName();
        return {};
    }

private slots:
    void init() {
        zeltest::writeSettingsFile(zeltest::sampleRecord());
        w = std::make_unique<FrmZelMain>();
        decoded = 0;
        connect(w->session(), &zel::MonitorSession::readingsReceived, this, [this] { ++decoded; });
    }
    void cleanup() {
        w.reset();
        sim.reset();
    }

    // An adapter back under the same name is picked up again, with no box to click.
    void vanishingPortComesBackByItself() {
        const QString stable = dir.filePath(QStringLiteral("by-id-monitor"));
        QVERIFY(startSim({"--vanish-after", "5", "--vanish-gap", "300", "--link", stable}));
        connectTo(stable);
        QTRY_COMPARE_WITH_TIMEOUT(shownStatus(), QStringLiteral("lblReconnecting"), 10000);
        QVERIFY(!QApplication::activeModalWidget());
        QCOMPARE(w->cmdConnect->text(), QStringLiteral("&Disconnect"));
        const int before = decoded;
        QTRY_COMPARE_WITH_TIMEOUT(shownStatus(), QStringLiteral("lblConnected"), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(decoded > before + 3, 5000);
    }

    // A failed call shows its outcome 3 s, port open, then Off Line (hung up
    // only after a timeout); the next call polls; Disconnect hangs up and closes.
    void modemOutcomes_data() {
        QTest::addColumn<QString>("number");
        QTest::addColumn<QString>("label");
        for (auto [name, number] : {std::pair{"busy", "222"},
                                    {"no dial tone", "333"},
                                    {"no carrier", "777"},
                                    {"no answer", "888"},
                                    {"never answers", "444"}})
            QTest::newRow(name) << number << (number == QLatin1String("222") ? "lblBusy" : "lblNoDialTone");
    }
    void modemOutcomes() {
        QFETCH(QString, number);
        QFETCH(QString, label);
        const bool silent = number == QLatin1String("444");
        startModem();
        dial(number);
        if (silent) {
            QTest::qWait(300);
            QCOMPARE(shownStatus(), QStringLiteral("lblDialing"));
            link()->onModemTimeout();
        }
        QTRY_COMPARE_WITH_TIMEOUT(shownStatus(), label, 5000);
        QCOMPARE(std::pair(w->findChild<QTimer*>(QStringLiteral("tmrDelay"))->interval(), link()->isOpen()),
                 std::pair(3000, true));
        delayEndsOffLine();
        QCOMPARE(std::pair(link()->isOpen(), w->cmdConnect->text()),
                 std::pair(!silent, QStringLiteral("&Connect")));
        dial(QStringLiteral("5551234"));
        QTRY_COMPARE_WITH_TIMEOUT(shownStatus(), QStringLiteral("lblConnected"), 5000);
        QVERIFY(!w->mnuModemSettings->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(decoded >= 10, 5000);
        QVERIFY(w->picshow->count() >= 3);
        w->cmdConnect->click();
        QCOMPARE(shownStatus(), QStringLiteral("lblHanging"));
        delayEndsOffLine();
        QVERIFY(!link()->isOpen());
    }
};
ZEL_TEST(PanelEndToEndTest)
#include "tst_panel_e2e.moc"
