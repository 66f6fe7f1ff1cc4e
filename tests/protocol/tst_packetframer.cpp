#include "core/protocol/packetframer.h"
#include "support/testmain.h"

#include <string>

using zel::PacketFramer;

namespace {

// The data a read hands on, or "-" when it hands on nothing.
std::string fed(PacketFramer& framer, std::string_view read) {
    const auto data = framer.feed(read);
    return data ? std::string(data->begin(), data->end()) : std::string("-");
}

} // namespace

class PacketFramerTest : public QObject {
    Q_OBJECT
private slots:
    void singleReads_data() {
        QTest::addColumn<QByteArray>("read");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("kept");
        auto row = [](const char* name, const QByteArray& read, const QByteArray& data,
                      const QByteArray& kept) { QTest::newRow(name) << read << data << kept; };
        row("one reply", "x196040181", "196040181", "");
        row("two replies queued", "x111222333x196040181", "196040181", "");
        row("reply and the next's start", "x111222333x1960", "111222333", "x1960");
        row("upper-case X", "X196040181", "-", "");
        row("leading noise", "\r\n?1x196040181", "196040181", "");
        row("newer reply garbled", "x111222333x19?040181", "111222333", "");
        row("torn", "x19604018x", "-", "x");
        row("x and digits in noise", "x12x345x6789012x34", "-", "x34");
        row("x not at the end", "x123ab", "-", "");
    }
    void singleReads() {
        QFETCH(QByteArray, read);
        QFETCH(QByteArray, kept);
        PacketFramer framer;
        QTEST(QByteArray::fromStdString(fed(framer, read.toStdString())), "data");
        QCOMPARE(QByteArray::fromStdString(framer.pending()), kept);
    }

    void replySplitAcrossReads() {
        PacketFramer framer;
        QCOMPARE(fed(framer, "x1960"), "-");
        QCOMPARE(fed(framer, "40181"), "196040181");
        QCOMPARE(framer.pending(), "");
        const std::string reply = "x039040042";
        for (std::size_t i = 0; i + 1 < reply.size(); ++i)
            QCOMPARE(fed(framer, reply.substr(i, 1)), "-");
        QCOMPARE(fed(framer, "2"), "039040042");
        // A torn read decodes nothing; the read completing the new reply does.
        QCOMPARE(fed(framer, "x19604018x"), "-");
        QCOMPARE(fed(framer, "196040181"), "196040181");
        // A kept start not continued with digits is dropped; reset forgets it.
        QCOMPARE(fed(framer, "x1960"), "-");
        QCOMPARE(fed(framer, "x255243039"), "255243039");
        QCOMPARE(fed(framer, "x12"), "-");
        QCOMPARE(fed(framer, "?3456789"), "-");
        QCOMPARE(framer.pending(), "");
        QCOMPARE(fed(framer, "x12"), "-");
        framer.reset();
        QCOMPARE(fed(framer, "3456789"), "-");
    }

    void longNoiseKeepsMemoryBounded() {
        PacketFramer framer;
        std::string noise;
        for (int i = 0; i < 100000; ++i)
            noise += char('0' + i % 10);
        QCOMPARE(fed(framer, noise), "-");
        QCOMPARE(framer.pending(), "");
        for (int round = 0; round < 1000; ++round) {
            QCOMPARE(fed(framer, "x1234x5678?x12345678"), "-");
            QVERIFY(framer.pending().size() < std::size_t(PacketFramer::PacketSize));
        }
        QCOMPARE(fed(framer, "9"), "123456789");
        QCOMPARE(fed(framer, noise + "x196040181" + noise.substr(0, 5)), "196040181");
    }
};
ZEL_TEST(PacketFramerTest)
#include "tst_packetframer.moc"
