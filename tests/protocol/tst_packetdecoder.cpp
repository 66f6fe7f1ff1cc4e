#include "core/protocol/packetdecoder.h"
#include "support/testmain.h"

#include <cmath>
#include <string>

using zel::decodeField;

namespace {
float field(const QByteArray& text) {
    return decodeField(std::string_view(text.constData(), size_t(text.size())));
}
float rawField(int raw) {
    return field(QByteArray::number(raw).rightJustified(3, '0'));
}
} // namespace

class PacketDecoderTest : public QObject {
    Q_OBJECT
private slots:
    void leadingNumber_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<double>("expected");
        auto row = [](const char* name, const QByteArray& text, double value) {
            QTest::newRow(name) << text << value;
        };
        row("D exponent", "1D2", 100);
        row("stops at letter", "9x9", 9);
        row("blank inside", "1 5", 15);
        row("tab and line feed", "\t1\n2 3", 123);
        row("carriage return ends", "1\r2", 1);
        row("two signs", "+-4", 0);
        row("blank after sign", "- 4", -4);
        row("second point ends", "1.2.3", 1.2);
        row("exponent", "1E2", 100);
        row("signed exponent", "25E-1", 2.5);
        row("exponent with blank", "1 E 2", 100);
        row("E without digits", "1E+", 1);
        row("hex", "&hc8", 200);
        row("hex stops", "&H1G", 1);
        row("octal stops at 8", "&O78", 7);
        row("hex only at start", "1&H2", 1);
        row("huge", "1E999", std::numeric_limits<double>::infinity());
        row("tiny", "1E-999", 0);
    }
    void leadingNumber() {
        QFETCH(QByteArray, text);
        QFETCH(double, expected);
        QCOMPARE(zel::leadingNumber(std::string_view(text.constData(), size_t(text.size()))), expected);
    }

    void decodingTable() {
        for (int v = 0; v <= 255; ++v) {
            const int expected = v <= 39 ? 0 : ((v - 39) * 25) / 98;
            QVERIFY2(
                rawField(v) == float(expected),
                qPrintable(QStringLiteral("raw %1 gave %2, not %3").arg(v).arg(rawField(v)).arg(expected)));
        }
        QCOMPARE(rawField(256), 0.0f);
        QCOMPARE(rawField(999), 0.0f);
    }

    void oddFields_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<float>("position");
        auto row = [](const QByteArray& text, float position) {
            QTest::newRow(text.toPercentEncoding().constData()) << text << position;
        };
        row(" 99", 15);
        row("1 5", 0);
        row("9x9", 0);
        row("1E2", 15);
        row("18x", 0);
        row("255.5", 55); // floored before the window
        row("2E2", 41);
        row("&HF", 0);
        row("9E9", 0);
        row(QByteArray("\xff\x00z", 3), 0);
    }
    void oddFields() {
        QFETCH(QByteArray, text);
        QTEST(field(text), "position");
    }

    // The worked examples, and what a torn or short packet gives.
    void packets_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<zel::Readings>("readings");
        auto row = [](const QByteArray& data, float pos, float neg, float carrier) {
            QTest::newRow(data.isEmpty() ? "empty" : data.constData())
                << data << zel::Readings{pos, neg, carrier};
        };
        row("196040181", 40, 0, 36);
        row("255243039", 55, 52, 0);
        row("039040042", 0, 0, 0);
        row("256999100", 0, 0, 15);
        row("19604018x", 40, 0, 0);
        row("19604", 40, 0, 0);
        row("", 0, 0, 0);
    }
    void packets() {
        QFETCH(QByteArray, data);
        QTEST(zel::decodePacket(std::string_view(data.constData(), size_t(data.size()))), "readings");
    }
};
ZEL_TEST(PacketDecoderTest)
#include "tst_packetdecoder.moc"
