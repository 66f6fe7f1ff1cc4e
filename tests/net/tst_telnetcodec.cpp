// Telnet negotiation and data transparency of the RFC 2217 link, on byte streams alone.
#include "core/transport/telnetcodec.h"
#include "support/testmain.h"

#include <string>
#include <vector>

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
const std::string Greeting = cmd(TC::Will, TC::OptSuppressGoAhead) + cmd(TC::Do, TC::OptSuppressGoAhead) +
                             cmd(TC::Will, 1) + cmd(TC::Dont, 1) + cmd(TC::Do, TC::OptBinary) +
                             cmd(TC::Will, TC::OptBinary) + cmd(TC::Do, TC::OptComPort);
const std::string LineSettings = sb({44, TC::CpSetBaudRate, 0, 0, 0x25, 0x80}) +
                                 sb({44, TC::CpSetDataSize, 8}) + sb({44, TC::CpSetParity, 1}) +
                                 sb({44, TC::CpSetStopSize, 1});
QString hex(const std::string& s) {
    return QString::fromLatin1(QByteArray::fromStdString(s).toHex(' '));
}
#define COMPARE_BYTES(actual, expected) QCOMPARE(hex(actual), hex(expected))
// baud rate, data size, parity, stop size, modem state, suspended
QList<unsigned> farEnd(const TC& c) {
    const auto& f = c.farEnd();
    return {f.baudRate, f.dataSize, f.parity, f.stopSize, f.modemState, f.suspended};
}

// A codec that has gone through the greeting, its replies dropped.
TC negotiated() {
    TC c;
    std::string out, data, reply;
    c.start(out);
    c.decode(Greeting, data, reply);
    return c;
}

} // namespace

class TelnetCodecTest : public QObject {
    Q_OBJECT
private slots:
    // Our offers; what we asked for is not answered (a loop), ECHO refused, line settings on DO 44,
    // DTR chosen early right after them, later at once.
    void negotiation() {
        TC c;
        std::string out, data, reply;
        c.start(out);
        c.setDataTerminalReady(false, out);
        COMPARE_BYTES(out, cmd(TC::Will, 0) + cmd(TC::Do, 0) + cmd(TC::Will, 3) + cmd(TC::Do, 3) +
                               cmd(TC::Will, 44));
        QCOMPARE(c.comPort(), TC::ComPort::Pending);
        c.decode(Greeting, data, reply);
        COMPARE_BYTES(reply, cmd(TC::Dont, 1) + LineSettings + sb({44, TC::CpSetControl, TC::ControlDtrOff}));
        QVERIFY(data.empty() && c.comPort() == TC::ComPort::Enabled && c.binaryToServer() &&
                c.binaryFromServer());
        reply.clear();
        c.decode(cmd(TC::Do, 0) + cmd(TC::Will, 0) + cmd(TC::Do, 44) + cmd(TC::Wont, 1) + cmd(TC::Dont, 1),
                 data, reply);
        QVERIFY(reply.empty());
        // Other options are refused; a refusal of one we never had is not answered.
        const std::pair<std::string, std::string> others[] = {{cmd(TC::Do, 24), cmd(TC::Wont, 24)},
                                                              {cmd(TC::Will, 44), cmd(TC::Dont, 44)},
                                                              {cmd(TC::Will, 255), cmd(TC::Dont, 255)},
                                                              {cmd(TC::Wont, 24), ""}};
        for (const auto& [request, answer] : others) {
            reply.clear();
            data.clear();
            c.decode(request + "x1", data, reply);
            COMPARE_BYTES(reply + data, answer + "x1");
        }
        QCOMPARE(c.comPort(), TC::ComPort::Enabled);
        reply.clear();
        c.setDataTerminalReady(true, reply);
        COMPARE_BYTES(reply, sb({44, TC::CpSetControl, TC::ControlDtrOn}));
        // A server without COM-port control gets no DTR.
        TC refused;
        refused.start(out);
        reply.clear();
        refused.decode(cmd(TC::Dont, TC::OptComPort) + cmd(TC::Do, 0), data, reply);
        refused.setDataTerminalReady(false, reply);
        QVERIFY(reply.empty() && refused.comPort() == TC::ComPort::Refused);
    }

