// The poll on the main window over a fake port: what is read, shown,
// decoded and requested next.
#include "support/fakeserial.h"
#include "support/testmain.h"
#include "support/testsupport.h"

#include "gui/frmzelmain.h"
#include "gui/indicator.h"

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>

class PollTest : public QObject {
    Q_OBJECT
    std::unique_ptr<FrmZelMain> w;
    FakeSerial* port = nullptr;

private slots:
    void init() {
        zeltest::writeSettingsFile(zeltest::sampleRecord());
        port = new FakeSerial;
        w = std::make_unique<FrmZelMain>(port);
        w->cmdConnect->click();
        QVERIFY(w->tmrXmit->isActive());
        port->writes.clear();
        port->written.clear();
    }
    void cleanup() { w.reset(); }

    // Each read of ten or more characters is shown raw, its newest complete
    // packet decoded, and as many requests sent as replies were read whole,
    // so two stay with the monitor.
    void readsAreFramedAndDecoded_data() {
        QTest::addColumn<QByteArrayList>("reads");
        QTest::addColumn<int>("requests");
        QTest::addColumn<int>("decoded");
        QTest::addColumn<float>("pos");
        QTest::addColumn<float>("neg");
        QTest::addColumn<float>("carrier");
        auto row = [](const char* name, const QByteArrayList& reads, int requests, int decoded, float pos,
                      float neg, float carrier) {
            QTest::newRow(name) << reads << requests << decoded << pos << neg << carrier;
        };
        row("one reply", {"x196040181"}, 2, 1, 40, 0, 36);
        row("two replies queued", {"x111222333x196040181"}, 2, 1, 40, 0, 36);
        row("in pieces", {"x1960", "40181"}, 2, 1, 40, 0, 36);
        // Not a reply: nothing more is asked for.
        row("upper-case X", {"x255243039", "X196040181"}, 2, 1, 55, 52, 0);
        // The reply begun in the second read counts once it is whole.
        row("noise", {"x255243039", "1x19604018", QByteArray(40, '#')}, 3, 1, 55, 52, 0);
        // Decoding the torn carrier field "18x" as 0 would raise a false alarm.
        row("torn read", {"x196040196", "x19604018x"}, 3, 1, 40, 0, 40);
        row("torn then completed", {"x196040196", "x19604018x", "210040181x"}, 4, 2, 43, 0, 36);
    }
    void readsAreFramedAndDecoded() {
        QFETCH(QByteArrayList, reads);
        QFETCH(float, carrier);
        QSignalSpy shown(w.get(), &FrmZelMain::packetShown);
        QByteArray waiting, lastRead; // a read happens once ten characters wait
        for (const QByteArray& read : reads) {
            port->receive(read);
            waiting += read;
            if (waiting.size() >= 10) lastRead = std::exchange(waiting, {});
        }
        QCOMPARE(w->lblRcvdat->text(), QString::fromLatin1(lastRead));
        QTEST(int(port->written.count('x')), "requests");
        QCOMPARE(port->written, QByteArray(port->written.size(), 'x'));
        QTEST(int(shown.count()), "decoded");
        QTEST(w->PosPeak, "pos");
        QTEST(w->NegPeak, "neg");
        QCOMPARE(w->CarrierLevel, carrier);
        QCOMPARE(w->shpCarrierLed->fillColor() == QColor(255, 0, 0), carrier < 36 || carrier > 44);
        QCOMPARE(w->InputString, QByteArray("000000000"));
        QVERIFY(w->tmrXmit->isActive());
    }

    void unansweredRequestsStartTheFlowAgain() {
        QCOMPARE(w->tmrXmit->interval(), FrmZelMain::PollRetryMs);
        w->tmrXmit_Timer();
        w->tmrXmit_Timer();
        QCOMPARE(port->writes, (QList<QByteArray>{"x", "x"}));
        // Each start restarts the retry interval.
        QVERIFY(w->tmrXmit->remainingTime() > FrmZelMain::PollRetryMs - 20);
    }

