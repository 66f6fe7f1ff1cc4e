// Telnet negotiation and data transparency of the RFC 2217 link, on byte
// streams alone.
#include "core/transport/telnetcodec.h"
#include "support/testmain.h"

#include <string>
#include <vector>

using zel::TelnetCodec;
using TC = zel::TelnetCodec;

namespace {

std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (const int b : list)
        s += char(b);
    return s;
}
std::string cmd(int verb, int option) {
    return bytes({TC::Iac, verb, option});
}
std::string sb(std::initializer_list<int> body) {
    return bytes({TC::Iac, TC::Sb}) + bytes(body) + bytes({TC::Iac, TC::Se});
}
// How a device server opens a Telnet COM-port session.
std::string serverGreeting() {
    return cmd(TC::Will, TC::OptSuppressGoAhead) + cmd(TC::Do, TC::OptSuppressGoAhead) + cmd(TC::Will, 1) +
           cmd(TC::Dont, 1) + cmd(TC::Do, TC::OptBinary) + cmd(TC::Will, TC::OptBinary) +
           cmd(TC::Do, TC::OptComPort);
}
std::string settingsCommands() {
    return sb({TC::OptComPort, TC::CpSetBaudRate, 0, 0, 0x25, 0x80}) +
           sb({TC::OptComPort, TC::CpSetDataSize, 8}) + sb({TC::OptComPort, TC::CpSetParity, 1}) +
           sb({TC::OptComPort, TC::CpSetStopSize, 1});
}
std::string hex(const std::string& s) {
    std::string out;
    char buf[4];
    for (const unsigned char c : s) {
        std::snprintf(buf, sizeof buf, "%02x ", c);
        out += buf;
    }
    return out;
}
#define COMPARE_BYTES(actual, expected)                                                                      \
    QCOMPARE(QString::fromStdString(hex(actual)), QString::fromStdString(hex(expected)))

// A codec that has gone through the greeting; its replies are dropped.
TelnetCodec negotiated() {
    TelnetCodec c;
    std::string out, data, reply;
    c.start(out);
    c.decode(serverGreeting(), data, reply);
    return c;
}

} // namespace

class TelnetCodecTest : public QObject {
    Q_OBJECT
private slots:
    void opensWithOwnRequests() {
        TelnetCodec c;
        std::string out;
        c.start(out);
        COMPARE_BYTES(out, cmd(TC::Will, 0) + cmd(TC::Do, 0) + cmd(TC::Will, 3) + cmd(TC::Do, 3) +
                               cmd(TC::Will, 44));
        QCOMPARE(c.comPort(), TC::ComPort::Pending);
        QVERIFY(!c.binaryToServer());
    }

    // The server confirms what we asked (no answer: that would loop),
    // ECHO is refused, and DO COM-PORT-OPTION answers our offer:
    // the line settings follow at once, and only then.
    void answersGreetingWithoutLoops() {
        TelnetCodec c;
        std::string out, data, reply;
        c.start(out);
        c.decode(serverGreeting(), data, reply);
        COMPARE_BYTES(reply, cmd(TC::Dont, 1) + settingsCommands());
        QVERIFY(data.empty());
        QCOMPARE(c.comPort(), TC::ComPort::Enabled);
        QVERIFY(c.binaryToServer());
        QVERIFY(c.binaryFromServer());
        // The same requests again change nothing and get no answer.
        reply.clear();
        c.decode(cmd(TC::Do, 0) + cmd(TC::Will, 0) + cmd(TC::Do, 44) + cmd(TC::Wont, 1) + cmd(TC::Dont, 1),
                 data, reply);
        QVERIFY(reply.empty());
    }

