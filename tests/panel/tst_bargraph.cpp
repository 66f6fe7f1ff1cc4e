#include "panel/bargraph.h"
#include "support/testmain.h"

#include <initializer_list>

using zel::BarGraph;

namespace {

// The marker shown, 0 for none; fails the test when more than one is shown.
int marker(const BarGraph& bar) {
    int shown = 0;
    for (int i = 0; i < BarGraph::Elements; ++i) {
        if (!bar.dots()[i]) continue;
        if (shown) return -1;
        shown = i;
    }
    return shown;
}

// True when exactly segments 1..value are lit.
bool litUpTo(const BarGraph& bar, int value) {
    for (int i = 0; i < BarGraph::Elements; ++i)
        if (bar.leds()[i] != (i >= 1 && i <= value)) return false;
    return true;
}

void feed(BarGraph& bar, std::initializer_list<int> values) {
    for (int v : values)
        bar.update(v);
}

void feed(BarGraph& bar, int value, int times) {
    for (int i = 0; i < times; ++i)
        bar.update(value);
}

} // namespace

class BarGraphTest : public QObject {
    Q_OBJECT
private slots:
    void segmentsFollowTheValue() {
        BarGraph bar;
        for (int v : {0, 1, 40, 55, 12, 0}) {
            bar.update(v);
            QVERIFY2(litUpTo(bar, v), qPrintable(QString::number(v)));
        }
        bar.update(55);
        QVERIFY(bar.leds()[55]);
        QVERIFY(!bar.leds()[56]);
        QVERIFY(!bar.dots()[56]);
    }

    void risingValuesMoveTheMarker() {
        BarGraph bar;
        for (int v : {5, 10, 30, 45, 55}) {
            bar.update(v);
            QCOMPARE(marker(bar), v);
            QCOMPARE(bar.holdPeak(), v);
            QCOMPARE(bar.holdIndex(), v);
            QCOMPARE(bar.holdCount(), 0);
        }
    }

    void equalValuesKeepTheMarkerForever() {
        BarGraph bar;
        feed(bar, 50, 1000);
        QCOMPARE(marker(bar), 50);
        QCOMPARE(bar.holdCount(), 0);
    }

    void releaseOnThe25thUpdateBelow() {
        BarGraph bar;
        feed(bar, {30, 50});
        for (int n = 1; n <= 24; ++n) {
            bar.update(20);
            QCOMPARE(marker(bar), 50);
            QCOMPARE(bar.holdCount(), n);
            QVERIFY(litUpTo(bar, 20));
        }
        bar.update(20);
        QCOMPARE(marker(bar), 20);
        QCOMPARE(bar.holdPeak(), 20);
        QCOMPARE(bar.holdCount(), 0);
        // The new hold is held in turn.
        feed(bar, 10, 24);
        QCOMPARE(marker(bar), 20);
    }

    // An update at or above the held peak restarts the count.
    void valueReachingTheHoldRestartsTheCount() {
        BarGraph bar;
        bar.update(40);
        feed(bar, 10, 20);
        bar.update(40);
        QCOMPARE(bar.holdCount(), 0);
        feed(bar, 10, 24);
        QCOMPARE(marker(bar), 40);
        bar.update(10);
        QCOMPARE(marker(bar), 10);
    }

    void releaseAtZeroLeavesNoMarker() {
        BarGraph bar;
        bar.update(20);
        bar.update(0);
        QVERIFY(litUpTo(bar, 0));
        QCOMPARE(marker(bar), 20);
        feed(bar, 0, 23);
        QCOMPARE(marker(bar), 20);
        bar.update(0);
        QCOMPARE(marker(bar), 0);
        QCOMPARE(bar.holdPeak(), 0);
        // Silence keeps it dark; the next sound places the marker again.
        feed(bar, 0, 100);
        QCOMPARE(marker(bar), 0);
        QVERIFY(bar.holdCount() < 25);
        bar.update(3);
        QCOMPARE(marker(bar), 3);
    }

    void clearKeepsTheHold() {
        BarGraph bar;
        feed(bar, {45, 30});
        bar.clear();
        QVERIFY(bar.leds().none());
        QVERIFY(bar.dots().none());
        QCOMPARE(bar.holdPeak(), 45);
        QCOMPARE(bar.holdIndex(), 45);
        QCOMPARE(bar.holdCount(), 1);
        // Below the hold: no marker comes back.
        bar.update(30);
        QCOMPARE(marker(bar), 0);
        // Reaching the hold shows it again.
        bar.update(45);
        QCOMPARE(marker(bar), 45);
        bar.clear();
        bar.update(50);
        QCOMPARE(marker(bar), 50);
    }

    // The shown value is a bar position; the scale's ends are kept.
    void valuesOutsideTheScale() {
        BarGraph bar;
        bar.update(80);
        QVERIFY(litUpTo(bar, 55));
        QCOMPARE(marker(bar), 55);
        bar.update(-5);
        QVERIFY(litUpTo(bar, 0));
        QCOMPARE(marker(bar), 55);
    }
};
ZEL_TEST(BarGraphTest)
#include "tst_bargraph.moc"
