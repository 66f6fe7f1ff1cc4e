// Dialling the stand-in's modem over the real serial port: its words come a
// character at a time, at the line's pace, and its far end may hang up.
#include "core/link/linkcontroller.h"
#include "support/simprocess.h"
#include "support/testmain.h"

#include <QSignalSpy>
#include <QTimer>

using zel::LinkController;
using zel::LinkState;

class ModemLineTest : public QObject {
    Q_OBJECT
    std::unique_ptr<zeltest::SimProcess> sim;
    std::unique_ptr<LinkController> link;
    QList<zel::LinkEvent> events;
    int readings = 0;

    bool startSim(QStringList args) {
        sim = std::make_unique<zeltest::SimProcess>();
        args << QStringLiteral("--modem") << QStringLiteral("--dial-delay") << QStringLiteral("50");
        if (sim->start(args)) return true;
        qWarning("%s", qPrintable(sim->errorText()));
        return false;
    }
    void dial(const QString& number, bool unattended = false) {
        link = std::make_unique<LinkController>();
        zel::ConnectionSettings c;
        c.directCable = false;
        c.modemLink = true;
        c.modemPort = sim->devicePath();
        c.phoneNumber = number;
        link->setConnectionSettings(c);
        link->setRetryFirstConnect(unattended);
        connect(link.get(), &LinkController::stateChanged, this,
                [this](const zel::LinkEvent& e) { events << e; });
        connect(link.get(), &LinkController::readingsReceived, this, [this] { ++readings; });
        link->connectLink();
        link->onDelayTimer(); // the first second
    }
    // The wait before the next call runs out, then the first second of it.
    void redial() {
        QVERIFY(timer("tmrReconnect")->isActive());
        link->onReconnectTimer();
        link->onDelayTimer();
    }
    QTimer* timer(const char* name) const { return link->findChild<QTimer*>(QString::fromLatin1(name)); }
    QString lastDetail() const { return events.isEmpty() ? QString() : events.last().detail; }

private slots:
    void init() {
        events.clear();
        readings = 0;
    }
    void cleanup() {
        link.reset();
        sim.reset();
    }

    // Each result, a character a read: the whole line decides and is the
    // detail; the record's padded number dials as the number; a minute of
    // nothing says so.
    void dialOutcomes_data() {
        QTest::addColumn<QString>("number");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("detail");
        const auto row = [](const char* name, const QString& number, LinkState s, const char* detail) {
            QTest::newRow(name) << number << int(s) << QString::fromLatin1(detail);
        };
        row("connect", QStringLiteral("5551234"), LinkState::Connected, "CONNECT 9600");
        row("busy", QStringLiteral("222"), LinkState::Busy, "BUSY");
        row("no dial tone", QStringLiteral("333"), LinkState::NoDialTone, "NO DIALTONE");
        row("no carrier", QStringLiteral("777"), LinkState::NoDialTone, "NO CARRIER");
        row("no answer", QStringLiteral("888"), LinkState::NoDialTone, "NO ANSWER");
        row("padded number", QStringLiteral("222").leftJustified(24), LinkState::Busy, "BUSY");
        row("no reply", QStringLiteral("444"), LinkState::NoDialTone, "No reply from the modem within 60 s");
    }
    void dialOutcomes() {
        QFETCH(QString, number);
        QVERIFY(startSim({"--busy-number", "222", "--no-dialtone-number", "333", "--no-carrier-number", "777",
                          "--no-answer-number", "888", "--silent-number", "444"}));
        dial(number);
        QSignalSpy log(link.get(), &LinkController::modemLog);
        if (number == QLatin1String("444")) {
            QTest::qWait(300);
            QCOMPARE(link->state(), LinkState::Dialing);
            link->onModemTimeout();
        }
        QTRY_COMPARE_WITH_TIMEOUT(int(link->state()) != int(LinkState::Dialing), true, 5000);
        QTEST(int(link->state()), "outcome");
        QTEST(lastDetail(), "detail");
        if (number != QLatin1String("444")) QVERIFY2(log.size() / 3 >= 2, "the reply came in pieces");
    }

    // The far end hangs up after 30 replies: NO CARRIER among the replies
    // ends the call, the call is dialled again and polls again.
    void droppedCallIsRedialled() {
        QVERIFY(startSim({"--drop-call-after", "30"}));
        dial(QStringLiteral("5551234"));
        QTRY_COMPARE_WITH_TIMEOUT(link->state(), LinkState::Reconnecting, 5000);
        QCOMPARE(lastDetail(), QStringLiteral("The modem lost the call (NO CARRIER)."));
        QVERIFY2(readings > 10 && readings <= 30, qPrintable(QString::number(readings)));
        QCOMPARE(timer("tmrReconnect")->interval(), 1000);
        const int before = readings;
        redial();
        QTRY_COMPARE_WITH_TIMEOUT(link->state(), LinkState::Connected, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(readings > before + 10, 5000);
    }

    // A far end that answers and hangs up at once is called less and less often.
    void callsThatDropAtOnceBackOff() {
        QVERIFY(startSim({"--drop-call-after", "1"}));
        dial(QStringLiteral("5551234"));
        for (int seconds : {1, 2, 4, 8}) {
            QTRY_COMPARE_WITH_TIMEOUT(link->state(), LinkState::Reconnecting, 5000);
            QCOMPARE(timer("tmrReconnect")->interval(), seconds * 1000);
            redial();
            QTRY_COMPARE_WITH_TIMEOUT(link->state(), LinkState::Connected, 5000);
        }
    }

    // Unattended, a first dial answered BUSY is dialled again, and again, until it connects.
    void unattendedRetryAfterFirstBusy() {
        QVERIFY(startSim({"--busy-number", "222"}));
        dial(QStringLiteral("222"), true);
        for (int seconds : {1, 2}) {
            QTRY_COMPARE_WITH_TIMEOUT(link->state(), LinkState::Reconnecting, 5000);
            QCOMPARE(lastDetail(), QStringLiteral("BUSY"));
            QVERIFY(!link->isOpen() && link->isActive());
            QCOMPARE(timer("tmrReconnect")->interval(), seconds * 1000);
            if (seconds == 2) {
                zel::ConnectionSettings c = link->connectionSettings();
                c.phoneNumber = QStringLiteral("5551234");
                link->setConnectionSettings(c);
            }
            redial();
        }
        QTRY_COMPARE_WITH_TIMEOUT(link->state(), LinkState::Connected, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(readings > 5, 5000);
    }
};
ZEL_TEST(ModemLineTest)
#include "tst_modemline.moc"