    void refusesOtherOptions_data() {
        QTest::addColumn<int>("verb");
        QTest::addColumn<int>("option");
        QTest::addColumn<int>("answer");
        QTest::newRow("DO ECHO") << int(TC::Do) << 1 << int(TC::Wont);
        QTest::newRow("DO TERMINAL-TYPE") << int(TC::Do) << 24 << int(TC::Wont);
        QTest::newRow("WILL ECHO") << int(TC::Will) << 1 << int(TC::Dont);
        QTest::newRow("WILL COM-PORT (server side only)") << int(TC::Will) << 44 << int(TC::Dont);
        QTest::newRow("WILL 255") << int(TC::Will) << 255 << int(TC::Dont);
        QTest::newRow("WONT unknown: silence") << int(TC::Wont) << 24 << -1;
        QTest::newRow("DONT unknown: silence") << int(TC::Dont) << 24 << -1;
    }
    void refusesOtherOptions() {
        QFETCH(int, verb);
        QFETCH(int, option);
        QFETCH(int, answer);
        TelnetCodec c = negotiated();
        std::string data, reply;
        c.decode(cmd(verb, option) + "x1", data, reply);
        COMPARE_BYTES(reply, answer < 0 ? std::string() : cmd(answer, option));
        QCOMPARE(data, std::string("x1"));
        QCOMPARE(c.comPort(), TC::ComPort::Enabled);
    }

    // A Telnet server without COM-port control: no settings are sent and
    // the codec says so, so the link can still open.
    void comPortRefused() {
        TelnetCodec c;
        std::string out, data, reply;
        c.start(out);
        c.decode(cmd(TC::Dont, TC::OptComPort) + cmd(TC::Do, 0), data, reply);
        QCOMPARE(c.comPort(), TC::ComPort::Refused);
        QVERIFY(reply.empty());
        c.setDataTerminalReady(false, reply);
        QVERIFY(reply.empty());
    }

    // The server turning binary off again: CR NUL rules apply both ways.
    void binaryWithdrawn() {
        TelnetCodec c = negotiated();
        std::string data, reply;
        c.decode(cmd(TC::Dont, 0) + cmd(TC::Wont, 0), data, reply);
        COMPARE_BYTES(reply, cmd(TC::Wont, 0) + cmd(TC::Dont, 0));
        QVERIFY(!c.binaryToServer() && !c.binaryFromServer());
        std::string out;
        c.encode("ATDT5551234\r", out);
        QCOMPARE(out, std::string("ATDT5551234\r\0", 13));
        c.decode(std::string("OK\r\0\r\nCONNECT\r", 14), data, reply);
        c.decode(std::string("\0x", 2), data, reply); // CR NUL split across reads
        QCOMPARE(data, std::string("OK\r\r\nCONNECT\rx"));
    }

    void dataTerminalReady() {
        // Chosen before agreement: sent right after the line settings.
        TelnetCodec c;
        std::string out, data, reply;
        c.start(out);
        c.setDataTerminalReady(false, out);
        COMPARE_BYTES(out.substr(out.size() - 3), cmd(TC::Will, 44));
        c.decode(cmd(TC::Do, 44), data, reply);
        COMPARE_BYTES(reply, settingsCommands() + sb({44, TC::CpSetControl, TC::ControlDtrOff}));
        // Afterwards at once.
        reply.clear();
        c.setDataTerminalReady(true, reply);
        COMPARE_BYTES(reply, sb({44, TC::CpSetControl, TC::ControlDtrOn}));
    }

    // What the server reports back, including an escaped 0xFF in a value.
    void readsServerReports() {
        TelnetCodec c = negotiated();
        std::string data, reply;
        c.decode(sb({44, 101, 0, 0, 0x25, 0x80}) + sb({44, 102, 8}) + "x" + sb({44, 103, 1}) +
                     sb({44, 104, 1}) + sb({44, 107, 0xff, 0xff}) + sb({44, 108}),
                 data, reply);
        QCOMPARE(c.farEnd().baudRate, 9600u);
        QCOMPARE(int(c.farEnd().dataSize), 8);
        QCOMPARE(int(c.farEnd().parity), 1);
        QCOMPARE(int(c.farEnd().stopSize), 1);
        QCOMPARE(int(c.farEnd().modemState), 0xff);
        QVERIFY(c.farEnd().suspended);
        QCOMPARE(data, std::string("x"));
        QVERIFY(reply.empty());
        c.decode(sb({44, 101, 0, 1, 0xff, 0xff, 0}), data, reply); // 0x0001ff00
        QCOMPARE(c.farEnd().baudRate, 0x0001ff00u);
        c.decode(sb({44, 100}), data, reply); // asks our signature
        COMPARE_BYTES(reply, sb({44, 0, 'z', 'e', 'l'}));
    }

