#include "settings/diskfile.h"
#include "support/testmain.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

using zel::DiskFileDefinition;

Q_DECLARE_METATYPE(std::optional<short>)

class DiskFileTest : public QObject {
    Q_OBJECT
private slots:
    // The worked example: direct cable on COM 2, tone, 1234567, no prefixes,
    // modem COM 3, speaker low, no ini string, speaker on, thresholds 110.
    void encodesTheWorkedExample() {
        DiskFileDefinition r;
        r.DirectCable = true;
        r.ModemLink = false;
        r.DirectPort = zel::fieldText(QStringLiteral("COM 2"), r.PortWidth);
        r.PhoneNumber = zel::fieldText(QStringLiteral("1234567"), r.PhoneWidth);
        r.OutsideLineOn = zel::checkStateText(0);
        r.OutsideLineCode = "9";
        r.CallWaitingOn = zel::checkStateText(0);
        r.PkPosLevel = "110";
        r.PkNegLevel = "110";
        const QByteArray bytes = r.encode();
        QCOMPARE(bytes.size(), 111);
        QCOMPARE(bytes, zeltest::sampleRecord());
        QCOMPARE(bytes.left(4), QByteArray("\xFF\xFF\x00\x00", 4));
        QCOMPARE(bytes.mid(37, 6), QByteArray("0     "));
    }

    void decodesTheWorkedExample() {
        const auto r = DiskFileDefinition::decode(zeltest::sampleRecord());
        QVERIFY(r);
        QVERIFY(r->DirectCable && !r->ModemLink && r->ToneDial && !r->PulseDial);
        QCOMPARE(r->DirectPort, QByteArray("COM 2"));
        QCOMPARE(r->PhoneNumber, QByteArray("1234567                 "));
        QCOMPARE(r->OutsideLineOn, QByteArray("0     "));
        QCOMPARE(r->OutsideLineCode, QByteArray("9     "));
        QCOMPARE(r->CallWaitingCode, QByteArray("*70   "));
        QCOMPARE(r->ModemPortName, QByteArray("COM 3"));
        QVERIFY(!r->SpeakerOff && r->SpeakerLow && !r->SpeakerLoud);
        QCOMPARE(r->ModemIniString, QByteArray("AT").leftJustified(23, ' '));
        QVERIFY(!r->BeepOffShown && r->BeepOnShown);
        QCOMPARE(r->PkPosLevel, QByteArray("110"));
        QCOMPARE(r->PkNegLevel, QByteArray("110"));
        QCOMPARE(r->encode(), zeltest::sampleRecord());
    }

    void greyedStateAndCutTexts() {
        DiskFileDefinition r;
        r.CallWaitingOn = zel::checkStateText(2);
        r.PhoneNumber = zel::fieldText(QStringLiteral("1-800-555-0100 ext 12345 more"), r.PhoneWidth);
        r.ModemIniString = "AT&F&C1&D2S0=0X4E0V1Q0M1L2";
        const QByteArray bytes = r.encode();
        QCOMPARE(bytes.size(), 111);
        QCOMPARE(bytes.mid(r.OffCallWaitingOn, 6), QByteArray("2     "));
        QCOMPARE(zel::checkStateValue(bytes.mid(r.OffCallWaitingOn, 6)), std::optional<short>(2));
        QCOMPARE(bytes.mid(r.OffPhoneNumber, 24), QByteArray("1-800-555-0100 ext 12345"));
        QCOMPARE(bytes.mid(r.OffModemIniString, 23), QByteArray("AT&F&C1&D2S0=0X4E0V1Q0M"));
        // The neighbours are intact.
        QCOMPARE(bytes.mid(r.OffOutsideLineOn, 6), QByteArray("0     "));
        QCOMPARE(bytes.mid(r.OffBeepOffShown, 2), QByteArray("\x00\x00", 2));
    }

    void recordLengths() {
        QByteArray longer = zeltest::sampleRecord() + QByteArray(40, 'Z');
        const auto r = DiskFileDefinition::decode(longer);
        QVERIFY(r);
        QCOMPARE(r->encode(), zeltest::sampleRecord());
        QVERIFY(!DiskFileDefinition::decode(zeltest::sampleRecord().left(110)));
        QVERIFY(!DiskFileDefinition::decode(QByteArray()));
        // Any non-zero flag reads as true.
        QByteArray odd = zeltest::sampleRecord();
        odd[2] = 1;
        odd[3] = 0;
        QVERIFY(DiskFileDefinition::decode(odd)->ModemLink);
    }