    // Two requests stay with the monitor: the first reply read brings the
    // second request, each reply after it asks for the one after next, and
    // the port is told which reply to await.
    void twoRequestsStayInFlight() {
        w->cmdConnect->click();
        w->cmdConnect->click();
        QCOMPARE(port->writes, QList<QByteArray>{"x"});
        QCOMPARE(port->awaited.last(), 10);
        port->awaited.clear();
        port->receive("x196040181");
        port->receive("x196040181");
        QCOMPARE(port->writes, (QList<QByteArray>{"x", "xx", "x"}));
        QCOMPARE(port->awaited, (QList<int>{10, 10}));
        // Each read restarts the retry interval.
        QVERIFY(w->tmrXmit->remainingTime() > FrmZelMain::PollRetryMs - 20);
        // A reply only late, or a line idle outside a fresh start, asks for
        // nothing: the retry interval deals with lost requests.
        emit port->replyOverdue(4);
        emit port->replyOverdue(0);
        QCOMPARE(port->writes.size(), 3);
    }

    // Every so often the poll asks for nothing until the line is idle, then
    // starts afresh, so a reply lost on the line (or an "x" in noise) cannot
    // leave the count of requests in flight wrong for good.
    void pollStartsAfreshOnceTheLineIsIdle() {
        port->charTimeNs = 1'041'666; // a port that can tell the line is idle
        for (int i = 1; i < FrmZelMain::PollRestartReplies; ++i)
            port->receive("x196040181");
        QCOMPARE(port->written, QByteArray(FrmZelMain::PollRestartReplies, 'x'));
        port->writes.clear();
        port->receive("x196040181"); // the 200th: the line is let run dry
        port->receive("x196040181");
        port->receive("x196040181"); // more than was counted: still nothing
        emit port->replyOverdue(3);  // only late
        QVERIFY(port->writes.isEmpty());
        emit port->replyOverdue(0);
        QCOMPARE(port->writes, QList<QByteArray>{"x"});
        port->receive("x196040181");
        QCOMPARE(port->writes, (QList<QByteArray>{"x", "xx"}));
        // A port that cannot tell (the built-in stand-in) is never let run dry.
        port->charTimeNs = 0;
        port->writes.clear();
        for (int i = 0; i < 2 * FrmZelMain::PollRestartReplies; ++i)
            port->receive("x196040181");
        QCOMPARE(port->writes.size(), 2 * FrmZelMain::PollRestartReplies);
        // Not polling: the signal asks for nothing.
        w->cmdConnect->click();
        port->setOpenState(true);
        emit port->replyOverdue(0);
        QCOMPARE(port->writes.size(), 2 * FrmZelMain::PollRestartReplies);
    }

    // A read that ends inside a packet keeps its start; the rest of that
    // packet is then enough for the next read, so it shows without waiting
    // for the following reply.
    void keptStartLowersTheNextRead() {
        port->receive("x196040196x1");
        QCOMPARE(port->readThreshold, 8);
        QCOMPARE(port->awaited.last(), 8);
        QSignalSpy shown(w.get(), &FrmZelMain::packetShown);
        port->receive("0004018");
        QCOMPARE(shown.count(), 0);
        port->receive("1");
        QCOMPARE(shown.count(), 1);
        QCOMPARE(w->CarrierLevel, 36.0f);
        QCOMPARE(port->readThreshold, 10);
    }

    void disconnectStopsTheTraffic() {
        w->cmdConnect->click();
        QVERIFY(!w->tmrXmit->isActive());
        port->setOpenState(true); // even a port still open is not polled
        port->receive("x196040181");
        QCOMPARE(w->lblRcvdat->text(), QStringLiteral("EMPTY"));
        QVERIFY(port->writes.isEmpty());
        QCOMPARE(port->bytesAvailable(), 0);
    }
};
ZEL_TEST(PollTest)
#include "tst_poll.moc"
