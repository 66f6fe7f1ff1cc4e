// The wire rules: numbers in a field, fields to bar positions, packets out of
// reads, and the modem's dial burst and replies.
#include "core/protocol/modemdial.h"
#include "core/protocol/packetdecoder.h"
#include "core/protocol/packetframer.h"
#include "core/settings/connectionkeys.h"
#include "support/testmain.h"

#include <string>

using zel::ModemOutcome;
using zel::PacketFramer;

namespace {
std::string_view view(const QByteArray& b) {
    return {b.constData(), size_t(b.size())};
}
float field(const QByteArray& text) {
    return zel::decodeField(view(text));
}
// The data a read hands on, or "-" when it hands on nothing.
std::string fed(PacketFramer& framer, std::string_view read) {
    const auto data = framer.feed(read);
    return data ? std::string(data->begin(), data->end()) : std::string("-");
}
} // namespace

class ProtocolTest : public QObject {
    Q_OBJECT
private slots:
    void leadingNumber_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<double>("expected");
        const std::pair<const char*, double> rows[] = {
            {"1D2", 100},      {"9x9", 9},
            {"\t1\n2 3", 123}, {"1\r2", 1},
            {"+-4", 0},        {"- 4", -4},
            {"1.2.3", 1.2},    {"25E-1", 2.5},
            {"1 E 2", 100},    {"1E+", 1},
            {"&hc8", 200},     {"&H1G", 1},
            {"&O78", 7},       {"1&H2", 1},
            {"1E-999", 0},     {"1E999", std::numeric_limits<double>::infinity()}};
        for (const auto& [text, value] : rows)
            QTest::newRow(QByteArray(text).toPercentEncoding().constData()) << QByteArray(text) << value;
    }
    void leadingNumber() {
        QFETCH(QByteArray, text);
        QTEST(zel::leadingNumber(view(text)), "expected");
    }

    // Raw 40..255 is scaled by 25/98 and floored; the rest, and odd texts, are 0.
    void fields() {
        for (int v = 0; v <= 999; ++v) {
            const float expected = v <= 39 || v > 255 ? 0 : float(((v - 39) * 25) / 98);
            QVERIFY2(field(QByteArray::number(v).rightJustified(3, '0')) == expected,
                     qPrintable(QString::number(v)));
        }
        const std::pair<QByteArray, float> odd[] = {
            {" 99", 15}, {"1 5", 0}, {"18x", 0}, {"255.5", 55},
            {"2E2", 41}, {"9E9", 0}, {"&HF", 0}, {QByteArray("\xff\0z", 3), 0}};
        for (const auto& [text, position] : odd)
            QVERIFY2(field(text) == position, text.constData());
        const std::pair<const char*, zel::Readings> packets[] = {
            {"255243039", {55, 52, 0}}, {"19604018x", {40, 0, 0}}, {"19604", {40, 0, 0}}, {"", {0, 0, 0}}};
        for (const auto& [packet, r] : packets)
            QCOMPARE(zel::decodePacket(packet), r);
    }

    // Reads in turn ('/' between them) and what each hands on, with the start of a reply kept.
    void framing_data() {
        QTest::addColumn<QByteArray>("reads");
        QTest::addColumn<QByteArray>("out");
        for (const char* row : {"x111222333x196040181 196040181|", "x111222333x1960 111222333|x1960",
                                "X196040181 -|", "\r\n?1x196040181 196040181|",
                                "x111222333x19?040181 111222333|", "x19604018x/196040181 -|x/196040181|",
                                "x12x345x6789012x34 -|x34", "x123ab -|", "x12/?3456789 -|x12/-|"}) {
            const QList<QByteArray> parts = QByteArray(row).split(' ');
            QTest::newRow(row) << parts[0] << parts[1];
        }
    }
    void framing() {
        QFETCH(QByteArray, reads);
        PacketFramer framer;
        QByteArrayList out;
        for (const QByteArray& read : reads.split('/'))
            out << QByteArray::fromStdString(fed(framer, view(read)) + '|' + framer.pending());
        QTEST(out.join('/'), "out");
    }

    // Reset forgets a kept start; noise keeps nothing.
    void framingBounds() {
        PacketFramer framer;
        QCOMPARE(fed(framer, "x12"), "-");
        framer.reset();
        QCOMPARE(fed(framer, "3456789"), "-");
        const std::string noise(100000, '7');
        QCOMPARE(fed(framer, noise), "-");
        QCOMPARE(framer.pending(), "");
        for (int round = 0; round < 100; ++round)
            QCOMPARE(fed(framer, "x1234x5678?x12345678"), "-");
        QCOMPARE(fed(framer, "9"), "123456789");
        QCOMPARE(fed(framer, noise + "x196040181" + noise.substr(0, 5)), "196040181");
    }

    // Prefixes, speaker and ini only when checked, the record's padding not dialled; speaker off > low >
    // loud.
    void dialBurst() {
        zel::DialOptions o;
        o.outside = "9";
        o.waiting = "*70  ";
        o.number = "5551234                 ";
        o.ini = "AT&F  ";
        QCOMPARE(zel::modemCommands(o), (QList<QByteArray>{"ate0\r", "ATDT5551234\r"}));
        o.waitingOn = o.speakerLoud = o.speakerLow = true;
        o.tone = false;
        QCOMPARE(zel::speakerCommand(o), QByteArray("ATM1L1"));
        o.speakerOff = o.iniOn = true;
        QCOMPARE(zel::modemCommands(o),
                 (QList<QByteArray>{"ATM0\r", "ate0\r", "AT&F  \r", "ATDP*70,,5551234\r"}));
        QCOMPARE(zel::dialingCaption(o), "             Dialing  *70  ,,5551234                 ");
    }

    // Whole lines only, the first that decides; an unended one once the line is quiet.
    void modemReplies_data() {
        QTest::addColumn<QByteArray>("received");
        QTest::addColumn<QByteArray>("decided"); // outcome letter and line; "-" for none
        QTest::addColumn<QByteArray>("afterQuiet");
        const std::tuple<const char*, const char*, const char*> rows[] = {
            {"\r\nCONNE", "-", "-"},
            {"\r\nCONNECT 9600\r", "C CONNECT 9600", "-"},
            {"\r\nCONNECT 9600", "-", "C CONNECT 9600"},
            {"\r\nNO", "-", "N NO"},
            {"\nNO DIALTONE\n", "N NO DIALTONE", "-"},
            {"\r\nconnect 9600\r\n", "-", "-"},
            {"\r\nLINE BUSY NOW\r\n", "B LINE BUSY NOW", "-"},
            // The first reply runs on from the nine zeros the text starts with.
            {"CONNECT 9600\r\n", "-", "-"},
            {"BUSY\r\n", "B 000000000BUSY", "-"},
            {"\r\nOK\r\n\r\nERROR\r\nRING\r\n\r\nNO ANSWER\r\nCONNECT\r\n", "N NO ANSWER", "-"}};
        for (const auto& [received, decided, afterQuiet] : rows)
            QTest::newRow(QByteArray(received).toPercentEncoding().constData())
                << QByteArray(received) << QByteArray(decided) << QByteArray(afterQuiet);
    }
    void modemReplies() {
        QFETCH(QByteArray, received);
        const auto shown = [](const std::optional<zel::ModemLineReader::Reply>& r) {
            if (!r) return QByteArray("-");
            return QByteArray(1, "WCBN"[int(r->outcome)]) + ' ' + r->line;
        };
        zel::ModemLineReader reader;
        reader.reset("000000000");
        QTEST(shown(reader.feed(received)), "decided");
        QTEST(shown(reader.flush()), "afterQuiet");
        // A line longer than the limit is kept by its start.
        reader.reset();
        QCOMPARE(shown(reader.feed("\nNO" + QByteArray(2 * zel::ModemLineReader::LineLimit, ' ') + "\r")),
                 "N NO" + QByteArray(zel::ModemLineReader::LineLimit - 2, ' '));
    }

    // A config file's monitor keys make the dial they say; a bad one is refused, naming the key, and changes
    // nothing.
    void monitorKeys() {
        zel::ConnectionSettings c;
        QString error;
        const std::pair<const char*, const char*> keys[] = {
            {"link", "Modem"},    {"port", "/dev/ttyUSB1"}, {"number", "555 0001   "}, {"dialMode", "pulse"},
            {"outsideLine", "9"}, {"callWaiting", "*70"},   {"speaker", "loud"},       {"init", "AT&D2V1X4"}};
        for (const auto& [key, value] : keys)
            QVERIFY2(zel::applyMonitorKey(c, QString::fromLatin1(key), QString::fromLatin1(value), &error),
                     qPrintable(error));
        QVERIFY(c.modemLink && !c.directCable && c.modemPort == "/dev/ttyUSB1");
        QCOMPARE(zel::modemCommands(c.dialOptions()),
                 (QList<QByteArray>{"ATM1L3\r", "ate0\r", "AT&D2V1X4\r", "ATDP9,,*70,,555 0001\r"}));
        for (const char* key : {"outsideLine", "callWaiting", "init"})
            QVERIFY(zel::applyMonitorKey(c, QString::fromLatin1(key), QString(), &error));
        QVERIFY(zel::applyMonitorKey(c, "speaker", "default", &error));
        QCOMPARE(zel::modemCommands(c.dialOptions()), (QList<QByteArray>{"ate0\r", "ATDP555 0001\r"}));
        const zel::ConnectionSettings before = c;
        const std::tuple<const char*, QString, const char*> bad[] = {
            {"link", "serial", "link: \"serial\" is not one of direct, modem"},
            {"number", "5551234\rATH", "number: only printable characters"},
            {"number", QString(25, u'5'), "number: at most 24 characters"},
            {"outsideLine", "999999", "outsideLine: at most 5 characters"},
            {"speaker", "medium", "speaker: \"medium\" is not one of off, low, loud, default"},
            {"baud", "9600", "baud: not a monitor setting"}};
        for (const auto& [key, value, why] : bad) {
            QVERIFY(!zel::applyMonitorKey(c, QString::fromLatin1(key), value, &error));
            QCOMPARE(error, QString::fromLatin1(why));
        }
        QVERIFY(c == before);
        QCOMPARE(zel::monitorKeys().size(), int(std::size(keys)));
    }
};
ZEL_TEST(ProtocolTest)
#include "tst_protocol.moc"
