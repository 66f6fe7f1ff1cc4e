// The link over a fake transport: connect and disconnect, port errors,
// dialling through a modem, and the poll's requests.
#include "support/faketransport.h"
#include "support/testmain.h"

#include "core/link/linkcontroller.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTimer>

using zel::LinkController;
using zel::LinkState;

class LinkControllerTest : public QObject {
    Q_OBJECT
    std::unique_ptr<LinkController> link;
    QList<QPointer<FakeTransport>> opened; // every transport the link made
    QStringList openedPorts;
    QString nextOpenError;
    QList<zel::LinkEvent> events;
    QList<QPair<QString, QString>> errors;
    int beeps = 0;
    int cleared = 0;

    FakeTransport* port() const { return opened.isEmpty() ? nullptr : opened.last().data(); }
    QTimer* timer(const char* name) const { return link->findChild<QTimer*>(QString::fromLatin1(name)); }

    // The link's state, whether Connect was pressed, whether the poll runs
    // and whether the settings are locked: "connected active polling locked".
    QString state() const {
        QStringList s{QString::fromLatin1(zel::linkStateName(link->state()))};
        if (link->isActive()) s << QStringLiteral("active");
        if (timer("tmrXmit")->isActive()) s << QStringLiteral("polling");
        if (!link->settingsEnabled()) s << QStringLiteral("locked");
        return s.join(QLatin1Char(' '));
    }
    void useModem() {
        zel::ConnectionSettings c = link->connectionSettings();
        c.directCable = false;
        c.modemLink = true;
        c.phoneNumber = QStringLiteral("5551234");
        link->setConnectionSettings(c);
    }
    void useDirect() {
        zel::ConnectionSettings c = link->connectionSettings();
        c.directCable = true;
        c.modemLink = false;
        link->setConnectionSettings(c);
    }
    // Runs the pending wait to its end, even a wrong one, so the test goes on.
    void finishDelay(int expectedMs) {
        const bool pending = timer("tmrDelay")->isActive();
        const int interval = timer("tmrDelay")->interval();
        link->onDelayTimer();
        QVERIFY(pending);
        QCOMPARE(interval, expectedMs);
    }
    void dialToWait() {
        useModem();
        link->connectLink();
        finishDelay(1000);
    }
    // Connected on a direct cable with the first request answered: two in
    // flight from then on.
    void polling() {
        link->connectLink();
        port()->receive("x196040181");
        port()->writes.clear();
        port()->written.clear();
        port()->awaited.clear();
    }

private slots:
    void init() {
        opened.clear();
        openedPorts.clear();
        nextOpenError.clear();
        events.clear();
        errors.clear();
        beeps = cleared = 0;
        link = std::make_unique<LinkController>();
        link->setTransportFactory([this](const QString& text, QString*) {
            auto t = std::make_unique<FakeTransport>(text);
            t->openError = nextOpenError;
            opened.append(t.get());
            openedPorts.append(text);
            return std::unique_ptr<zel::Transport>(std::move(t));
        });
        zel::ConnectionSettings c;
        c.directPort = QStringLiteral("COM 2");
        link->setConnectionSettings(c);
        connect(link.get(), &LinkController::stateChanged, this,
                [this](const zel::LinkEvent& e) { events << e; });
        connect(link.get(), &LinkController::portError, this, [this](const QString& p, const QString& r) {
            errors.append({p, r});
        });
        connect(link.get(), &LinkController::beepWanted, this, [this] { ++beeps; });
        connect(link.get(), &LinkController::displayCleared, this, [this] { ++cleared; });
    }
    void cleanup() { link.reset(); }

    void directConnectAndDisconnect() {
        QSignalSpy open(link.get(), &LinkController::linkOpenChanged);
        QCOMPARE(state(), QStringLiteral("off-line"));
        link->toggleConnect();
        QCOMPARE(openedPorts, QStringList{QStringLiteral("COM 2")});
        QCOMPARE(state(), QStringLiteral("connected active polling locked"));
        QCOMPARE(port()->written, QByteArray("x")); // the first poll goes out at once
        QCOMPARE(port()->awaited, QList<int>{10});
        QCOMPARE(open.count(), 1);
        QVERIFY(link->isOpen());

        QPointer<FakeTransport> t = port();
        link->toggleConnect();
        QVERIFY(!t || !t->isOpen());
        QCOMPARE(state(), QStringLiteral("off-line")); // at once, no wait
        QVERIFY(!timer("tmrDelay")->isActive());
        QCOMPARE(cleared, 1);
        QCOMPARE(open.count(), 2);
        QCOMPARE(open.last().first().toBool(), false);
        QCOMPARE(events.last().state, LinkState::OffLine);
    }

