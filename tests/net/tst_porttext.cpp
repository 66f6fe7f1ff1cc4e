// Port texts: network endpoints, what is refused at once and why, the serial rules for the rest, and
// the texts offered.
#include "core/transport/networkport.h"
#include "core/transport/networktransport.h"
#include "core/transport/portname.h"
#include "support/testmain.h"

using Kind = zel::PortTarget::Kind;

class PortTextTest : public QObject {
    Q_OBJECT
private slots:
    // The endpoint ("rfc2217 " first for that kind) or device, or "!" and part of the refusal.
    void resolve_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        const std::pair<QString, QString> rows[] = {
            {"tcp://127.0.0.1:2001", "127.0.0.1:2001"},
            {"rfc2217://10.1.2.3:4001", "rfc2217 10.1.2.3:4001"},
            {"  TCP://site-7.example.org:1  ", "site-7.example.org:1"},
            {"rfc2217://[fe80::1%eth0]:7000", "rfc2217 [fe80::1%eth0]:7000"},
            {"tcp://server.:23", "server.:23"},
            {QStringLiteral("tcp://sender-köln.de:2000"), "xn--sender-kln-lcb.de:2000"},
            {"tcp://h:0080", "h:80"},
            {"tcp://host:", "!tcp://host: has no port number"},
            {"tcp://:2000", "!tcp://:2000 has no host"},
            {"tcp://host:0", "!port 0 is not between 1 and 65535"},
            {"tcp://host:65536", "!port 65536 is not between 1 and 65535"},
            {"tcp://host:100000", "!\"100000\" is not a port number"},
            {"tcp://host:telnet", "!\"telnet\" is not a port number"},
            {"tcp://me@host:2000", "!only HOST:PORT may follow"},
            {"tcp://300.1.1.1:2000", "!300.1.1.1 is not a valid IPv4 address"},
            {"tcp://10.1.1:2000", "!10.1.1 is not a valid IPv4 address"},
            {"tcp://::1:2000", "!an IPv6 address goes in brackets"},
            {"tcp://[127.0.0.1]:2000", "!is not a valid IPv6 address"},
            {"tcp://[::1:2000", "!has no closing"},
            {"tcp://[::1]2000", "!\":PORT\" must follow"},
            {"tcp://-host:2000", "!-host is not a valid host name"},
            {"tcp://a..b:2000", "!a..b is not a valid host name"},
            {"tcp://" + QString(64, 'a') + ":1", "!is not a valid host name"},
            {"udp://host:2000", "!unknown link type \"udp://\""},
            {"telnet://host:23", "!use tcp:// or rfc2217://"},
            // Serial texts: a device path, "SIM", or "!" and part of the reason.
            {"COM 3  ", "/dev/ttyS2"},
            {QStringLiteral("COM 2") + QChar(0), "/dev/ttyS1"},
            {"com 4", "/dev/ttyS3"},
            {"LPT1", "/dev/ttyS0"}, // any text ending in a digit 1-9 is that port
            {"/dev/ttyUSB0   ", "/dev/ttyUSB0"},
            {"usb1 ", "/dev/ttyUSB1"}, // short names come before the COM rule
            {"USB12", "/dev/ttyUSB12"},
            {"S0", "/dev/ttyS0"},
            {"Sim  ", "SIM"},
            {"     ", "!No serial port"},
            {"COM 0", "!\"COM 0\" does not name"},
            {"COM 12", "!\"COM 12\" is not a serial port"}, // not port 2
            {"SIMX", "!\"SIMX\""},
            {"tcp:127.0.0.1:2000", "!does not name a serial port"}};
        for (const auto& [text, expected] : rows)
            QTest::newRow(qPrintable(text)) << text << expected;
    }
    void resolve() {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QString why = QStringLiteral("stale");
        const auto t = zel::makeNetworkTransport(text, &why);
        const bool refused = expected.startsWith(QLatin1Char('!'));
        if (!zel::isNetworkPortText(text)) {
            QVERIFY(!t && why.isEmpty());
            const zel::PortTarget p = zel::resolvePortText(text);
            const QString got = p.kind == Kind::Invalid     ? p.error
                                : p.kind == Kind::Simulator ? QStringLiteral("SIM")
                                                            : p.device;
            QVERIFY2(refused ? p.kind == Kind::Invalid && got.contains(expected.mid(1)) : got == expected,
                     qPrintable(got));
            return;
        }
        if (refused) {
            QVERIFY(!t);
            QVERIFY2(why.contains(expected.mid(1)), qPrintable(why));
            return;
        }
        QVERIFY2(t, qPrintable(why));
        QCOMPARE(t->portText(), text);
        const bool rfc = expected.startsWith(QLatin1String("rfc2217 "));
        QCOMPARE(qobject_cast<zel::Rfc2217Transport*>(t.get()) != nullptr, rfc);
        const auto p = zel::parseNetworkPort(text, &why);
        QVERIFY(p);
        QCOMPARE(p->endpoint(), rfc ? expected.mid(8) : expected);
    }

    // The offered texts all resolve, fit the record's field, and are "COM n" for serial ports.
    void offeredTexts() {
        const QStringList texts = zel::availablePortTexts();
        QCOMPARE(texts.first(), QStringLiteral("COM 1"));
        QCOMPARE(texts.count(QStringLiteral("SIM")), 1);
        for (const QString& text : texts) {
            QVERIFY2(text.size() <= 5 && zel::resolvePortText(text).kind != zel::PortTarget::Kind::Invalid,
                     qPrintable(text));
            QVERIFY2(!text.startsWith(QLatin1Char('S')) || text == QStringLiteral("SIM"), qPrintable(text));
        }
    }
};

ZEL_TEST(PortTextTest)
#include "tst_porttext.moc"
