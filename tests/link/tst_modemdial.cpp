#include "support/testmain.h"

#include "link/modemdial.h"

using zel::DialOptions;
using zel::ModemOutcome;

class ModemDialTest : public QObject {
    Q_OBJECT
private slots:
    void dialCommandAndCaption_data() {
        QTest::addColumn<bool>("tone");
        QTest::addColumn<bool>("outsideOn");
        QTest::addColumn<bool>("waitingOn");
        QTest::addColumn<QByteArray>("outside");
        QTest::addColumn<QByteArray>("waiting");
        QTest::addColumn<QByteArray>("number");
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QString>("caption");
        const QString pad = QStringLiteral("             Dialing  ");
        QTest::newRow("tone, both prefixes")
            << true << true << true << QByteArray("9") << QByteArray("*70") << QByteArray("5551234")
            << QByteArray("ATDT9,,*70,,5551234") << pad + "9,,*70,,5551234";
        QTest::newRow("pulse, none") << false << false << false << QByteArray("9") << QByteArray("*70")
                                     << QByteArray("5551234") << QByteArray("ATDP5551234") << pad + "5551234";
        QTest::newRow("outside only") << true << true << false << QByteArray("9") << QByteArray("*70")
                                      << QByteArray("123") << QByteArray("ATDT9,,123") << pad + "9,,123";
        QTest::newRow("waiting only, pulse")
            << false << false << true << QByteArray("9") << QByteArray("*70") << QByteArray("123")
            << QByteArray("ATDP*70,,123") << pad + "*70,,123";
        // Restored texts keep their field padding and are dialled as they are.
        QTest::newRow("restored padding") << true << true << true << QByteArray("9     ")
                                          << QByteArray("*70   ") << QByteArray("5551234                 ")
                                          << QByteArray("ATDT9     ,,*70   ,,5551234                 ")
                                          << pad + "9     ,,*70   ,,5551234                 ";
    }
    void dialCommandAndCaption() {
        QFETCH(bool, tone);
        QFETCH(bool, outsideOn);
        QFETCH(bool, waitingOn);
        DialOptions o;
        o.tone = tone;
        o.outsideOn = outsideOn;
        o.waitingOn = waitingOn;
        QFETCH(QByteArray, outside);
        QFETCH(QByteArray, waiting);
        QFETCH(QByteArray, number);
        o.outside = outside;
        o.waiting = waiting;
        o.number = number;
        QTEST(zel::dialCommand(o), "command");
        QTEST(zel::dialingCaption(o), "caption");
        QCOMPARE(zel::modemCommands(o).last(), zel::dialCommand(o) + '\r');
    }

    void burstOrderAndSpeaker() {
        DialOptions o;
        o.number = "42";
        // No speaker option: no speaker command, still echo off and dial.
        QCOMPARE(zel::modemCommands(o), (QList<QByteArray>{"ate0\r", "ATDT42\r"}));
        o.speakerLoud = true;
        QCOMPARE(zel::modemCommands(o).first(), QByteArray("ATM1L3\r"));
        o.speakerLow = true; // tested before loud
        QCOMPARE(zel::speakerCommand(o), QByteArray("ATM1L1"));
        o.speakerOff = true; // tested first
        QCOMPARE(zel::speakerCommand(o), QByteArray("ATM0"));
        // The initialisation text only when its box is checked, as typed.
        o.ini = "AT&F  ";
        QCOMPARE(zel::modemCommands(o).size(), 3);
        o.iniOn = true;
        QCOMPARE(zel::modemCommands(o), (QList<QByteArray>{"ATM0\r", "ate0\r", "AT&F  \r", "ATDT42\r"}));
        for (const QByteArray& c : zel::modemCommands(o))
            QCOMPARE(c.count('\r'), 1);
    }

    void modemStatus_data() {
        QTest::addColumn<QByteArray>("received");
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<int>("outcome");
        const int W = int(ModemOutcome::Waiting), C = int(ModemOutcome::Connected),
                  B = int(ModemOutcome::Busy), N = int(ModemOutcome::NoDialTone);
        QTest::newRow("empty") << QByteArray() << QByteArray() << W;
        QTest::newRow("zeros only") << QByteArray("000000000") << QByteArray("0000000") << W;
        QTest::newRow("connect whole")
            << QByteArray("000000000\r\nCONNECT 9600\r\n") << QByteArray("CONNECT 9600") << C;
        // In pieces: the last two characters received are never looked at.
        QTest::newRow("piece 1") << QByteArray("000000000\r\nCONNE") << QByteArray("CON") << W;
        QTest::newRow("piece 2") << QByteArray("000000000\r\nCONNECT 9") << QByteArray("CONNECT") << C;
        QTest::newRow("no break after zeros")
            << QByteArray("000000000CONNECT 9600\r\n") << QByteArray("000000000CONNECT 9600") << W;
        QTest::newRow("busy inside zeros line")
            << QByteArray("000000000BUSY\r\n") << QByteArray("000000000BUSY") << B;
        QTest::newRow("lower-case connect")
            << QByteArray("000000000\r\nconnect 9600\r\n") << QByteArray("connect 9600") << W;
        QTest::newRow("busy") << QByteArray("000000000\r\nBUSY\r\n") << QByteArray("BUSY") << B;
        QTest::newRow("busy inside a line")
            << QByteArray("000000000\r\nLINE BUSY NOW\r\n") << QByteArray("LINE BUSY NOW") << B;
        QTest::newRow("no dialtone") << QByteArray("000000000\r\nNO DIALTONE\r\n")
                                     << QByteArray("NO DIALTONE") << N;
        QTest::newRow("no carrier") << QByteArray("000000000\r\nNO CARRIER\r\n") << QByteArray("NO CARRIER")
                                    << N;
        QTest::newRow("no answer") << QByteArray("000000000\r\nNO ANSWER\r\n") << QByteArray("NO ANSWER")
                                   << N;
        QTest::newRow("ok lines") << QByteArray("000000000\r\nOK\r\n\r\nOK\r\n") << QByteArray("OK") << W;
        QTest::newRow("ok then connect")
            << QByteArray("000000000\r\nOK\r\n\r\nCONNECT\r\n") << QByteArray("CONNECT") << C;
        QTest::newRow("error") << QByteArray("000000000\r\nERROR\r\n") << QByteArray("ERROR") << W;
    }
    void modemStatus() {
        QFETCH(QByteArray, received);
        QFETCH(QByteArray, response);
        QFETCH(int, outcome);
        QCOMPARE(zel::modemStatus(received), response);
        QCOMPARE(int(zel::classifyModemResponse(response)), outcome);
    }
};
ZEL_TEST(ModemDialTest)
#include "tst_modemdial.moc"