    // An established link that is lost comes back by itself, trying after
    // 1, 2, 4, 8, 16 and then every 30 s, without asking anyone to click OK;
    // Disconnect ends the attempts.
    void lostLinkComesBackByItself() {
        QList<zel::AlarmEvent> alarms;
        connect(link.get(), &LinkController::alarmEvent, this,
                [&](const zel::AlarmEvent& e) { alarms << e; });
        link->connectLink();
        port()->failNow(QStringLiteral("gone"));
        QVERIFY(errors.isEmpty());
        QCOMPARE(state(), QStringLiteral("reconnecting active locked"));
        QCOMPARE(events.last().detail, QStringLiteral("gone"));
        QCOMPARE(cleared, 1);
        nextOpenError = QStringLiteral("missing");
        for (int seconds : {1, 2, 4, 8, 16, 30, 30}) {
            QVERIFY(timer("tmrReconnect")->isActive());
            QCOMPARE(timer("tmrReconnect")->interval(), seconds * 1000);
            link->onReconnectTimer();
            QCOMPARE(state(), QStringLiteral("reconnecting active locked"));
        }
        QVERIFY(errors.isEmpty());
        nextOpenError.clear();
        link->onReconnectTimer();
        QCOMPARE(state(), QStringLiteral("connected active polling locked"));
        QCOMPARE(openedPorts.size(), 9);
        QCOMPARE(alarms.size(), 2);
        QVERIFY(alarms[0].kind == zel::AlarmKind::LinkLost && alarms[0].on && !alarms[1].on);

        port()->failNow(QStringLiteral("again"));
        link->toggleConnect();
        QCOMPARE(state(), QStringLiteral("off-line"));
        QVERIFY(!timer("tmrReconnect")->isActive());
        link->onReconnectTimer();
        QCOMPARE(openedPorts.size(), 9); // a late tick opens nothing
    }

    // No valid packet for the timeout: No Data, the bar dark; the next
    // packet clears it.
    void silenceIsNoData() {
        QSignalSpy noData(link.get(), &LinkController::noDataChanged);
        polling();
        link->onNoDataTimer();
        QVERIFY(!link->noData());
        link->setNoDataTimeout(0);
        link->onNoDataTimer();
        QVERIFY(link->noData());
        QCOMPARE(cleared, 1);
        port()->receive("x196040181");
        QVERIFY(!link->noData());
        QCOMPARE(noData.size(), 2);
    }

    // A Disconnect cancels whatever is pending. With the modem's port open
    // it hangs up (DTR low) for a second; otherwise it is off line at once.
    // A late reply changes nothing, and a new Connect works.
    void disconnectAtEachStage_data() {
        QTest::addColumn<QString>("stage");
        QTest::addColumn<QString>("hangingUp");
        QTest::newRow("first second") << "first second"
                                      << "";
        QTest::newRow("reply wait") << "reply wait"
                                    << "hanging-up active";
        QTest::newRow("connected") << "connected"
                                   << "hanging-up active locked";
        QTest::newRow("hanging up") << "hanging up"
                                    << "";
    }
    void disconnectAtEachStage() {
        QFETCH(QString, stage);
        QFETCH(QString, hangingUp);
        const bool dialled = stage != QLatin1String("first second");
        useModem();
        link->toggleConnect();
        if (dialled) finishDelay(1000);
        QPointer<FakeTransport> t = port();
        if (stage == QLatin1String("connected") || stage == QLatin1String("hanging up"))
            t->receive("\r\nCONNECT 9600\r\n");
        if (stage == QLatin1String("hanging up")) link->toggleConnect();
        link->toggleConnect();
        QCOMPARE(opened.size(), dialled ? 1 : 0);
        if (!hangingUp.isEmpty()) {
            QCOMPARE(state(), hangingUp);
            QCOMPARE(t->dtr, QList<bool>{false});
            QVERIFY(t->isOpen());
            QVERIFY(!timer("tmrModemTimeout")->isActive());
            finishDelay(1000);
        }
        QVERIFY(!t || !t->isOpen());
        QCOMPARE(state(), QStringLiteral("off-line"));
        QVERIFY(!timer("tmrDelay")->isActive());
        if (t) {
            t->receive("\r\nCONNECT 9600\r\n");
            QCOMPARE(state(), QStringLiteral("off-line"));
        }
        useDirect();
        link->toggleConnect();
        QCOMPARE(state(), QStringLiteral("connected active polling locked"));
    }

