// The operator's port text to a device.
#include "core/transport/portname.h"
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
void row(const char* name, const QString& text, Kind kind, const QString& deviceOrError) {
    QTest::newRow(name) << text << kind << deviceOrError;
}
} // namespace

class PortNameTest : public QObject {
    Q_OBJECT
private slots:
    // A device's path, or a part of the reason a text names no port.
    void resolve_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("deviceOrError");
        const Kind D = Kind::Device, S = Kind::Simulator, I = Kind::Invalid;
        row("COM 1", "COM 1", D, com(1));
        row("padded COM 3", "COM 3  ", D, com(3));
        row("NUL padded", QStringLiteral("COM 2") + QChar(0) + QChar(0), D, com(2));
        row("COM9", "COM9", D, com(9));
        row("lower case", "com 4", D, com(4));
        row("LPT1", "LPT1", D, com(1)); // any text ending in a digit 1-9 is that port
#ifndef Q_OS_WIN
        row("absolute", "/dev/pts/7", D, "/dev/pts/7");
        row("absolute padded", "/dev/ttyUSB0   ", D, "/dev/ttyUSB0");
        row("USB1", "USB1", D, "/dev/ttyUSB1"); // short names come before the COM rule
        row("usb1", "usb1 ", D, "/dev/ttyUSB1");
        row("ACM1", "ACM1", D, "/dev/ttyACM1");
        row("USB12", "USB12", D, "/dev/ttyUSB12");
        row("S0", "S0", D, "/dev/ttyS0");
#endif
        row("SIM", "SIM", S, "");
        row("Sim padded", "Sim  ", S, "");
        row("empty", "", I, "No serial port");
        row("blanks", "     ", I, "No serial port");
        row("COMX", "COMX", I, "\"COMX\"");
        row("COM 0", "COM 0", I, "\"COM 0\"");
        row("COM 12", "COM 12", I, "\"COM 12\""); // not port 2
        row("SIMX", "SIMX", I, "\"SIMX\"");
    }
    void resolve() {
        QFETCH(QString, text);
        QFETCH(QString, deviceOrError);
        const PortTarget t = zel::resolvePortText(text);
        QTEST(t.kind, "kind");
        if (t.kind == Kind::Invalid) {
            QVERIFY2(t.error.contains(deviceOrError), qPrintable(t.error));
        } else {
            QCOMPARE(t.device, deviceOrError);
            QVERIFY(t.error.isEmpty());
        }
    }

    void listOffersOnlyTextsThatResolve() {
        const QStringList texts = zel::availablePortTexts();
        QCOMPARE(texts.mid(0, 4), (QStringList{QStringLiteral("COM 1"), QStringLiteral("COM 2"),
                                               QStringLiteral("COM 3"), QStringLiteral("COM 4")}));
        QCOMPARE(texts.last(), QStringLiteral("SIM"));
        QCOMPARE(texts.count(QStringLiteral("SIM")), 1);
        for (const QString& text : texts) {
            QVERIFY2(text.size() <= 5, qPrintable(text)); // fits the settings field
            QVERIFY2(zel::resolvePortText(text).kind != Kind::Invalid, qPrintable(text));
            // Serial ports are offered as "COM n" only.
            QVERIFY2(!text.startsWith(QLatin1Char('S')) || text == QStringLiteral("SIM"), qPrintable(text));
        }
    }
};
ZEL_TEST(PortNameTest)
#include "tst_portname.moc"
