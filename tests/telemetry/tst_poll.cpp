// The poll on the main window over a fake port: what is read, shown,
// decoded and requested next.
#include "support/fakeserial.h"
#include "support/testmain.h"
#include "support/testsupport.h"

#include "app/frmzelmain.h"
#include "panel/indicator.h"

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
    }
    void cleanup() { w.reset(); }

    // Each read of ten or more characters is shown raw, its newest complete
    // packet decoded, and the next request sent at once.
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
        row("one reply", {"x196040181"}, 1, 1, 40, 0, 36);
        row("two replies queued", {"x111222333x196040181"}, 1, 1, 40, 0, 36);
        row("in pieces", {"x1960", "40181"}, 1, 1, 40, 0, 36);
        row("upper-case X", {"x255243039", "X196040181"}, 2, 1, 55, 52, 0);
        row("noise", {"x255243039", "1x19604018", QByteArray(40, '#')}, 3, 1, 55, 52, 0);
        // Decoding the torn carrier field "18x" as 0 would raise a false alarm.
        row("torn read", {"x196040196", "x19604018x"}, 2, 1, 40, 0, 40);
        row("torn then completed", {"x196040196", "x19604018x", "210040181x"}, 3, 2, 43, 0, 36);
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
        QTEST(int(port->writes.size()), "requests");
        QVERIFY(port->writes.count("x") == port->writes.size());
        QTEST(int(shown.count()), "decoded");
        QTEST(w->PosPeak, "pos");
        QTEST(w->NegPeak, "neg");
        QCOMPARE(w->CarrierLevel, carrier);
        QCOMPARE(w->shpCarrierLed->fillColor() == QColor(255, 0, 0), carrier < 36 || carrier > 44);
        QCOMPARE(w->InputString, QByteArray("000000000"));
        QVERIFY(w->tmrXmit->isActive());
    }

    void unansweredRequestIsSentAgain() {
        QCOMPARE(w->tmrXmit->interval(), FrmZelMain::PollRetryMs);
        w->tmrXmit_Timer();
        w->tmrXmit_Timer();
        QCOMPARE(port->writes, (QList<QByteArray>{"x", "x"}));
        // Each request restarts the retry interval.
        QVERIFY(w->tmrXmit->remainingTime() > FrmZelMain::PollRetryMs - 20);
    }

    // Told that the reply is almost in, the poll asks for the next one, which
    // the monitor sends right behind it; that reply's arrival sends nothing.
    void nextRequestGoesOutAsTheReplyEnds() {
        port->charTimeNs = 1'000'000'000; // the reply asked ahead is always still to come
        QCOMPARE(port->awaited, QList<int>{10});
        emit port->replyAlmostIn();
        emit port->replyAlmostIn(); // one request ahead, never more
        QCOMPARE(port->writes, QList<QByteArray>{"x"});
        port->receive("x196040181");
        QCOMPARE(port->writes, QList<QByteArray>{"x"});
        QCOMPARE(port->awaited, (QList<int>{10, 10}));
        emit port->replyAlmostIn();
        QCOMPARE(port->writes, (QList<QByteArray>{"x", "x"}));
        // Each read restarts the retry interval.
        QVERIFY(w->tmrXmit->remainingTime() > FrmZelMain::PollRetryMs - 20);
    }

    // A reply asked for ahead that is overdue by the time a reply is read was
    // the reply just read, or lost: the next request goes out at once, so
    // the poll never settles into one request per reply plus a wait.
    void overdueReplyIsAskedForAtOnce() {
        port->charTimeNs = 0;
        emit port->replyAlmostIn();
        port->receive("x196040181");
        QCOMPARE(port->writes, (QList<QByteArray>{"x", "x"}));
        // Not polling: the signal asks for nothing.
        w->cmdConnect->click();
        port->setOpenState(true);
        emit port->replyAlmostIn();
        QCOMPARE(port->writes.size(), 2);
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
