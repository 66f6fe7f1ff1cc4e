#include "support/testmain.h"
#include "telemetry/packetdecoder.h"

#include <cmath>
#include <string>

using zel::decodeField;
using zel::decodePacket;
using zel::leadingNumber;
using zel::Readings;

class PacketDecoderTest : public QObject {
    Q_OBJECT
private slots:
    void leadingNumber_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<double>("expected");
        QTest::newRow("digits") << QByteArray("196") << 196.0;
        QTest::newRow("leading zeros") << QByteArray("007") << 7.0;
        QTest::newRow("empty") << QByteArray("") << 0.0;
        QTest::newRow("no number") << QByteArray("abc") << 0.0;
        QTest::newRow("stops at letter") << QByteArray("9x9") << 9.0;
        QTest::newRow("18x") << QByteArray("18x") << 18.0;
        QTest::newRow("blank before") << QByteArray(" 99") << 99.0;
        QTest::newRow("blank inside") << QByteArray("1 5") << 15.0;
        QTest::newRow("tab and line feed") << QByteArray("\t1\n2 3") << 123.0;
        QTest::newRow("carriage return ends") << QByteArray("1\r2") << 1.0;
        QTest::newRow("plus") << QByteArray("+42") << 42.0;
        QTest::newRow("minus") << QByteArray("-42") << -42.0;
        QTest::newRow("sign alone") << QByteArray("-") << 0.0;
        QTest::newRow("two signs") << QByteArray("+-4") << 0.0;
        QTest::newRow("blank after sign") << QByteArray("- 4") << -4.0;
        QTest::newRow("half") << QByteArray("-0.5") << -0.5;
        QTest::newRow("point first") << QByteArray(".5") << 0.5;
        QTest::newRow("point last") << QByteArray("5.") << 5.0;
        QTest::newRow("point alone") << QByteArray(".") << 0.0;
        QTest::newRow("second point ends") << QByteArray("1.2.3") << 1.2;
        QTest::newRow("exponent") << QByteArray("1E2") << 100.0;
        QTest::newRow("lower-case exponent") << QByteArray("1e2") << 100.0;
        QTest::newRow("D exponent") << QByteArray("1D2") << 100.0;
        QTest::newRow("signed exponent") << QByteArray("25E-1") << 2.5;
        QTest::newRow("exponent with blank") << QByteArray("1 E 2") << 100.0;
        QTest::newRow("E without digits") << QByteArray("1E") << 1.0;
        QTest::newRow("E sign without digits") << QByteArray("1E+") << 1.0;
        QTest::newRow("E then letter") << QByteArray("7Ex") << 7.0;
        QTest::newRow("E alone") << QByteArray("E2") << 0.0;
        QTest::newRow("hex") << QByteArray("&HFF") << 255.0;
        QTest::newRow("hex lower case") << QByteArray("&hc8") << 200.0;
        QTest::newRow("hex in a field") << QByteArray("&HF") << 15.0;
        QTest::newRow("hex without digits") << QByteArray("&H") << 0.0;
        QTest::newRow("hex stops") << QByteArray("&H1G") << 1.0;
        QTest::newRow("octal") << QByteArray("&O17") << 15.0;
        QTest::newRow("octal stops at 8") << QByteArray("&O78") << 7.0;
        QTest::newRow("octal without digits") << QByteArray("&O") << 0.0;
        QTest::newRow("ampersand alone") << QByteArray("&12") << 0.0;
        QTest::newRow("hex only at start") << QByteArray("1&H2") << 1.0;
        QTest::newRow("huge") << QByteArray("1E999") << std::numeric_limits<double>::infinity();
        QTest::newRow("tiny") << QByteArray("1E-999") << 0.0;
    }
    void leadingNumber() {
        QFETCH(QByteArray, text);
        QFETCH(double, expected);
        QCOMPARE(::leadingNumber(std::string_view(text.constData(), text.size())), expected);
    }

    // The table's telling points: each is the smallest raw value of its
    // position, so the value below it decodes one lower.
    void tellingPoints_data() {
        QTest::addColumn<int>("raw");
        QTest::addColumn<int>("position");
        QTest::newRow("43") << 43 << 1;
        QTest::newRow("79") << 79 << 10;
        QTest::newRow("181") << 181 << 36;
        QTest::newRow("196") << 196 << 40;
        QTest::newRow("212") << 212 << 44;
        QTest::newRow("216") << 216 << 45;
        QTest::newRow("235") << 235 << 50;
        QTest::newRow("243") << 243 << 52;
        QTest::newRow("255") << 255 << 55;
    }
    void tellingPoints() {
        QFETCH(int, raw);
        QFETCH(int, position);
        const std::string at = QByteArray::number(raw).rightJustified(3, '0').toStdString();
        const std::string below = QByteArray::number(raw - 1).rightJustified(3, '0').toStdString();
        QCOMPARE(decodeField(at), float(position));
        QCOMPARE(decodeField(below), float(position - 1));
    }

    void everyRawValueMatchesIntegerFormula() {
        for (int v = 0; v <= 255; ++v) {
            const std::string field = QByteArray::number(v).rightJustified(3, '0').toStdString();
            const int expected = v <= 39 ? 0 : ((v - 39) * 25) / 98;
            if (decodeField(field) != float(expected))
                QFAIL(qPrintable(QStringLiteral("raw %1 decoded to %2, expected %3")
                                     .arg(v)
                                     .arg(decodeField(field))
                                     .arg(expected)));
        }
        QCOMPARE(decodeField("042"), 0.0f);
        QCOMPARE(decodeField("256"), 0.0f);
        QCOMPARE(decodeField("999"), 0.0f);
    }

    void oddFields_data() {
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<float>("position");
        QTest::newRow("blank 99") << QByteArray(" 99") << 15.0f;
        QTest::newRow("1 blank 5") << QByteArray("1 5") << 0.0f;
        QTest::newRow("9x9") << QByteArray("9x9") << 0.0f;
        QTest::newRow("1E2") << QByteArray("1E2") << 15.0f;
        QTest::newRow("18x") << QByteArray("18x") << 0.0f;
        QTest::newRow("-0.5") << QByteArray("-.5") << 0.0f;
        QTest::newRow("floored before the window") << QByteArray("255.5") << 55.0f;
        QTest::newRow("2E2") << QByteArray("2E2") << 41.0f; // 200
        QTest::newRow("&HF") << QByteArray("&HF") << 0.0f;
        QTest::newRow("&O7") << QByteArray("&O7") << 0.0f;
        QTest::newRow("9E9") << QByteArray("9E9") << 0.0f;
        QTest::newRow("blanks") << QByteArray("   ") << 0.0f;
        QTest::newRow("garbage") << QByteArray("\xff\x00z", 3) << 0.0f;
    }
    void oddFields() {
        QFETCH(QByteArray, field);
        QFETCH(float, position);
        QCOMPARE(decodeField(std::string_view(field.constData(), field.size())), position);
    }

    void packets_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<float>("pos");
        QTest::addColumn<float>("neg");
        QTest::addColumn<float>("carrier");
        QTest::newRow("196040181") << QByteArray("196040181") << 40.0f << 0.0f << 36.0f;
        QTest::newRow("255243039") << QByteArray("255243039") << 55.0f << 52.0f << 0.0f;
        QTest::newRow("039040042") << QByteArray("039040042") << 0.0f << 0.0f << 0.0f;
        QTest::newRow("256999100") << QByteArray("256999100") << 0.0f << 0.0f << 15.0f;
        QTest::newRow("torn 19604018x") << QByteArray("19604018x") << 40.0f << 0.0f << 0.0f;
        QTest::newRow("short") << QByteArray("19604") << 40.0f << 0.0f << 0.0f;
        QTest::newRow("empty") << QByteArray() << 0.0f << 0.0f << 0.0f;
    }
    void packets() {
        QFETCH(QByteArray, data);
        QFETCH(float, pos);
        QFETCH(float, neg);
        QFETCH(float, carrier);
        const Readings r = decodePacket(std::string_view(data.constData(), data.size()));
        QCOMPARE(r.posPeak, pos);
        QCOMPARE(r.negPeak, neg);
        QCOMPARE(r.carrierLevel, carrier);
    }
};
ZEL_TEST(PacketDecoderTest)
#include "tst_packetdecoder.moc"
