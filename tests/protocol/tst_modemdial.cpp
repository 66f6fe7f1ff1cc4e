#include "support/testmain.h"

#include "core/protocol/modemdial.h"

using zel::DialOptions;
using zel::ModemOutcome;

class ModemDialTest : public QObject {
    Q_OBJECT
private slots:
    void dialCommandAndCaption_data() {
        QTest::addColumn<DialOptions>("options");
        QTest::addColumn<QByteArray>("command");
        auto row = [](const char* name, bool tone, bool outsideOn, bool waitingOn, const char* outside,
                      const char* waiting, const char* number, const char* command) {
            DialOptions o;
            o.tone = tone;
            o.outsideOn = outsideOn;
            o.waitingOn = waitingOn;
            o.outside = outside;
            o.waiting = waiting;
            o.number = number;
            QTest::newRow(name) << o << QByteArray(command);
        };
        row("tone, both prefixes", true, true, true, "9", "*70", "5551234", "ATDT9,,*70,,5551234");
        row("pulse, none", false, false, false, "9", "*70", "5551234", "ATDP5551234");
        row("outside only", true, true, false, "9", "*70", "123", "ATDT9,,123");
        row("waiting only, pulse", false, false, true, "9", "*70", "123", "ATDP*70,,123");
        // Restored texts keep their field padding and are dialled as they are.
        row("restored padding", true, true, true, "9     ", "*70   ", "5551234                 ",
            "ATDT9     ,,*70   ,,5551234                 ");
    }
    void dialCommandAndCaption() {
        QFETCH(DialOptions, options);
        QFETCH(QByteArray, command);
        QCOMPARE(zel::dialCommand(options), command);
        // The caption shows what follows "ATDT" or "ATDP".
        QCOMPARE(zel::dialingCaption(options), QStringLiteral("             Dialing  ") + command.mid(4));
        QCOMPARE(zel::modemCommands(options).last(), command + '\r');
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
    }

    void modemStatus_data() {
        QTest::addColumn<QByteArray>("received");
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<ModemOutcome>("outcome");
        const auto W = ModemOutcome::Waiting, C = ModemOutcome::Connected, B = ModemOutcome::Busy,
                   N = ModemOutcome::NoDialTone;
        auto row = [](const char* name, const QByteArray& received, const QByteArray& response,
                      ModemOutcome o) { QTest::newRow(name) << received << response << o; };
        row("empty", "", "", W);
        row("zeros only", "000000000", "0000000", W);
        row("connect", "000000000\r\nCONNECT 9600\r\n", "CONNECT 9600", C);
        // In pieces: the last two characters received are never looked at.
        row("piece 1", "000000000\r\nCONNE", "CON", W);
        row("piece 2", "000000000\r\nCONNECT 9", "CONNECT", C);
        row("no break after zeros", "000000000CONNECT 9600\r\n", "000000000CONNECT 9600", W);
        row("busy inside zeros line", "000000000BUSY\r\n", "000000000BUSY", B);
        row("lower-case connect", "000000000\r\nconnect 9600\r\n", "connect 9600", W);
        row("busy inside a line", "000000000\r\nLINE BUSY NOW\r\n", "LINE BUSY NOW", B);
        row("no dialtone", "000000000\r\nNO DIALTONE\r\n", "NO DIALTONE", N);
        row("no carrier", "000000000\r\nNO CARRIER\r\n", "NO CARRIER", N);
        row("no answer", "000000000\r\nNO ANSWER\r\n", "NO ANSWER", N);
        row("ok then connect", "000000000\r\nOK\r\n\r\nCONNECT\r\n", "CONNECT", C);
        row("error", "000000000\r\nERROR\r\n", "ERROR", W);
    }
    void modemStatus() {
        QFETCH(QByteArray, received);
        QFETCH(QByteArray, response);
        QCOMPARE(zel::modemStatus(received), response);
        QTEST(zel::classifyModemResponse(response), "outcome");
    }
};
ZEL_TEST(ModemDialTest)
#include "tst_modemdial.moc"