    // ---- Dialling ----

    void dialSequence() {
        useModem();
        zel::ConnectionSettings c = link->connectionSettings();
        c.speakerLow = false;
        c.speakerLoud = true;
        c.outsideLineOn = 1;
        c.callWaitingOn = 1;
        c.modemIniOn = 1;
        c.modemIni = QStringLiteral("AT&F");
        link->setConnectionSettings(c);
        QSignalSpy caption(link.get(), &LinkController::dialingCaptionChanged);
        QSignalSpy log(link.get(), &LinkController::modemLog);
        QSignalSpy words(link.get(), &LinkController::modemWords);
        link->toggleConnect();
        QCOMPARE(state(), QStringLiteral("initializing active"));
        QVERIFY(opened.isEmpty()); // not before the first second is over
        finishDelay(1000);
        QCOMPARE(openedPorts, QStringList{QStringLiteral("COM 3")});
        QCOMPARE(port()->writes,
                 (QList<QByteArray>{"ATM1L3\r", "ate0\r", "AT&F\r", "ATDT9,,*70,,5551234\r"}));
        QCOMPARE(state(), QStringLiteral("dialing active"));
        QCOMPARE(caption.last().first().toString(), QStringLiteral("             Dialing  9,,*70,,5551234"));
        QCOMPARE(beeps, 1);
        QVERIFY(timer("tmrModemTimeout")->isActive());
        QCOMPARE(timer("tmrModemTimeout")->interval(), 60000);

        // A reply in pieces; each arrival logs the text, its length and the
        // last line.
        port()->receive("\r\nCONN");
        QCOMPARE(log.size(), 3);
        QCOMPARE(log.at(0).first().toString(), QStringLiteral("000000000\r\nCONN"));
        QCOMPARE(log.at(1).first().toString(), QStringLiteral("15"));
        QCOMPARE(log.at(2).first().toString(), QStringLiteral("CO"));
        QCOMPARE(state(), QStringLiteral("dialing active"));
        port()->receive("ECT 9600\r\n");
        QCOMPARE(log.size(), 6);
        QCOMPARE(words.last().first().toString(), QStringLiteral("CONNECT 9600"));
        QCOMPARE(events.last().detail, QStringLiteral("CONNECT 9600"));
        QCOMPARE(state(), QStringLiteral("connected active polling locked"));
        QVERIFY(!timer("tmrModemTimeout")->isActive());
        QCOMPARE(beeps, 2);
        QCOMPARE(port()->writes.last(), QByteArray("x"));
    }

    // A call the modem ends shows its state for three seconds and leaves the
    // port open and the bar as it was; a wait that runs out hangs up. The
    // next Connect opens the port afresh.
    void failedCall_data() {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("shown");
        QTest::newRow("busy") << QByteArray("\r\nBUSY\r\n") << int(LinkState::Busy);
        QTest::newRow("no dialtone") << QByteArray("\r\nNO DIALTONE\r\n") << int(LinkState::NoDialTone);
        QTest::newRow("no carrier") << QByteArray("\r\nNO CARRIER\r\n") << int(LinkState::NoDialTone);
        QTest::newRow("no reply in a minute") << QByteArray() << int(LinkState::NoDialTone);
    }
    void failedCall() {
        QFETCH(QByteArray, reply);
        QFETCH(int, shown);
        dialToWait();
        QPointer<FakeTransport> t = port();
        t->receive("\r\nOK\r\n");
        QCOMPARE(state(), QStringLiteral("dialing active")); // OK keeps waiting
        QSignalSpy words(link.get(), &LinkController::modemWords);
        if (reply.isEmpty())
            link->onModemTimeout();
        else
            t->receive(reply);
        QCOMPARE(words.size(), 1);
        QCOMPARE(int(link->state()), shown);
        QVERIFY(link->isActive() && link->settingsEnabled());
        finishDelay(3000);
        QCOMPARE(state(), QStringLiteral("off-line"));
        QCOMPARE(cleared, 0);
        QCOMPARE(t && t->isOpen(), !reply.isEmpty());
        if (reply.isEmpty()) {
            QVERIFY(words.first().first().toString().contains(QStringLiteral("60 s")));
            QCOMPARE(t->dtr, QList<bool>{false});
        } else {
            // Stray text on the port left open is thrown away; its failure
            // now is no one's concern.
            t->receive("\r\nRING\r\n");
            QVERIFY(t->input.isEmpty());
            t->failNow(QStringLiteral("gone"));
            QVERIFY(errors.isEmpty());
            QCOMPARE(state(), QStringLiteral("off-line"));
        }
        // A late timeout changes nothing.
        link->onModemTimeout();
        QCOMPARE(state(), QStringLiteral("off-line"));
        link->toggleConnect();
        finishDelay(1000);
        QCOMPARE(opened.size(), 2);
        QVERIFY(!t || !t->isOpen());
        QCOMPARE(state(), QStringLiteral("dialing active"));
    }

