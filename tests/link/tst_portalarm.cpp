// The operator's port text to a device, and the sub-millisecond alarm the
// serial port reads replies by.
#include "core/transport/alarm.h"
#include "core/transport/portname.h"
#include "support/testmain.h"

#include <QSignalSpy>

using Kind = zel::PortTarget::Kind;

class PortAlarmTest : public QObject {
    Q_OBJECT
private slots:
    // A device's path, or a part of the reason a text names no port.
    void resolve_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("deviceOrError");
        const Kind D = Kind::Device, S = Kind::Simulator, I = Kind::Invalid;
        const std::tuple<QString, Kind, QString> rows[] = {
            {"COM 3  ", D, "/dev/ttyS2"},
            {QStringLiteral("COM 2") + QChar(0), D, "/dev/ttyS1"},
            {"com 4", D, "/dev/ttyS3"},
            {"LPT1", D, "/dev/ttyS0"}, // any text ending in a digit 1-9 is that port
            {"/dev/ttyUSB0   ", D, "/dev/ttyUSB0"},
            {"usb1 ", D, "/dev/ttyUSB1"}, // short names come before the COM rule
            {"USB12", D, "/dev/ttyUSB12"},
            {"S0", D, "/dev/ttyS0"},
            {"Sim  ", S, ""},
            {"     ", I, "No serial port"},
            {"COM 0", I, "\"COM 0\""},
            {"COM 12", I, "\"COM 12\""}, // not port 2
            {"SIMX", I, "\"SIMX\""}};
        for (const auto& [text, kind, device] : rows)
            QTest::newRow(qPrintable(text)) << text << kind << device;
    }
    void resolve() {
        QFETCH(QString, text);
        QFETCH(QString, deviceOrError);
        const zel::PortTarget t = zel::resolvePortText(text);
        QTEST(t.kind, "kind");
        QVERIFY2((t.kind == Kind::Invalid ? t.error : t.device).contains(deviceOrError), qPrintable(t.error));
        if (t.kind == Kind::Device) QCOMPARE(t.device, deviceOrError);
    }

    // The offered texts all resolve, fit the record's field, and name serial
    // ports as "COM n" only.
    void offeredTexts() {
        const QStringList texts = zel::availablePortTexts();
        QCOMPARE(texts.first(), QStringLiteral("COM 1"));
        QCOMPARE(texts.count(QStringLiteral("SIM")), 1);
        for (const QString& text : texts) {
            QVERIFY2(text.size() <= 5 && zel::resolvePortText(text).kind != Kind::Invalid, qPrintable(text));
            QVERIFY2(!text.startsWith(QLatin1Char('S')) || text == QStringLiteral("SIM"), qPrintable(text));
        }
    }

    // Fires once, not before its deadline; a re-armed or stopped alarm
    // forgets the old one; a past deadline fires from the event loop.
    void alarm() {
        zel::Alarm alarm;
        qint64 firedAt = 0;
        connect(&alarm, &zel::Alarm::timeout, this, [&] { firedAt = zel::Alarm::nowNs(); });
        QSignalSpy fired(&alarm, &zel::Alarm::timeout);
        const qint64 deadline = zel::Alarm::nowNs() + 3'500'000;
        alarm.startAt(deadline);
        QTRY_COMPARE_WITH_TIMEOUT(fired.count(), 1, 2000);
        QVERIFY(firedAt >= deadline);
        QVERIFY(!alarm.isActive());
        alarm.startAt(zel::Alarm::nowNs() + 1'000'000);
        alarm.stop();
        alarm.expire(); // a stopped alarm has nothing to report
        alarm.startAt(zel::Alarm::nowNs() + 1'000'000);
        alarm.startAt(zel::Alarm::nowNs() + 300'000'000);
        QTest::qWait(30);
        QCOMPARE(fired.count(), 1);
        alarm.startAt(zel::Alarm::nowNs() - 5'000'000);
        QCOMPARE(fired.count(), 1); // never inside startAt()
        QTRY_COMPARE_WITH_TIMEOUT(fired.count(), 2, 2000);
        QTest::qWait(10);
        QCOMPARE(fired.count(), 2);
    }
};
ZEL_TEST(PortAlarmTest)
#include "tst_portalarm.moc"
