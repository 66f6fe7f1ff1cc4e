// The link over a fake transport: connect and disconnect, coming back by
// itself, dialling through a modem, and the poll's requests.
#include "core/link/linkcontroller.h"
#include "support/faketransport.h"
#include "support/testmain.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTimer>

using zel::LinkController;
using zel::LinkState;

class LinkControllerTest : public QObject {
    Q_OBJECT
    std::unique_ptr<LinkController> link;
    QList<QPointer<FakeTransport>> opened;
    QString nextOpenError;
    QList<zel::LinkEvent> events;
    QStringList errors;
    int beeps = 0;
    int cleared = 0;

    FakeTransport* port() const { return opened.isEmpty() ? nullptr : opened.last().data(); }
    QTimer* timer(const char* name) const { return link->findChild<QTimer*>(QString::fromLatin1(name)); }
    // e.g. "connected active polling locked": Connect pressed, poll running, settings locked.
    QString state() const {
        QStringList s{QString::fromLatin1(zel::linkStateName(link->state()))};
        if (link->isActive()) s << QStringLiteral("active");
        if (timer("tmrXmit")->isActive()) s << QStringLiteral("polling");
        if (!link->settingsEnabled()) s << QStringLiteral("locked");
        return s.join(QLatin1Char(' '));
    }
    void useModem(bool modem = true) {
        zel::ConnectionSettings c = link->connectionSettings();
        c.directCable = !modem;
        c.modemLink = modem;
        c.phoneNumber = QStringLiteral("5551234");
        link->setConnectionSettings(c);
    }
    // Runs the pending wait to its end, even a wrong one, so the test goes on.
    void finishDelay(int expectedMs) {
        const int interval = timer("tmrDelay")->isActive() ? timer("tmrDelay")->interval() : -1;
        link->onDelayTimer();
        QCOMPARE(interval, expectedMs);
    }
    void dialToWait() {
        useModem();
        link->connectLink();
        finishDelay(1000);
    }
    void freshLink() {
        cleanup();
        init();
    }
    // A dialled call that stands, and then the modem's NO CARRIER among the replies.
    void connectCall() { port()->receive("\r\nCONNECT 9600\r\n"); }
    void dropCall() {
        port()->receive("x196040181\r\nNO CARRIER\r\n");
        QTRY_COMPARE(link->state(), LinkState::Reconnecting);
    }

private slots:
    void init() {
        opened.clear(), nextOpenError.clear(), events.clear(), errors.clear();
        beeps = cleared = 0;
        link = std::make_unique<LinkController>();
        link->setTransportFactory([this](const QString& text, QString*) {
            auto t = std::make_unique<FakeTransport>(text);
            t->openError = nextOpenError;
            opened.append(t.get());
            return std::unique_ptr<zel::Transport>(std::move(t));
        });
        zel::ConnectionSettings c;
        c.directPort = QStringLiteral("COM 2");
        link->setConnectionSettings(c);
        connect(link.get(), &LinkController::stateChanged, this,
                [this](const zel::LinkEvent& e) { events << e; });
        connect(link.get(), &LinkController::portError, this,
                [this](const QString& p, const QString& r) { errors << p + QLatin1String(": ") + r; });
        connect(link.get(), &LinkController::beepWanted, this, [this] { ++beeps; });
        connect(link.get(), &LinkController::displayCleared, this, [this] { ++cleared; });
    }
    void cleanup() { link.reset(); }

    // A lost link retries after 1, 2, 4, 8, 16, then every 30 s, silently, until Disconnect.
    void lostLinkComesBackByItself() {
        QList<zel::AlarmEvent> alarms;
        connect(link.get(), &LinkController::alarmEvent, this,
                [&](const zel::AlarmEvent& e) { alarms << e; });
        QSignalSpy open(link.get(), &LinkController::linkOpenChanged);
        link->toggleConnect();
        QCOMPARE(state(), QStringLiteral("connected active polling locked"));
        QVERIFY(port()->portText() == "COM 2" && port()->written == "x" && port()->awaited == QList<int>{10});
        port()->failNow(QStringLiteral("gone"));
        QCOMPARE(state(), QStringLiteral("reconnecting active locked"));
        QVERIFY(events.last().detail == "gone" && cleared == 1);
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
        QCOMPARE(opened.size(), 9);
        QCOMPARE(alarms.size(), 2);
        QVERIFY(alarms[0].kind == zel::AlarmKind::LinkLost && alarms[0].on && !alarms[1].on);
        port()->failNow(QStringLiteral("again"));
        link->toggleConnect();
        QCOMPARE(state(), QStringLiteral("off-line"));
        QCOMPARE(QList<QVariantList>(open), (QList<QVariantList>{{true}, {false}, {true}, {false}}));
        QVERIFY(!timer("tmrReconnect")->isActive());
        link->onReconnectTimer();
        QCOMPARE(opened.size(), 9); // a late tick opens nothing
    }

