#include "core/settings/diskfile.h"
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
    // Direct cable on COM 2, tone, 1234567, no prefixes, modem COM 3, speaker
    // low, no ini string, speaker on, thresholds 110: byte for byte.
    void workedExample() {
        DiskFileDefinition r;
        r.DirectPort = zel::fieldText(QStringLiteral("COM 2"), r.PortWidth);
        r.PhoneNumber = zel::fieldText(QStringLiteral("1234567"), r.PhoneWidth);
        r.PkPosLevel = "110";
        r.PkNegLevel = "110";
        QCOMPARE(r.encode(), zeltest::sampleRecord());
    }

    void greyedStateAndCutTexts() {
        DiskFileDefinition r;
        r.CallWaitingOn = zel::checkStateText(2);
        r.PhoneNumber = zel::fieldText(QStringLiteral("1-800-555-0100 ext 12345 more"), r.PhoneWidth);
        r.ModemIniString = "AT&F&C1&D2S0=0X4E0V1Q0M1L2";
        const QByteArray bytes = r.encode();
        QCOMPARE(bytes.size(), 111);
        QCOMPARE(bytes.mid(r.OffCallWaitingOn, 6), QByteArray("2     "));
        QCOMPARE(bytes.mid(r.OffPhoneNumber, 24), QByteArray("1-800-555-0100 ext 12345"));
        QCOMPARE(bytes.mid(r.OffModemIniString, 23), QByteArray("AT&F&C1&D2S0=0X4E0V1Q0M"));
        // The neighbours are intact.
        QCOMPARE(bytes.mid(r.OffOutsideLineOn, 6), QByteArray("0     "));
        QCOMPARE(bytes.mid(r.OffBeepOffShown, 2), QByteArray("\x00\x00", 2));
    }

    // Any non-zero flag reads as true.
    void nonZeroFlagsAreTrue() {
        QByteArray odd = zeltest::sampleRecord();
        odd[2] = 1;
        QVERIFY(DiskFileDefinition::decode(odd)->ModemLink);
    }

    // The number readers, beyond what the restore tests show.
    void checkStateValue_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<std::optional<short>>("value");
        auto row = [](const char* name, const QByteArray& text, std::optional<short> value) {
            QTest::newRow(name) << text << value;
        };
        row("blanks around", "  2   ", 2);
        row("half up to even", "1.5", 2);
        row("half down to even", "2.5", 2);
        row("exponent", "1e0", 1);
        row("negative", "-1    ", -1);
        row("overflow", "32768", std::nullopt);
        row("rounds into overflow", "32767.5", std::nullopt);
        row("trailing junk", "1x    ", std::nullopt);
        row("inner blank", "1 2   ", std::nullopt);
        row("zeros", QByteArray(6, '\0'), std::nullopt);
    }
    void checkStateValue() {
        QFETCH(QByteArray, text);
        QTEST(zel::checkStateValue(text), "value");
    }

    void levelValue_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<std::optional<short>>("value");
        auto row = [](const char* name, const QByteArray& text, std::optional<short> value) {
            QTest::newRow(name) << text << value;
        };
        row("leading blank", " 99", 99);
        row("inner blank", "9 9", 99);
        row("leading number", "1x0", 1);
        row("exponent", "1e2", 100);
        row("half to even down", "8.5", 8);
        row("negative", "-70", -70);
        row("beyond 16 bits", "9e9", std::nullopt);
    }
    void levelValue() {
        QFETCH(QByteArray, text);
        QTEST(zel::levelValue(text), "value");
    }

    // The file is replaced whole, its folder made, nothing left beside it.
    void atomicWrite() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("a/b/Zel_Data.dat"));
        QString why;
        QVERIFY(zel::writeFileAtomically(path, "first", &why));
        QVERIFY(zel::writeFileAtomically(path, "second", &why));
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("second"));
        QCOMPARE(QDir(dir.filePath(QStringLiteral("a/b"))).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("Zel_Data.dat")});
    }
};
ZEL_TEST(DiskFileTest)
#include "tst_diskfile.moc"