    void checkStateValue_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<std::optional<short>>("value");
        const std::optional<short> none;
        QTest::newRow("1 padded") << QByteArray("1     ") << std::optional<short>(1);
        QTest::newRow("blanks around") << QByteArray("  2   ") << std::optional<short>(2);
        QTest::newRow("sign") << QByteArray("+1") << std::optional<short>(1);
        QTest::newRow("half up to even") << QByteArray("1.5") << std::optional<short>(2);
        QTest::newRow("half down to even") << QByteArray("2.5") << std::optional<short>(2);
        QTest::newRow("half to zero") << QByteArray("0.5") << std::optional<short>(0);
        QTest::newRow("exponent") << QByteArray("1e0") << std::optional<short>(1);
        QTest::newRow("negative") << QByteArray("-1    ") << std::optional<short>(-1);
        QTest::newRow("16-bit max") << QByteArray("32767") << std::optional<short>(32767);
        QTest::newRow("16-bit min") << QByteArray("-32768") << std::optional<short>(-32768);
        QTest::newRow("overflow") << QByteArray("32768") << none;
        QTest::newRow("rounds into overflow") << QByteArray("32767.5") << none;
        QTest::newRow("letters") << QByteArray("x     ") << none;
        QTest::newRow("trailing junk") << QByteArray("1x    ") << none;
        QTest::newRow("inner blank") << QByteArray("1 2   ") << none;
        QTest::newRow("blanks only") << QByteArray("      ") << none;
        QTest::newRow("empty") << QByteArray() << none;
        QTest::newRow("zeros") << QByteArray(6, '\0') << none;
    }
    void checkStateValue() {
        QFETCH(QByteArray, text);
        QFETCH(std::optional<short>, value);
        QCOMPARE(zel::checkStateValue(text), value);
    }

    void levelValue_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<std::optional<short>>("value");
        QTest::newRow("plain") << QByteArray("110") << std::optional<short>(110);
        QTest::newRow("leading blank") << QByteArray(" 99") << std::optional<short>(99);
        QTest::newRow("trailing blank") << QByteArray("85 ") << std::optional<short>(85);
        QTest::newRow("inner blank") << QByteArray("9 9") << std::optional<short>(99);
        QTest::newRow("leading number") << QByteArray("1x0") << std::optional<short>(1);
        QTest::newRow("none") << QByteArray("abc") << std::optional<short>(0);
        QTest::newRow("blanks") << QByteArray("   ") << std::optional<short>(0);
        QTest::newRow("out of window") << QByteArray("200") << std::optional<short>(200);
        QTest::newRow("exponent") << QByteArray("1e2") << std::optional<short>(100);
        QTest::newRow("half to even up") << QByteArray("9.5") << std::optional<short>(10);
        QTest::newRow("half to even down") << QByteArray("8.5") << std::optional<short>(8);
        QTest::newRow("negative") << QByteArray("-70") << std::optional<short>(-70);
        QTest::newRow("beyond 16 bits") << QByteArray("9e9") << std::optional<short>();
    }
    void levelValue() {
        QFETCH(QByteArray, text);
        QFETCH(std::optional<short>, value);
        QCOMPARE(zel::levelValue(text), value);
    }

    void atomicWrite() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("a/b/Zel_Data.dat"));
        QString why;
        QVERIFY(zel::writeFileAtomically(path, "first", &why));
        QVERIFY(zel::writeFileAtomically(path, "second", &why));
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("second"));
        // Nothing left beside it.
        QCOMPARE(QDir(dir.filePath(QStringLiteral("a/b"))).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("Zel_Data.dat")});

        // A folder where the file should be, a file where the folder should be.
        const QString asDir = dir.filePath(QStringLiteral("d/Zel_Data.dat"));
        QVERIFY(QDir().mkpath(asDir));
        QVERIFY(!zel::writeFileAtomically(asDir, "x", &why));
        QVERIFY(!why.isEmpty());
        QVERIFY(QFileInfo(asDir).isDir());
        QFile blocker(dir.filePath(QStringLiteral("e")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.write("keep");
        blocker.close();
        why.clear();
        QVERIFY(!zel::writeFileAtomically(dir.filePath(QStringLiteral("e/Zel_Data.dat")), "x", &why));
        QVERIFY(!why.isEmpty());
        QVERIFY(blocker.open(QIODevice::ReadOnly));
        QCOMPARE(blocker.readAll(), QByteArray("keep"));
    }
};
ZEL_TEST(DiskFileTest)
#include "tst_diskfile.moc"
