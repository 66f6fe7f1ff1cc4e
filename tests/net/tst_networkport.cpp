// Network port texts: what is taken, what is refused at once and why, and
// what is left to the serial rules.
#include "core/transport/networkport.h"
#include "core/transport/networktransport.h"
#include "support/testmain.h"

class NetworkPortTest : public QObject {
    Q_OBJECT
private slots:
    // The endpoint a text names ("rfc2217 " first for that kind), or a part
    // of the reason it is refused ("!" first); "" for a serial text.
    void parse_data() {
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
            {"COM 1", ""},
            {"/dev/ttyUSB0", ""},
            {"tcp:127.0.0.1:2000", ""}};
        for (const auto& [text, expected] : rows)
            QTest::newRow(qPrintable(text)) << text << expected;
    }
    void parse() {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QString why = QStringLiteral("stale");
        const auto t = zel::makeNetworkTransport(text, &why);
        if (expected.isEmpty() || expected.startsWith(QLatin1Char('!'))) {
            QVERIFY(!t);
            QVERIFY2(expected.isEmpty() ? why.isEmpty() : why.contains(expected.mid(1)), qPrintable(why));
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
};

ZEL_TEST(NetworkPortTest)
#include "tst_networkport.moc"