    // After a failed call the port is still open: a direct Connect uses it
    // as it is.
    void directConnectOnThePortLeftOpen() {
        dialToWait();
        port()->receive("\r\nBUSY\r\n");
        finishDelay(3000);
        useDirect();
        link->toggleConnect();
        QCOMPARE(opened.size(), 1);
        QCOMPARE(state(), QStringLiteral("off-line active locked"));
    }

    void chatteringModemIsBounded() {
        dialToWait();
        QSignalSpy log(link.get(), &LinkController::modemLog);
        for (int i = 0; i < 300; ++i)
            port()->receive(QByteArray(100, 'R') + "\r\n");
        QCOMPARE(log.at(log.size() - 2).first().toString(), QString::number(LinkController::ModemTextLimit));
        QCOMPARE(state(), QStringLiteral("dialing active"));
    }

    // ---- The poll ----

    // Each read of a whole reply or more is shown raw, its newest complete
    // packet decoded, and as many requests sent as replies were read whole,
    // so two stay with the monitor.
    void readsAreFramedAndDecoded_data() {
        QTest::addColumn<QByteArrayList>("reads");
        QTest::addColumn<int>("requests");
        QTest::addColumn<int>("decoded");
        QTest::addColumn<float>("pos");
        QTest::addColumn<float>("carrier");
        auto row = [](const char* name, const QByteArrayList& reads, int requests, int decoded, float pos,
                      float carrier) {
            QTest::newRow(name) << reads << requests << decoded << pos << carrier;
        };
        row("one reply", {"x196040181"}, 2, 1, 40, 36);
        row("two replies queued", {"x111222333x196040181"}, 2, 1, 40, 36);
        row("in pieces", {"x1960", "40181"}, 2, 1, 40, 36);
        // Not a reply: nothing more is asked for.
        row("upper-case X", {"x255243039", "X196040181"}, 2, 1, 55, 0);
        // The reply begun in the second read counts once it is whole.
        row("noise", {"x255243039", "1x19604018", QByteArray(40, '#')}, 3, 1, 55, 0);
        // Decoding the torn carrier field "18x" as 0 would raise a false alarm.
        row("torn read", {"x196040196", "x19604018x"}, 3, 1, 40, 40);
        row("torn then completed", {"x196040196", "x19604018x", "210040181x"}, 4, 2, 43, 36);
    }
    void readsAreFramedAndDecoded() {
        QFETCH(QByteArrayList, reads);
        link->connectLink();
        FakeTransport* t = port();
        t->written.clear();
        QSignalSpy raw(link.get(), &LinkController::rawRead);
        QSignalSpy decoded(link.get(), &LinkController::readingsReceived);
        for (const QByteArray& read : reads)
            t->receive(read);
        QTEST(int(t->written.count('x')), "requests");
        QCOMPARE(t->written, QByteArray(t->written.size(), 'x'));
        QTEST(int(decoded.size()), "decoded");
        const auto r = decoded.last().first().value<zel::Readings>();
        QTEST(r.posPeak, "pos");
        QTEST(r.carrierLevel, "carrier");
        QCOMPARE(raw.last().first().toByteArray(), reads.last().size() >= 10 ? reads.last() : reads.join());
        QVERIFY(timer("tmrXmit")->isActive());
    }

