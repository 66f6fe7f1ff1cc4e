// The panel against zel-monitor-sim on a pseudo-terminal: the real main
// window and the real serial transport, directly and through the modem.
#include "support/simprocess.h"
#include "support/testmain.h"
#include "support/testsupport.h"

#include "core/link/linkcontroller.h"
#include "core/monitor/monitormodel.h"
#include "core/session/monitorsession.h"
#include "gui/frmzelmain.h"
#include "gui/frmzelmodem.h"
#include "gui/indicator.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

namespace {

struct Reading {
    float pos, neg, carrier;
    bool operator==(const Reading&) const = default;
};
size_t qHash(const Reading& r, size_t seed = 0) {
    return qHashMulti(seed, r.pos, r.neg, r.carrier);
}

// Bar positions of a raw field, the monitor's scale.
float position(int raw) {
    return raw <= 39 || raw > 255 ? 0.0f : float(((raw - 39) * 25) / 98);
}
Reading readingOf(const QByteArray& nine) {
    return {position(nine.mid(0, 3).toInt()), position(nine.mid(3, 3).toInt()),
            position(nine.mid(6, 3).toInt())};
}

int logLines(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? int(f.readAll().count('\n')) : 0;
}

} // namespace

class PanelEndToEndTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    std::unique_ptr<FrmZelMain> w;
    std::unique_ptr<zeltest::SimProcess> sim;
    QList<Reading> decoded;

    QString writeScript(const QList<QByteArray>& lines) {
        const QString path = dir.filePath(QStringLiteral("script.txt"));
        QFile f(path);
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        for (const QByteArray& l : lines)
            f.write(l + '\n');
        return path;
    }
    bool startSim(const QStringList& args) {
        sim = std::make_unique<zeltest::SimProcess>();
        if (!sim->start(args)) {
            qWarning("%s", qPrintable(sim->errorText()));
            return false;
        }
        return true;
    }
    void connectTo(const QString& port) {
        w->frmZelModem->optDirect->setChecked(true);
        w->frmZelModem->cmbPort->setEditText(port);
        w->cmdConnect->click();
    }
    QTimer* timer(const char* name) const {
        auto* t = w->findChild<QTimer*>(QLatin1String(name));
        if (!t) qFatal("no timer %s", name);
        return t;
    }
    void startModem() {
        QVERIFY(
            startSim({"--modem", "--dial-delay", "100", "--busy-number", "222", "--no-dialtone-number", "333",
                      "--no-carrier-number", "777", "--no-answer-number", "888", "--silent-number", "444"}));
        w->frmZelModem->optModem->setChecked(true);
        w->frmZelModem->cmbModem->setEditText(sim->devicePath());
    }
    // Connect, and the first second of it.
    void dial(const QString& number) {
        w->frmZelModem->txtPhoneNumber->setText(number);
        w->cmdConnect->click();
        QCOMPARE(shownStatus(), QStringLiteral("lblInitializing"));
        w->session()->link()->onDelayTimer();
        QCOMPARE(shownStatus(), QStringLiteral("lblDialing"));
    }
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
        decoded.clear();
        connect(w->session(), &zel::MonitorSession::readingsReceived, this, [this](const zel::Readings& r) {
            decoded.append({r.posPeak, r.negPeak, r.carrierLevel});
        });
    }
    void cleanup() {
        w.reset();
        sim.reset();
    }

    void packetsAreDecodedInOrder() {
        const QList<QByteArray> script = {"196040181", "216080199", "243196210",
                                          "100100100", "255255255", "050060070"};
        QVERIFY(startSim({QStringLiteral("--script"), writeScript(script)}));
        connectTo(sim->devicePath());
        QCOMPARE(shownStatus(), QStringLiteral("lblConnected"));
        QTRY_VERIFY_WITH_TIMEOUT(decoded.size() >= 8, 10000);
        // In the script's order, each exactly as sent. A panel held up for
        // longer than a reply reads two at once and shows the newer, so a
        // reading may be passed over, but never more than a few here.
        qsizetype at = 0;
        QSet<qsizetype> seen;
        for (const Reading& r : decoded) {
            while (at < script.size() && readingOf(script[at]) != r)
                ++at;
            QVERIFY2(at < script.size(), "a reading out of order or never sent");
            seen.insert(at);
        }
        QVERIFY2(seen.size() >= script.size() - 2, qPrintable(QString::number(seen.size())));
        // The last line is held.
        QCOMPARE(decoded.last(), readingOf(script.last()));
        // The raw read is a piece of the stream; with the next reply right
        // behind, a late read may start or end inside a packet.
        QVERIFY2(QRegularExpression(QStringLiteral("^[x0-9]+$")).match(w->lblRcvdat->text()).hasMatch(),
                 qPrintable(w->lblRcvdat->text()));
    }

    void faultyStreamNeverDecodesAWrongReading() {
        QList<QByteArray> script;
        for (int i = 0; i < 20; ++i)
            script << QByteArray::number(100 + i) + QByteArray::number(150 + i) + QByteArray::number(180 + i);
        const QString log = dir.filePath(QStringLiteral("faults.log"));
        QVERIFY(startSim({"--script", writeScript(script), "--loop", "--garble", "3", "--split", "4",
                          "--noise", "5", "--drop", "7", "--log", log}));
        QSet<Reading> sent;
        for (const QByteArray& l : script)
            sent.insert(readingOf(l));
        connectTo(sim->devicePath());
        QTRY_VERIFY_WITH_TIMEOUT(decoded.size() >= 120, 20000);
        for (const Reading& r : decoded)
            QVERIFY2(sent.contains(r),
                     qPrintable(QStringLiteral("%1 %2 %3").arg(r.pos).arg(r.neg).arg(r.carrier)));
        // Dropped replies were asked for again: the poll kept going.
        QVERIFY(logLines(log) > decoded.size());
        QCOMPARE(shownStatus(), QStringLiteral("lblConnected"));
    }

    void disconnectStopsTheTraffic() {
        const QString log = dir.filePath(QStringLiteral("stop.log"));
        QVERIFY(startSim({"--log", log}));
        connectTo(sim->devicePath());
        QTRY_VERIFY_WITH_TIMEOUT(decoded.size() >= 5, 5000);
        w->cmdConnect->click();
        QCOMPARE(shownStatus(), QStringLiteral("lblOffLine"));
        QTest::qWait(100);
        const int replies = logLines(log);
        const int shown = int(decoded.size());
        QTest::qWait(300);
        QCOMPARE(logLines(log), replies);
        QCOMPARE(decoded.size(), shown);
        for (int i = 1; i <= 56; ++i)
            QVERIFY(!w->picLed[i]->isLit());
    }

    // The adapter goes away and comes back under the same name: nobody is
    // asked to click OK, the panel shows Reconnecting and picks it up again.
    void vanishingPortComesBackByItself() {
        QTemporaryDir dir;
        const QString stable = dir.filePath(QStringLiteral("by-id-monitor"));
        QVERIFY(startSim({"--vanish-after", "5", "--vanish-gap", "300", "--link", stable}));
        connectTo(stable);
        QTRY_COMPARE_WITH_TIMEOUT(shownStatus(), QStringLiteral("lblReconnecting"), 10000);
        QVERIFY(!QApplication::activeModalWidget());
        QCOMPARE(w->cmdConnect->text(), QStringLiteral("&Disconnect"));
        const int before = int(decoded.size());
        QTRY_COMPARE_WITH_TIMEOUT(shownStatus(), QStringLiteral("lblConnected"), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(decoded.size() > before + 3, 5000);
    }

    // ---- Through the stand-in modem ----

    // A call the modem ends itself shows its outcome for three seconds with
    // the port left open, then Off Line; the next Connect gets through.
    void modemOutcomes_data() {
        QTest::addColumn<QString>("number");
        QTest::addColumn<QString>("label");
        QTest::newRow("busy") << "222"
                              << "lblBusy";
        QTest::newRow("no dial tone") << "333"
                                      << "lblNoDialTone";
        QTest::newRow("no carrier") << "777"
                                    << "lblNoDialTone";
        QTest::newRow("no answer") << "888"
                                   << "lblNoDialTone";
    }
    void modemOutcomes() {
        QFETCH(QString, number);
        QFETCH(QString, label);
        startModem();
        dial(number);
        QTRY_COMPARE_WITH_TIMEOUT(shownStatus(), label, 5000);
        QCOMPARE(timer("tmrDelay")->interval(), 3000);
        QVERIFY(w->session()->link()->isOpen());
        w->session()->link()->onDelayTimer();
        QCOMPARE(shownStatus(), QStringLiteral("lblOffLine"));
        QCOMPARE(w->cmdConnect->text(), QStringLiteral("&Connect"));
        dial(QStringLiteral("5551234"));
        QTRY_COMPARE_WITH_TIMEOUT(shownStatus(), QStringLiteral("lblConnected"), 5000);
    }

    void modemConnectsPollsAndHangsUp() {
        startModem();
        dial(QStringLiteral("5551234"));
        QTRY_COMPARE_WITH_TIMEOUT(shownStatus(), QStringLiteral("lblConnected"), 5000);
        QVERIFY(!w->mnuModemSettings->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(decoded.size() >= 10, 5000);
        QVERIFY(w->picshow->count() >= 3);
        // Disconnect hangs up for a second.
        w->cmdConnect->click();
        QCOMPARE(shownStatus(), QStringLiteral("lblHanging"));
        w->session()->link()->onDelayTimer();
        QCOMPARE(shownStatus(), QStringLiteral("lblOffLine"));
        QVERIFY(!w->session()->link()->isOpen());
    }

    // A number that never answers: a Disconnect during the wait ends it and
    // the port is not touched again; left alone, the wait ends at its limit
    // and the panel hangs up itself.
    void modemThatNeverAnswers() {
        startModem();
        dial(QStringLiteral("444"));
        QTest::qWait(300);
        QCOMPARE(shownStatus(), QStringLiteral("lblDialing"));
        w->cmdConnect->click();
        QCOMPARE(shownStatus(), QStringLiteral("lblHanging"));
        w->session()->link()->onDelayTimer();
        QCOMPARE(shownStatus(), QStringLiteral("lblOffLine"));
        QVERIFY(!w->session()->link()->isOpen());
        dial(QStringLiteral("444"));
        QVERIFY(timer("tmrModemTimeout")->isActive());
        w->session()->link()->onModemTimeout();
        QCOMPARE(shownStatus(), QStringLiteral("lblNoDialTone"));
        w->session()->link()->onDelayTimer();
        QCOMPARE(shownStatus(), QStringLiteral("lblOffLine"));
        QVERIFY(!w->session()->link()->isOpen());
    }
};
ZEL_TEST(PanelEndToEndTest)
#include "tst_panel_e2e.moc"
