// The sub-millisecond alarm the port reads replies by.
#include "support/testmain.h"

#include "core/transport/alarm.h"

#include <QSignalSpy>

class AlarmTest : public QObject {
    Q_OBJECT

private slots:
    void firesOnceNotBeforeItsDeadline() {
        zel::Alarm alarm;
        qint64 firedAt = 0;
        connect(&alarm, &zel::Alarm::timeout, this, [&] { firedAt = zel::Alarm::nowNs(); });
        QSignalSpy fired(&alarm, &zel::Alarm::timeout);
        const qint64 deadline = zel::Alarm::nowNs() + 3'500'000;
        alarm.startAt(deadline);
        QVERIFY(alarm.isActive());
        QCOMPARE(alarm.deadlineNs(), deadline);
        QTRY_COMPARE_WITH_TIMEOUT(fired.count(), 1, 2000);
        QVERIFY(firedAt >= deadline);
        QVERIFY(!alarm.isActive());
        QTest::qWait(20);
        QCOMPARE(fired.count(), 1);
    }

    void stopAndRearmCancelTheOldDeadline() {
        zel::Alarm alarm;
        QSignalSpy fired(&alarm, &zel::Alarm::timeout);
        alarm.startAt(zel::Alarm::nowNs() + 2'000'000);
        alarm.stop();
        QVERIFY(!alarm.isActive());
        alarm.expire(); // a stopped alarm has nothing to report
        QTest::qWait(30);
        QCOMPARE(fired.count(), 0);

        alarm.startAt(zel::Alarm::nowNs() + 1'000'000);
        alarm.startAt(zel::Alarm::nowNs() + 300'000'000);
        QTest::qWait(40);
        QCOMPARE(fired.count(), 0);
        QVERIFY(alarm.isActive());
        alarm.startAt(zel::Alarm::nowNs() + 1'000'000);
        QTRY_COMPARE_WITH_TIMEOUT(fired.count(), 1, 2000);
    }

    // A deadline already past fires from the event loop, never inside
    // startAt(), whose caller may not be ready for it.
    void pastDeadlineFiresFromTheEventLoop() {
        zel::Alarm alarm;
        QSignalSpy fired(&alarm, &zel::Alarm::timeout);
        alarm.startAt(zel::Alarm::nowNs() - 5'000'000);
        QCOMPARE(fired.count(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(fired.count(), 1, 2000);
    }
};
ZEL_TEST(AlarmTest)
#include "tst_alarm.moc"