    // Every byte value, 0xFF above all, crosses both ways unchanged.
    void everyByteRoundTrips() {
        std::string all;
        for (int round = 0; round < 2; ++round)
            for (int b = 0; b < 256; ++b)
                all += char(b);
        const TelnetCodec sender = negotiated();
        std::string wire;
        sender.encode(all, wire);
        QCOMPARE(wire.size(), all.size() + 2); // only the two 0xFF doubled
        TelnetCodec receiver = negotiated();
        std::string data, reply;
        receiver.decode(wire, data, reply);
        COMPARE_BYTES(data, all);
        QVERIFY(reply.empty());
    }

    // A stream with data, escaped 0xFF, commands and subnegotiations,
    // split into two and into three reads at every point (and byte by byte),
    // decodes to the same data, answers and state as in one read.
    void splitAnywhere() {
        const std::string stream = serverGreeting() + "x196" + bytes({0xff, 0xff}) + "040" +
                                   sb({44, 101, 0, 0, 0x25, 0x80}) + "181" + cmd(TC::Do, 24) +
                                   bytes({TC::Iac, TC::Nop}) + "x" + bytes({0xff, 0xff, 0xff, 0xff}) +
                                   sb({44, 107, 0xff, 0xff}) + sb({1, 2, 3}) + "end";
        const auto run = [&](const std::vector<std::size_t>& cuts, std::string* data, std::string* reply) {
            TelnetCodec c;
            std::string out;
            c.start(out);
            std::size_t from = 0;
            for (const std::size_t cut : cuts) {
                c.decode(std::string_view(stream).substr(from, cut - from), *data, *reply);
                from = cut;
            }
            c.decode(std::string_view(stream).substr(from), *data, *reply);
            return c;
        };
        std::string wholeData, wholeReply;
        const TelnetCodec whole = run({}, &wholeData, &wholeReply);
        COMPARE_BYTES(wholeData, std::string("x196\xff") + "040181x\xff\xff" + "end");
        QCOMPARE(whole.farEnd().baudRate, 9600u);
        QCOMPARE(int(whole.farEnd().modemState), 0xff);
        for (std::size_t i = 0; i <= stream.size(); ++i) {
            for (std::size_t j = i; j <= stream.size(); j += (i % 7 == 0 ? 1 : 5)) {
                std::string data, reply;
                const TelnetCodec c = run({i, j}, &data, &reply);
                if (data != wholeData || reply != wholeReply || c.farEnd().baudRate != 9600u ||
                    c.farEnd().modemState != 0xff || c.comPort() != TC::ComPort::Enabled)
                    QFAIL(qPrintable(QStringLiteral("differs when split at %1 and %2").arg(i).arg(j)));
            }
        }
        std::vector<std::size_t> everyByte;
        for (std::size_t i = 1; i < stream.size(); ++i)
            everyByte.push_back(i);
        std::string data, reply;
        run(everyByte, &data, &reply);
        COMPARE_BYTES(data, wholeData);
        COMPARE_BYTES(reply, wholeReply);
    }

    // Garbage in the protocol: a subnegotiation that never ends is bounded
    // and ends at the next command; an overlong one is skipped whole.
    void garbledProtocol() {
        TelnetCodec c = negotiated();
        std::string data, reply;
        std::string longSb = bytes({TC::Iac, TC::Sb, 44, 101});
        longSb += std::string(100000, '\x01');
        c.decode(longSb + bytes({TC::Iac, TC::Se}) + "ok", data, reply);
        QCOMPARE(data, std::string("ok"));
        QCOMPARE(c.farEnd().baudRate, 0u);
        data.clear();
        c.decode(bytes({TC::Iac, TC::Sb, 44, 101, 0, TC::Iac, TC::Do, 1}) + "x", data, reply);
        COMPARE_BYTES(reply, cmd(TC::Wont, 1));
        QCOMPARE(data, std::string("x"));
        data.clear();
        c.decode(bytes({TC::Iac, 0x10}) + "y" + bytes({TC::Iac, TC::Se}) + "z", data,
                 reply); // stray commands
        QCOMPARE(data, std::string("yz"));
    }
};

ZEL_TEST(TelnetCodecTest)
#include "tst_telnetcodec.moc"
