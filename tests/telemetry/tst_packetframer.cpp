#include "support/testmain.h"
#include "telemetry/packetframer.h"

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
        QTest::newRow("one reply") << QByteArray("x196040181") << QByteArray("196040181") << QByteArray();
        QTest::newRow("two replies") << QByteArray("x111222333x196040181") << QByteArray("196040181")
                                     << QByteArray();
        QTest::newRow("reply and the start of the next")
            << QByteArray("x111222333x1960") << QByteArray("111222333") << QByteArray("x1960");
        QTest::newRow("upper-case X") << QByteArray("X196040181") << QByteArray("-") << QByteArray();
        QTest::newRow("leading noise")
            << QByteArray("\r\n?1x196040181") << QByteArray("196040181") << QByteArray();
        QTest::newRow("noise then a torn reply")
            << QByteArray("1x19604018") << QByteArray("-") << QByteArray("x19604018");
        QTest::newRow("garbled digit") << QByteArray("x1960A0181") << QByteArray("-") << QByteArray();
        QTest::newRow("newer garbled reply")
            << QByteArray("x111222333x19?040181") << QByteArray("111222333") << QByteArray();
        QTest::newRow("torn") << QByteArray("x19604018x") << QByteArray("-") << QByteArray("x");
        QTest::newRow("empty") << QByteArray() << QByteArray("-") << QByteArray();
        QTest::newRow("x and digits in noise")
            << QByteArray("x12x345x6789012x34") << QByteArray("-") << QByteArray("x34");
        QTest::newRow("digits after a torn start")
            << QByteArray("7x1234x567") << QByteArray("-") << QByteArray("x567");
        QTest::newRow("x not at the end") << QByteArray("x123ab") << QByteArray("-") << QByteArray();
    }
    void singleReads() {
        QFETCH(QByteArray, read);
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, kept);
        PacketFramer framer;
        QCOMPARE(QByteArray::fromStdString(fed(framer, read.toStdString())), data);
        QCOMPARE(QByteArray::fromStdString(framer.pending()), kept);
    }

    void replySplitAcrossReads() {
        PacketFramer framer;
        QCOMPARE(fed(framer, "x1960"), "-");
        QCOMPARE(fed(framer, "40181"), "196040181");
        QCOMPARE(framer.pending(), "");
        // Split right after the start character, and one character at a time.
        QCOMPARE(fed(framer, "x"), "-");
        QCOMPARE(fed(framer, "255243039"), "255243039");
        const std::string reply = "x039040042";
        for (std::size_t i = 0; i + 1 < reply.size(); ++i)
            QCOMPARE(fed(framer, reply.substr(i, 1)), "-");
        QCOMPARE(fed(framer, "2"), "039040042");
    }

    // A read that ends inside the next reply must not decode the torn text;
    // the read that completes the new reply decodes it whole.
    void tornReadDecodesNothingThenTheRightData() {
        PacketFramer framer;
        QCOMPARE(fed(framer, "x19604018x"), "-");
        QCOMPARE(fed(framer, "196040181"), "196040181");
        QCOMPARE(framer.pending(), "");
    }

    // A kept start that the next read does not continue with digits is
    // garbled and dropped; the read's own reply still counts.
    void keptStartAbandoned() {
        PacketFramer framer;
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
        // Start characters and digits scattered through noise, read after read.
        for (int round = 0; round < 1000; ++round) {
            QCOMPARE(fed(framer, "x1234x5678?x12345678"), "-");
            QVERIFY(framer.pending().size() < std::size_t(PacketFramer::PacketSize));
        }
        QCOMPARE(framer.pending(), "x12345678");
        // The reply after the noise is found all the same.
        QCOMPARE(fed(framer, "9"), "123456789");
        QCOMPARE(fed(framer, noise + "x196040181" + noise.substr(0, 5)), "196040181");
    }

    // Replies queued back to back: only the most recent counts.
    void manyQueuedReplies() {
        PacketFramer framer;
        std::string reads;
        for (int i = 0; i < 50; ++i)
            reads += "x111222333";
        reads += "x196040181x0";
        QCOMPARE(fed(framer, reads), "196040181");
        QCOMPARE(framer.pending(), "x0");
    }
};
ZEL_TEST(PacketFramerTest)
#include "tst_packetframer.moc"
