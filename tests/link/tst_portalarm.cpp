// The port texts offered, and the sub-millisecond alarm the serial port reads replies by.
#include "core/transport/alarm.h"
#include "core/transport/portname.h"
#include "support/testmain.h"

#include <QSignalSpy>

class PortAlarmTest : public QObject {
    Q_OBJECT
private slots:
    // The offered texts all resolve, fit the record's field, and are "COM n" for serial ports.
    void offeredTexts() {
        const QStringList texts = zel::availablePortTexts();
        QCOMPARE(texts.first(), QStringLiteral("COM 1"));
        QCOMPARE(texts.count(QStringLiteral("SIM")), 1);
        for (const QString& text : texts) {
            QVERIFY2(text.size() <= 5 && zel::resolvePortText(text).kind != zel::PortTarget::Kind::Invalid,
                     qPrintable(text));
            QVERIFY2(!text.startsWith(QLatin1Char('S')) || text == QStringLiteral("SIM"), qPrintable(text));
        }
    }

    // Fires once, not early; re-arming or stopping forgets the old deadline; a past one fires later.
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