    // No valid packet for 5 s: No Data, the bar dark; the next packet clears it.
    void silenceIsNoData() {
        QCOMPARE(link->noDataTimeout(), 5000);
        QSignalSpy noData(link.get(), &LinkController::noDataChanged);
        link->connectLink();
        port()->receive("x196040181");
        link->onNoDataTimer();
        QVERIFY(!link->noData());
        link->setNoDataTimeout(0);
        link->onNoDataTimer();
        QVERIFY(link->noData() && cleared == 1);
        port()->receive("x196040181");
        QVERIFY(!link->noData() && noData.size() == 2);
    }

    // Disconnect cancels what is pending; an open modem port hangs up (DTR low) for a second.
    void disconnectAtEachStage_data() {
        QTest::addColumn<QString>("stage");
        QTest::addColumn<QString>("hangingUp");
        for (auto [stage, hangingUp] : {std::pair{"first second", ""},
                                        {"reply wait", "hanging-up active"},
                                        {"connected", "hanging-up active locked"},
                                        {"hanging up", ""}})
            QTest::newRow(stage) << QString::fromLatin1(stage) << QString::fromLatin1(hangingUp);
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
            QVERIFY(!timer("tmrModemTimeout")->isActive());
            finishDelay(1000);
        }
        QVERIFY(!t || !t->isOpen());
        QCOMPARE(state(), QStringLiteral("off-line"));
        QVERIFY(!timer("tmrDelay")->isActive());
        if (t) t->receive("\r\nCONNECT 9600\r\n");
        QCOMPARE(state(), QStringLiteral("off-line"));
        useModem(false);
        link->toggleConnect();
        QCOMPARE(state(), QStringLiteral("connected active polling locked"));
        t = port();
        link->toggleConnect();
        QVERIFY(state() == "off-line" && !t->isOpen());
    }

    void dialSequence() {
        useModem();
        zel::ConnectionSettings c = link->connectionSettings();
        c.speakerLow = false;
        c.speakerLoud = true;
        c.outsideLineOn = c.callWaitingOn = c.modemIniOn = 1;
        c.modemIni = QStringLiteral("AT&F");
        link->setConnectionSettings(c);
        QSignalSpy caption(link.get(), &LinkController::dialingCaptionChanged);
        QSignalSpy log(link.get(), &LinkController::modemLog);
        link->toggleConnect();
        QCOMPARE(state(), QStringLiteral("initializing active"));
        QVERIFY(opened.isEmpty()); // not before the first second is over
        finishDelay(1000);
        QCOMPARE(port()->writes,
                 (QList<QByteArray>{"ATM1L3\r", "ate0\r", "AT&F\r", "ATDT9,,*70,,5551234\r"}));
        QCOMPARE(state(), QStringLiteral("dialing active"));
        QCOMPARE(caption.last().first().toString(), QStringLiteral("             Dialing  9,,*70,,5551234"));
        QVERIFY(beeps == 1 && timer("tmrModemTimeout")->interval() == 60000);
        // Each arrival logs the text, its length and the last whole line.
        port()->receive("\r\nCONN");
        QCOMPARE(QList<QVariantList>(log),
                 (QList<QVariantList>{{"000000000\r\nCONN"}, {"15"}, {"000000000"}}));
        QCOMPARE(state(), QStringLiteral("dialing active"));
        port()->receive("ECT 9600\r\n");
        QCOMPARE(events.last().detail, QStringLiteral("CONNECT 9600"));
        QCOMPARE(state(), QStringLiteral("connected active polling locked"));
        QVERIFY(!timer("tmrModemTimeout")->isActive() && beeps == 2 && port()->writes.last() == "x");
        // A chattering modem is bounded.
        link->disconnectLink();
        finishDelay(1000);
        dialToWait();
        for (int i = 0; i < 300; ++i)
            port()->receive(QByteArray(100, 'R') + "\r\n");
        QCOMPARE(log.at(log.size() - 2).first().toString(), QString::number(LinkController::ModemTextLimit));
        // Closing the program ends everything at once, drops DTR and says so.
        QPointer<FakeTransport> t = port();
        events.clear();
        link->shutDown();
        QVERIFY(t && !t->isOpen() && t->dtr == QList<bool>{false} && !link->isActive());
        QVERIFY(events.size() == 2 && events[0].state == LinkState::HangingUp &&
                events[1].state == LinkState::OffLine);
        for (const char* name : {"tmrXmit", "tmrDelay", "tmrModemTimeout"})
            QVERIFY2(!timer(name)->isActive(), name);
    }

    // A call the modem ends shows for 3 s, port left open; a wait that runs out hangs up.
    void failedCall_data() {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("shown");
        QTest::addColumn<QString>("detail");
        QTest::newRow("busy") << QByteArray("\r\nBUSY\r\n") << int(LinkState::Busy) << "BUSY";
        QTest::newRow("no carrier") << QByteArray("\r\nNO CARRIER\r\n") << int(LinkState::NoDialTone)
                                    << "NO CARRIER";
        QTest::newRow("no reply in a minute")
            << QByteArray() << int(LinkState::NoDialTone) << "No reply from the modem within 60 s";
    }
    void failedCall() {
        QFETCH(QByteArray, reply);
        dialToWait();
        QPointer<FakeTransport> t = port();
        t->receive("\r\nOK\r\n");
        QCOMPARE(state(), QStringLiteral("dialing active"));
        if (reply.isEmpty())
            link->onModemTimeout();
        else
            t->receive(reply);
        QTEST(int(link->state()), "shown");
        QTEST(events.last().detail, "detail");
        QVERIFY(link->isActive() && link->settingsEnabled());
        finishDelay(3000);
        QCOMPARE(state(), QStringLiteral("off-line"));
        QVERIFY(cleared == 0 && (t && t->isOpen()) == !reply.isEmpty());
        if (reply.isEmpty()) {
            QCOMPARE(t->dtr, QList<bool>{false});
        } else { // stray text on the port left open is dropped, its failure ignored
            t->receive("\r\nRING\r\n");
            t->failNow(QStringLiteral("gone"));
            QVERIFY(t->input.isEmpty() && errors.isEmpty());
        }
        link->onModemTimeout();
        QCOMPARE(state(), QStringLiteral("off-line"));
        link->toggleConnect();
        finishDelay(1000);
        QCOMPARE(opened.size(), 2);
        QCOMPARE(state(), QStringLiteral("dialing active"));
    }

    // Every reply cut at every place is classed only once whole, with all its
    // words; one whose line break never comes, after a quiet.
    void modemRepliesAreReadWhole() {
        const std::pair<QByteArray, LinkState> replies[] = {{"CONNECT 9600", LinkState::Connected},
                                                            {"BUSY", LinkState::Busy},
                                                            {"NO DIALTONE", LinkState::NoDialTone},
                                                            {"NO CARRIER", LinkState::NoDialTone},
                                                            {"NO ANSWER", LinkState::NoDialTone}};
        for (const auto& [reply, outcome] : replies) {
            const QByteArray text = "\r\nOK\r\n\r\nERROR\r\n\r\n" + reply + "\r\n";
            const qsizetype lineEnd = text.size() - 1;
            for (qsizetype cut = 0; cut <= text.size(); ++cut) {
                freshLink();
                dialToWait();
                port()->receive(text.left(cut));
                QCOMPARE(link->state(), cut < lineEnd ? LinkState::Dialing : outcome);
                port()->receive(text.mid(cut));
                QCOMPARE(link->state(), outcome);
                QCOMPARE(events.last().detail, QString::fromLatin1(reply));
            }
            freshLink();
            dialToWait();
            port()->receive("\r\n" + reply);
            QVERIFY(link->state() == LinkState::Dialing && timer("tmrModemQuiet")->isActive());
            QCOMPARE(timer("tmrModemQuiet")->interval(), LinkController::ModemQuietMs);
            link->onModemQuiet();
            QCOMPARE(link->state(), outcome);
            QCOMPARE(events.last().detail, QString::fromLatin1(reply));
        }
    }

    // NO CARRIER cut anywhere, even inside a reply: the readings before it
    // decoded, none from it, the call lost and redialled.
    void noCarrierAmongTheReplies() {
        const QByteArray stream = "x196040181x2100\r\nNO CARRIER\r\n";
        for (qsizetype cut = 1; cut < stream.size(); ++cut) {
            freshLink();
            dialToWait();
            connectCall();
            QSignalSpy decoded(link.get(), &LinkController::readingsReceived);
            port()->receive(stream.left(cut));
            port()->receive(stream.mid(cut));
            link->onPollTimer(); // the retry tick reads a tail too short to be a reply
            QTRY_COMPARE(link->state(), LinkState::Reconnecting);
            QCOMPARE(events.last().detail, QStringLiteral("The modem lost the call (NO CARRIER)."));
            QCOMPARE(decoded.size(), 1);
            QCOMPARE(decoded.first().first().value<zel::Readings>().posPeak, 40.0f);
            QCOMPARE(timer("tmrReconnect")->interval(), 1000);
        }
    }

    // Each call that drops before it has carried valid data for a while
    // waits longer; one that has restarts the waits.
    void redialsBackOffUntilACallStays() {
        QList<zel::AlarmEvent> alarms;
        connect(link.get(), &LinkController::alarmEvent, this,
                [&](const zel::AlarmEvent& e) { alarms << e; });
        QCOMPARE(link->steadyCallMs(), 60000);
        dialToWait();
        connectCall();
        dropCall();
        for (int seconds : {1, 2, 4, 8}) {
            QCOMPARE(timer("tmrReconnect")->interval(), seconds * 1000);
            link->onReconnectTimer();
            finishDelay(1000);
            connectCall();
            QCOMPARE(link->state(), LinkState::Connected);
            port()->receive("x196040181");
            dropCall();
        }
        QCOMPARE(alarms.size(), 2 * 5 - 1); // lost, then back and lost again each time
        link->setSteadyCallMs(0);
        link->onReconnectTimer();
        finishDelay(1000);
        connectCall();
        port()->receive("x196040181");
        port()->receive("x196040181");
        dropCall();
        QCOMPARE(timer("tmrReconnect")->interval(), 1000);
    }

    // Unattended, a first connect that fails is retried like a lost link, with no box and no alarm.
    void unattendedFirstConnectRetries() {
        QList<zel::AlarmEvent> alarms;
        connect(link.get(), &LinkController::alarmEvent, this,
                [&](const zel::AlarmEvent& e) { alarms << e; });
        link->setRetryFirstConnect(true);
        nextOpenError = QStringLiteral("missing");
        link->connectLink();
        QCOMPARE(state(), QStringLiteral("reconnecting active locked"));
        QCOMPARE(events.last().detail, QStringLiteral("missing"));
        link->onReconnectTimer();
        QCOMPARE(timer("tmrReconnect")->interval(), 2000);
        nextOpenError.clear();
        link->onReconnectTimer();
        QCOMPARE(state(), QStringLiteral("connected active polling locked"));
        link->disconnectLink();
        QVERIFY(errors.isEmpty() && alarms.isEmpty());
    }

    void directConnectOnThePortLeftOpen() {
        dialToWait();
        port()->receive("\r\nBUSY\r\n");
        finishDelay(3000);
        useModem(false);
        link->toggleConnect();
        QVERIFY(opened.size() == 1 && state() == "off-line active locked");
    }

    // Raw shown, each whole packet decoded, one request per reply, the next packet's length awaited.
    void readsAreFramedAndDecoded_data() {
        QTest::addColumn<QByteArrayList>("reads");
        QTest::addColumn<QList<float>>("counts"); // requests, decoded, pos, carrier, rejected, awaited
        auto row = [](const char* name, const QByteArrayList& reads, QList<float> counts) {
            QTest::newRow(name) << reads << counts;
        };
        row("two replies queued", {"x111222333x196040181"}, {2, 2, 40, 36, 0, 10});
        row("in pieces", {"x1960", "40181"}, {2, 1, 40, 36, 0, 10});
        row("upper-case X", {"x255243039", "X196040181"}, {2, 1, 55, 0, 1, 10});
        row("noise", {"x255243039", "1x19604018", QByteArray(40, '#')}, {3, 1, 55, 0, 1, 10});
        // The torn carrier field "18x" must not read as 0, a false alarm.
        row("torn read", {"x196040196", "x19604018x"}, {3, 1, 40, 40, 0, 9});
        row("kept start", {"x196040196x1", "0004018"}, {2, 1, 40, 40, 0, 8});
        row("torn then completed", {"x196040196", "x19604018x", "210040181x"}, {4, 2, 43, 36, 0, 9});
    }
    void readsAreFramedAndDecoded() {
        QFETCH(QByteArrayList, reads);
        link->connectLink();
        FakeTransport* t = port();
        t->written.clear();
        QSignalSpy raw(link.get(), &LinkController::rawRead);
        QSignalSpy decoded(link.get(), &LinkController::readingsReceived);
        QSignalSpy rejected(link.get(), &LinkController::packetRejected);
        for (const QByteArray& read : reads)
            t->receive(read);
        QCOMPARE(t->written, QByteArray(t->written.size(), 'x'));
        const auto r = decoded.last().first().value<zel::Readings>();
        QTEST((QList<float>{float(t->written.size()), float(decoded.size()), r.posPeak, r.carrierLevel,
                            float(rejected.size()), float(t->awaited.last())}),
              "counts");
        if (reads.last().size() >= 10) QCOMPARE(raw.last().first().toByteArray(), reads.last());
        QVERIFY(timer("tmrXmit")->isActive());
    }

    // Each retry tick restarts an unanswered poll; a whole reply waiting then is read first.
    void unansweredRequestsStartTheFlowAgain() {
        link->connectLink();
        QCOMPARE(timer("tmrXmit")->interval(), LinkController::PollRetryMs);
        link->onPollTimer();
        link->onPollTimer();
        QCOMPARE(port()->writes, (QList<QByteArray>{"x", "x", "x"}));
        QVERIFY(timer("tmrXmit")->remainingTime() > LinkController::PollRetryMs - 20);
        QSignalSpy decoded(link.get(), &LinkController::readingsReceived);
        port()->input = "x196040181";
        link->onPollTimer();
        QCOMPARE(decoded.size(), 1);
    }

    // A direct line keeps two requests in flight however late its replies; a
    // reply only late, or a line idle outside a fresh start, asks for nothing.
    void twoRequestsStayInFlight() {
        link->connectLink();
        for (int i = 0; i < 3; ++i) {
            QTest::qSleep(LinkController::PollRetryMs + 10);
            port()->receive("x196040181");
        }
        QCOMPARE(link->pollDepth(), LinkController::DirectPollDepth);
        QCOMPARE(port()->writes, (QList<QByteArray>{"x", "xx", "x", "x"}));
        QVERIFY(timer("tmrXmit")->remainingTime() > LinkController::PollRetryMs / 2);
        emit port()->replyOverdue(4);
        emit port()->replyOverdue(0);
        QCOMPARE(port()->writes.size(), 4);
    }

    // Every 200 replies the line is let run dry, so a lost reply cannot skew the count in flight.
    void pollStartsAfreshOnceTheLineIsIdle() {
        link->connectLink();
        FakeTransport* t = port();
        t->charTimeNs = 1'041'666; // a transport that can tell the line is idle
        t->written.clear();
        for (int i = 1; i < LinkController::PollRestartReplies; ++i)
            t->receive("x196040181");
        QCOMPARE(t->written, QByteArray(LinkController::PollRestartReplies, 'x'));
        t->writes.clear();
        for (int i = 0; i < 3; ++i)
            t->receive("x196040181"); // the 200th and beyond: the line is let run dry
        emit t->replyOverdue(3);      // only late
        emit t->replyOverdue(0);
        t->receive("x196040181");
        QCOMPARE(t->writes, (QList<QByteArray>{"x", "xx"}));
        // One that cannot tell (the built-in stand-in) is never let run dry.
        t->charTimeNs = 0;
        t->writes.clear();
        for (int i = 0; i < 2 * LinkController::PollRestartReplies; ++i)
            t->receive("x196040181");
        QCOMPARE(t->writes.size(), 2 * LinkController::PollRestartReplies);
    }
};
ZEL_TEST(LinkControllerTest)
#include "tst_linkcontroller.moc"
