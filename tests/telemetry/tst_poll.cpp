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

    void readings(float pos, float neg, float carrier) {
        QCOMPARE(w->PosPeak, pos);
        QCOMPARE(w->NegPeak, neg);
        QCOMPARE(w->CarrierLevel, carrier);
    }

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

    void oneReplyIsShownDecodedAndPolledAgain() {
        QSignalSpy shown(w.get(), &FrmZelMain::packetShown);
        port->receive("x196040181");
        QCOMPARE(w->lblRcvdat->text(), QStringLiteral("x196040181"));
        readings(40, 0, 36);
        QCOMPARE(w->InputString, QByteArray("000000000"));
        QCOMPARE(shown.count(), 1);
        QCOMPARE(port->writes, QList<QByteArray>{"x"});
        QVERIFY(w->tmrXmit->isActive());
    }

    void twoRepliesQueuedDecodeTheNewest() {
        port->receive("x111222333x196040181");
        QCOMPARE(w->lblRcvdat->text(), QStringLiteral("x111222333x196040181"));
        readings(40, 0, 36);
    }

    void replyArrivingInPiecesIsReadWhenTenWait() {
        port->receive("x1960");
        QCOMPARE(w->lblRcvdat->text(), QStringLiteral("EMPTY"));
        QVERIFY(port->writes.isEmpty());
        port->receive("40181");
        QCOMPARE(w->lblRcvdat->text(), QStringLiteral("x196040181"));
        readings(40, 0, 36);
    }

    void textThatIsNoPacketLeavesThePanel() {
        port->receive("x255243039");
        readings(55, 52, 0);
        for (const QByteArray& text :
             {QByteArray("X196040181"), QByteArray("1x19604018"), QByteArray(40, '#')}) {
            port->receive(text);
            QCOMPARE(w->lblRcvdat->text(), QString::fromLatin1(text));
            readings(55, 52, 0);
            QCOMPARE(w->InputString, QByteArray("000000000"));
        }
    }

    void tornReadIsNotDecodedIntoAFalseAlarm() {
        port->receive("x196040196");
        QCOMPARE(w->shpCarrierLed->fillColor(), QColor(195, 160, 160));
        // A read that ends inside the next reply: the old code decoded the
        // carrier field "18x" as 0 and raised the carrier alarm.
        port->receive("x19604018x");
        QCOMPARE(w->lblRcvdat->text(), QStringLiteral("x19604018x"));
        readings(40, 0, 40);
        QCOMPARE(w->shpCarrierLed->fillColor(), QColor(195, 160, 160));
        // The kept "x" is completed by the next read.
        port->receive("210040181x");
        readings(43, 0, 36);
    }

    void unansweredRequestIsSentAgain() {
        QCOMPARE(w->tmrXmit->interval(), FrmZelMain::PollRetryMs);
        w->tmrXmit_Timer();
        w->tmrXmit_Timer();
        QCOMPARE(port->writes, (QList<QByteArray>{"x", "x"}));
        // Each request restarts the retry interval.
        QVERIFY(w->tmrXmit->remainingTime() > FrmZelMain::PollRetryMs - 20);
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