    void unansweredRequestsStartTheFlowAgain() {
        link->connectLink();
        QCOMPARE(timer("tmrXmit")->interval(), LinkController::PollRetryMs);
        link->onPollTimer();
        link->onPollTimer();
        QCOMPARE(port()->writes, (QList<QByteArray>{"x", "x", "x"}));
        // Each start restarts the retry interval.
        QVERIFY(timer("tmrXmit")->remainingTime() > LinkController::PollRetryMs - 20);
        // A whole reply waiting when the timer runs is read first.
        QSignalSpy decoded(link.get(), &LinkController::readingsReceived);
        port()->input = "x196040181";
        link->onPollTimer();
        QCOMPARE(decoded.size(), 1);
    }

    // Two requests stay with the monitor: the first reply brings the second
    // request, each reply after it asks for the one after next, and the
    // transport is told which reply to await.
    void twoRequestsStayInFlight() {
        link->connectLink();
        port()->receive("x196040181");
        QTest::qSleep(LinkController::PollRetryMs + 10);
        port()->receive("x196040181");
        QCOMPARE(port()->writes, (QList<QByteArray>{"x", "xx", "x"}));
        QCOMPARE(port()->awaited, (QList<int>{10, 10, 10}));
        // Each reply restarts the retry interval.
        QVERIFY(timer("tmrXmit")->remainingTime() > LinkController::PollRetryMs / 2);
        // A reply only late, or a line idle outside a fresh start, asks for
        // nothing: the retry interval deals with lost requests.
        emit port()->replyOverdue(4);
        emit port()->replyOverdue(0);
        QCOMPARE(port()->writes.size(), 3);
    }

    // Every 200 replies the poll asks for nothing until the line is idle,
    // then starts afresh, so a lost reply cannot leave the count of requests
    // in flight wrong for good.
    void pollStartsAfreshOnceTheLineIsIdle() {
        link->connectLink();
        FakeTransport* t = port();
        t->charTimeNs = 1'041'666; // a transport that can tell the line is idle
        t->written.clear();
        for (int i = 1; i < LinkController::PollRestartReplies; ++i)
            t->receive("x196040181");
        QCOMPARE(t->written, QByteArray(LinkController::PollRestartReplies, 'x'));
        t->writes.clear();
        t->receive("x196040181"); // the 200th: the line is let run dry
        t->receive("x196040181");
        t->receive("x196040181"); // more than was counted: still nothing
        emit t->replyOverdue(3);  // only late
        QVERIFY(t->writes.isEmpty());
        emit t->replyOverdue(0);
        QCOMPARE(t->writes, QList<QByteArray>{"x"});
        t->receive("x196040181");
        QCOMPARE(t->writes, (QList<QByteArray>{"x", "xx"}));
        // One that cannot tell (the built-in stand-in) is never let run dry.
        t->charTimeNs = 0;
        t->writes.clear();
        for (int i = 0; i < 2 * LinkController::PollRestartReplies; ++i)
            t->receive("x196040181");
        QCOMPARE(t->writes.size(), 2 * LinkController::PollRestartReplies);
    }

    // A read that ends inside a packet keeps its start; the rest of that
    // packet is then enough for the next read.
    void keptStartLowersTheNextRead() {
        polling();
        QSignalSpy decoded(link.get(), &LinkController::readingsReceived);
        port()->receive("x196040196x1");
        QCOMPARE(port()->awaited.last(), 8);
        decoded.clear();
        port()->receive("0004018");
        QCOMPARE(decoded.size(), 0);
        port()->receive("1");
        QCOMPARE(decoded.size(), 1);
        QCOMPARE(decoded.last().first().value<zel::Readings>().carrierLevel, 36.0f);
        QCOMPARE(port()->awaited.last(), 10);
    }

    void rejectedReadsAreReported() {
        polling();
        QSignalSpy rejected(link.get(), &LinkController::packetRejected);
        port()->receive(QByteArray(12, '#'));
        QCOMPARE(rejected.size(), 1);
        port()->receive("x196040181");
        QCOMPARE(rejected.size(), 1);
    }

    // Closing the program ends everything at once and drops DTR.
    void shutDownEndsEverything() {
        dialToWait();
        QPointer<FakeTransport> t = port();
        link->shutDown();
        QVERIFY(!t || !t->isOpen());
        QCOMPARE(t->dtr, QList<bool>{false});
        for (const char* name : {"tmrXmit", "tmrDelay", "tmrModemTimeout"})
            QVERIFY2(!timer(name)->isActive(), name);
        QVERIFY(!link->isActive());
    }
};
ZEL_TEST(LinkControllerTest)
#include "tst_linkcontroller.moc"
