// The operator's port text to a device.
#include "link/portname.h"
#include "support/testmain.h"

using zel::PortTarget;
using Kind = zel::PortTarget::Kind;

namespace {
QString com(int n) {
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(n);
#else
    return QStringLiteral("/dev/ttyS%1").arg(n - 1);
#endif
}
} // namespace

class PortNameTest : public QObject {
    Q_OBJECT
private slots:
    void devices_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("device");
        QTest::newRow("COM 1") << QStringLiteral("COM 1") << com(1);
        QTest::newRow("padded COM 3") << QStringLiteral("COM 3  ") << com(3);
        QTest::newRow("NUL padded") << QStringLiteral("COM 2") + QChar(0) + QChar(0) << com(2);
        QTest::newRow("COM9") << QStringLiteral("COM9") << com(9);
        QTest::newRow("lower case") << QStringLiteral("com 4") << com(4);
        // The old rule: any text ending in a digit 1-9 is that port.
        QTest::newRow("LPT1") << QStringLiteral("LPT1") << com(1);
#ifndef Q_OS_WIN
        QTest::newRow("absolute") << QStringLiteral("/dev/pts/7") << QStringLiteral("/dev/pts/7");
        QTest::newRow("absolute padded")
            << QStringLiteral("/dev/ttyUSB0   ") << QStringLiteral("/dev/ttyUSB0");
        QTest::newRow("USB0") << QStringLiteral("USB0") << QStringLiteral("/dev/ttyUSB0");
        // Not COM 1: short names come first.
        QTest::newRow("USB1") << QStringLiteral("USB1") << QStringLiteral("/dev/ttyUSB1");
        QTest::newRow("usb1") << QStringLiteral("usb1 ") << QStringLiteral("/dev/ttyUSB1");
        QTest::newRow("ACM1") << QStringLiteral("ACM1") << QStringLiteral("/dev/ttyACM1");
        QTest::newRow("USB12") << QStringLiteral("USB12") << QStringLiteral("/dev/ttyUSB12");
        QTest::newRow("S0") << QStringLiteral("S0") << QStringLiteral("/dev/ttyS0");
#endif
    }
    void devices() {
        QFETCH(QString, text);
        QFETCH(QString, device);
        const PortTarget t = zel::resolvePortText(text);
        QCOMPARE(t.kind, Kind::Device);
        QCOMPARE(t.device, device);
        QVERIFY(t.error.isEmpty());
    }

    void simulator() {
        for (const char* text : {"SIM", "sim", "Sim  "}) {
            const PortTarget t = zel::resolvePortText(QString::fromLatin1(text));
            QCOMPARE(t.kind, Kind::Simulator);
            QVERIFY(t.device.isEmpty());
        }
    }

    void refused_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("named");
        QTest::newRow("empty") << QString() << QStringLiteral("No serial port");
        QTest::newRow("blanks") << QStringLiteral("     ") << QStringLiteral("No serial port");
        QTest::newRow("COMX") << QStringLiteral("COMX") << QStringLiteral("\"COMX\"");
        QTest::newRow("LPT") << QStringLiteral("LPT") << QStringLiteral("\"LPT\"");
        QTest::newRow("COM 0") << QStringLiteral("COM 0") << QStringLiteral("\"COM 0\"");
        // Not port 2.
        QTest::newRow("COM 12") << QStringLiteral("COM 12") << QStringLiteral("\"COM 12\"");
        QTest::newRow("SIMX") << QStringLiteral("SIMX") << QStringLiteral("\"SIMX\"");
    }
    void refused() {
        QFETCH(QString, text);
        QFETCH(QString, named);
        const PortTarget t = zel::resolvePortText(text);
        QCOMPARE(t.kind, Kind::Invalid);
        QVERIFY2(t.error.contains(named), qPrintable(t.error));
    }

    void listOffersOnlyTextsThatResolve() {
        const QStringList texts = zel::availablePortTexts();
        QVERIFY(texts.size() >= 5);
        QCOMPARE(texts.mid(0, 4), (QStringList{QStringLiteral("COM 1"), QStringLiteral("COM 2"),
                                               QStringLiteral("COM 3"), QStringLiteral("COM 4")}));
        QCOMPARE(texts.last(), QStringLiteral("SIM"));
        QCOMPARE(texts.count(QStringLiteral("SIM")), 1);
        for (const QString& text : texts) {
            QVERIFY2(text.size() <= 5, qPrintable(text)); // fits the settings field
            QVERIFY2(zel::resolvePortText(text).kind != Kind::Invalid, qPrintable(text));
            QVERIFY2(!text.startsWith(QStringLiteral("S")) || text == QStringLiteral("SIM"),
                     qPrintable(text));
        }
    }
};
ZEL_TEST(PortNameTest)
#include "tst_portname.moc"
