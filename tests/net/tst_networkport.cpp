// Network port texts: what is taken, and what is refused at once and why.
#include "core/transport/networkport.h"
#include "core/transport/networktransport.h"
#include "support/testmain.h"

using zel::NetworkPort;
using Kind = zel::NetworkPort::Kind;

class NetworkPortTest : public QObject {
    Q_OBJECT
private slots:
    void valid_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("endpoint");
        QTest::newRow("tcp IPv4") << "tcp://127.0.0.1:2001" << Kind::Tcp << "127.0.0.1" << 2001
                                  << "127.0.0.1:2001";
        QTest::newRow("rfc2217") << "rfc2217://10.1.2.3:4001" << Kind::Rfc2217 << "10.1.2.3" << 4001
                                 << "10.1.2.3:4001";
        QTest::newRow("upper-case scheme, blanks") << "  TCP://site-7.example.org:1  " << Kind::Tcp
                                                   << "site-7.example.org" << 1 << "site-7.example.org:1";
        QTest::newRow("IPv6 loopback") << "tcp://[::1]:2000" << Kind::Tcp << "::1" << 2000 << "[::1]:2000";
        QTest::newRow("IPv6 with zone") << "rfc2217://[fe80::1%eth0]:7000" << Kind::Rfc2217 << "fe80::1%eth0"
                                        << 7000 << "[fe80::1%eth0]:7000";
        QTest::newRow("trailing dot") << "tcp://server.:23" << Kind::Tcp << "server." << 23 << "server.:23";
        QTest::newRow("international name")
            << QStringLiteral("tcp://sender-köln.de:2000") << Kind::Tcp << "xn--sender-kln-lcb.de" << 2000
            << "xn--sender-kln-lcb.de:2000";
        QTest::newRow("leading zeros in port") << "tcp://h:0080" << Kind::Tcp << "h" << 80 << "h:80";
    }
    void valid() {
        QFETCH(QString, text);
        QFETCH(Kind, kind);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, endpoint);
        QString error;
        const auto p = zel::parseNetworkPort(text, &error);
        QVERIFY2(p, qPrintable(error));
        QCOMPARE(p->kind, kind);
        QCOMPARE(p->host, host);
        QCOMPARE(int(p->port), port);
        QCOMPARE(p->endpoint(), endpoint);
        const auto t = zel::makeNetworkTransport(text, &error);
        QVERIFY(t);
        QVERIFY(error.isEmpty());
        QCOMPARE(t->portText(), text);
        QCOMPARE(qobject_cast<zel::Rfc2217Transport*>(t.get()) != nullptr, kind == Kind::Rfc2217);
        QVERIFY(!t->isOpen());
    }

    void refused_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("error");
        QTest::newRow("no port") << "tcp://host"
                                 << "tcp://host has no port number";
        QTest::newRow("empty port") << "tcp://host:"
                                    << "tcp://host: has no port number";
        QTest::newRow("no host") << "tcp://:2000"
                                 << "tcp://:2000 has no host";
        QTest::newRow("port 0") << "tcp://host:0"
                                << "port 0 is not between 1 and 65535";
        QTest::newRow("port too big") << "tcp://host:65536"
                                      << "port 65536 is not between 1 and 65535";
        QTest::newRow("port of six digits") << "tcp://host:100000"
                                            << "\"100000\" is not a port number";
        QTest::newRow("port not a number") << "tcp://host:telnet"
                                           << "\"telnet\" is not a port number";
        QTest::newRow("path") << "tcp://host:2000/x"
                              << "only HOST:PORT may follow";
        QTest::newRow("user") << "tcp://me@host:2000"
                              << "only HOST:PORT may follow";
        QTest::newRow("bad IPv4") << "tcp://300.1.1.1:2000"
                                  << "300.1.1.1 is not a valid IPv4 address";
        QTest::newRow("short IPv4") << "tcp://10.1.1:2000"
                                    << "10.1.1 is not a valid IPv4 address";
        QTest::newRow("bare IPv6") << "tcp://::1:2000"
                                   << "an IPv6 address goes in brackets";
        QTest::newRow("bad IPv6") << "tcp://[::g]:2000"
                                  << "[::g] is not a valid IPv6 address";
        QTest::newRow("IPv4 in brackets") << "tcp://[127.0.0.1]:2000"
                                          << "is not a valid IPv6 address";
        QTest::newRow("unclosed bracket") << "tcp://[::1:2000"
                                          << "has no closing";
        QTest::newRow("bracket then junk") << "tcp://[::1]2000"
                                           << "\":PORT\" must follow";
        QTest::newRow("IPv6 no port") << "tcp://[::1]"
                                      << "tcp://[::1] has no port number";
        QTest::newRow("underscore-free junk") << "tcp://ho st:2000"
                                              << "ho st is not a valid host name";
        QTest::newRow("label starts with -") << "tcp://-host:2000"
                                             << "-host is not a valid host name";
        QTest::newRow("empty label") << "tcp://a..b:2000"
                                     << "a..b is not a valid host name";
        QTest::newRow("label too long") << "tcp://" + QString(64, 'a') + ":1"
                                        << "is not a valid host name";
        QTest::newRow("unknown scheme") << "udp://host:2000"
                                        << "unknown link type \"udp://\"";
        QTest::newRow("telnet scheme") << "telnet://host:23"
                                       << "use tcp:// or rfc2217://";
    }
    void refused() {
        QFETCH(QString, text);
        QFETCH(QString, error);
        QString why;
        QVERIFY(!zel::parseNetworkPort(text, &why));
        QVERIFY2(why.contains(error), qPrintable(why));
        // The factory refuses it too, with the same reason.
        QString factoryWhy;
        QVERIFY(!zel::makeNetworkTransport(text, &factoryWhy));
        QCOMPARE(factoryWhy, why);
    }

    // Serial texts are not the factory's: no transport and no error, so the
    // caller goes on to its serial rules.
    void serialTextsPassThrough() {
        for (const char* text : {"COM 1", "/dev/ttyUSB0", "USB0", "SIM", "", "tcp:127.0.0.1:2000"}) {
            QString error = QStringLiteral("stale");
            QVERIFY(!zel::makeNetworkTransport(QString::fromLatin1(text), &error));
            QVERIFY2(error.isEmpty(), text);
        }
    }
};

ZEL_TEST(NetworkPortTest)
#include "tst_networkport.moc"
