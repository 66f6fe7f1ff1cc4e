// The real main window and serial transport against zel-monitor-sim, direct and through the modem.
#include "support/simprocess.h"
#include "support/testmain.h"
#include "support/testsupport.h"

#include "core/link/linkcontroller.h"
#include "core/protocol/packetdecoder.h"
#include "core/session/monitorsession.h"
#include "gui/frmzelmain.h"
#include "gui/frmzelmodem.h"
#include "gui/indicator.h"

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>

namespace {

// A reading as text, from a script line's nine digits.
QString readingOf(const QByteArray& nine) {
    QStringList fields;
    for (int i = 0; i < 9; i += 3)
        fields << QString::number(zel::decodeField(nine.mid(i, 3).toStdString()));
    return fields.join(u' ');
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
    QStringList decoded;

    QString writeScript(const QList<QByteArray>& lines) {
        QFile f(dir.filePath(QStringLiteral("script.txt")));
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) qFatal("cannot write the script");
        for (const QByteArray& l : lines)
            f.write(l + '\n');
        return f.fileName();
    }
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
        decoded.clear();
        connect(w->session(), &zel::MonitorSession::readingsReceived, this, [this](const zel::Readings& r) {
            decoded << QStringLiteral("%1 %2 %3").arg(r.posPeak).arg(r.negPeak).arg(r.carrierLevel);
        });
    }
    void cleanup() {
        w.reset();
        sim.reset();
    }

    // Readings in the script's order, exactly as sent; Disconnect stops the traffic and darkens the bar.
    void packetsAreDecodedInOrder() {
        const QList<QByteArray> script = {"196040181", "216080199", "243196210",
                                          "100100100", "255255255", "050060070"};
        const QString log = dir.filePath(QStringLiteral("order.log"));
        QVERIFY(startSim({"--script", writeScript(script), "--log", log}));
        connectTo(sim->devicePath());
        QCOMPARE(shownStatus(), QStringLiteral("lblConnected"));
        QTRY_VERIFY_WITH_TIMEOUT(decoded.size() >= 8, 10000);
        // A held-up panel reads two replies at once and shows the newer: a few may be passed over.
        qsizetype at = 0;
        QSet<qsizetype> seen;
        for (const QString& r : decoded) {
            while (at < script.size() && readingOf(script[at]) != r)
                ++at;
            QVERIFY2(at < script.size(), "a reading out of order or never sent");
            seen.insert(at);
        }
        QVERIFY2(seen.size() >= script.size() - 2, qPrintable(QString::number(seen.size())));
        QCOMPARE(decoded.last(), readingOf(script.last())); // the last line is held
        // The raw read is a piece of the stream, perhaps cut mid-packet.
        QVERIFY2(QRegularExpression(QStringLiteral("^[x0-9]+$")).match(w->lblRcvdat->text()).hasMatch(),
                 qPrintable(w->lblRcvdat->text()));

        w->cmdConnect->click();
        QCOMPARE(shownStatus(), QStringLiteral("lblOffLine"));
        QTest::qWait(100);
        const int replies = logLines(log);
        const qsizetype shown = decoded.size();
        QTest::qWait(300);
        QCOMPARE(logLines(log), replies);
        QCOMPARE(decoded.size(), shown);
        for (int i = 1; i <= 56; ++i)
            QVERIFY(!w->picLed[i]->isLit());
    }

    // Faulty replies never decode to a reading not sent; dropped ones are asked for again.
    void faultyStreamNeverDecodesAWrongReading() {
        QList<QByteArray> script;
        QSet<QString> sent;
        for (int i = 0; i < 20; ++i) {
            script << QByteArray::number(100 + i) + QByteArray::number(150 + i) + QByteArray::number(180 + i);
            sent << readingOf(script.last());
        }
        const QString log = dir.filePath(QStringLiteral("faults.log"));
        QVERIFY(startSim({"--script", writeScript(script), "--loop", "--garble", "3", "--split", "4",
                          "--noise", "5", "--drop", "7", "--log", log}));
        connectTo(sim->devicePath());
        QTRY_VERIFY_WITH_TIMEOUT(decoded.size() >= 120, 20000);
        for (const QString& r : decoded)
            QVERIFY2(sent.contains(r), qPrintable(r));
        QVERIFY(logLines(log) > decoded.size());
        QCOMPARE(shownStatus(), QStringLiteral("lblConnected"));
    }

    // An adapter back under the same name is picked up again, with no box to click.
    void vanishingPortComesBackByItself() {
        const QString stable = dir.filePath(QStringLiteral("by-id-monitor"));
        QVERIFY(startSim({"--vanish-after", "5", "--vanish-gap", "300", "--link", stable}));
        connectTo(stable);
        QTRY_COMPARE_WITH_TIMEOUT(shownStatus(), QStringLiteral("lblReconnecting"), 10000);
        QVERIFY(!QApplication::activeModalWidget());
        QCOMPARE(w->cmdConnect->text(), QStringLiteral("&Disconnect"));
        const qsizetype before = decoded.size();
        QTRY_COMPARE_WITH_TIMEOUT(shownStatus(), QStringLiteral("lblConnected"), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(decoded.size() > before + 3, 5000);
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
        QTRY_VERIFY_WITH_TIMEOUT(decoded.size() >= 10, 5000);
        QVERIFY(w->picshow->count() >= 3);
        w->cmdConnect->click();
        QCOMPARE(shownStatus(), QStringLiteral("lblHanging"));
        delayEndsOffLine();
        QVERIFY(!link()->isOpen());
    }
};
ZEL_TEST(PanelEndToEndTest)
#include "tst_panel_e2e.moc"