    // Every byte value, 0xFF above all, crosses both ways unchanged; with binary turned off again,
    // CR NUL rules apply both ways.
    void everyByteRoundTrips() {
        std::string all;
        for (int b = 0; b < 512; ++b)
            all += char(b);
        TC c = negotiated();
        std::string wire, data, reply;
        c.encode(all, wire);
        QCOMPARE(wire.size(), all.size() + 2); // only the two 0xFF doubled
        negotiated().decode(wire, data, reply);
        COMPARE_BYTES(data + reply, all);
        data.clear(), reply.clear(), wire.clear();
        c.decode(cmd(TC::Dont, 0) + cmd(TC::Wont, 0), data, reply);
        COMPARE_BYTES(reply, cmd(TC::Wont, 0) + cmd(TC::Dont, 0));
        c.encode("ATDT5551234\r", wire);
        QCOMPARE(wire, std::string("ATDT5551234\r\0", 13));
        c.decode(std::string("OK\r\0\r\nCONNECT\r", 14), data, reply);
        c.decode(std::string("\0x", 2), data, reply); // CR NUL split across reads
        QCOMPARE(data, std::string("OK\r\r\nCONNECT\rx"));
    }

    // Data, commands and reports with escaped 0xFF decode alike however the reads are split.
    void splitAnywhere() {
        const std::string stream =
            Greeting + "x196" + bytes({0xff, 0xff}) + "040" + sb({44, 101, 0, 1, 0xff, 0xff, 0}) + "181" +
            cmd(TC::Do, 24) + bytes({TC::Iac, TC::Nop}) + "x" + bytes({0xff, 0xff, 0xff, 0xff}) +
            sb({44, 107, 0xff, 0xff}) + sb({1, 2, 3}) + sb({44, 102, 8}) + sb({44, 103, 1}) +
            sb({44, 104, 1}) + sb({44, 108}) + sb({44, 100}) + "end";
        const auto run = [&](const std::vector<std::size_t>& cuts, std::string* data, std::string* reply) {
            TC c;
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
        const TC whole = run({}, &wholeData, &wholeReply);
        COMPARE_BYTES(wholeData, std::string("x196\xff") + "040181x\xff\xff" + "end");
        COMPARE_BYTES(wholeReply,
                      cmd(TC::Dont, 1) + LineSettings + cmd(TC::Wont, 24) + sb({44, 0, 'z', 'e', 'l'}));
        QCOMPARE(farEnd(whole), (QList<unsigned>{0x0001ff00u, 8, 1, 1, 0xff, true}));
        std::vector<std::size_t> everyByte;
        for (std::size_t i = 0; i <= stream.size(); ++i) {
            if (i > 0 && i < stream.size()) everyByte.push_back(i);
            for (std::size_t j = i; j <= stream.size(); j += (i % 7 == 0 ? 1 : 5)) {
                std::string data, reply;
                const TC c = run({i, j}, &data, &reply);
                if (data != wholeData || reply != wholeReply || farEnd(c) != farEnd(whole) ||
                    c.comPort() != TC::ComPort::Enabled)
                    QFAIL(qPrintable(QStringLiteral("differs when split at %1 and %2").arg(i).arg(j)));
            }
        }
        std::string data, reply;
        run(everyByte, &data, &reply);
        COMPARE_BYTES(data, wholeData);
        COMPARE_BYTES(reply, wholeReply);
    }

    // An endless subnegotiation is bounded and ends at the next command; stray commands vanish.
    void garbledProtocol() {
        TC c = negotiated();
        std::string data, reply;
        c.decode(bytes({TC::Iac, TC::Sb, 44, 101}) + std::string(100000, '\x01') + bytes({TC::Iac, TC::Se}) +
                     "ok",
                 data, reply);
        QVERIFY(data == "ok" && c.farEnd().baudRate == 0);
        c.decode(bytes({TC::Iac, TC::Sb, 44, 101, 0, TC::Iac, TC::Do, 1}) + "x", data, reply);
        COMPARE_BYTES(reply, cmd(TC::Wont, 1));
        c.decode(bytes({TC::Iac, 0x10}) + "y" + bytes({TC::Iac, TC::Se}) + "z", data, reply);
        QCOMPARE(data, std::string("okxyz"));
    }
};

ZEL_TEST(TelnetCodecTest)
#include "tst_telnetcodec.moc"
