#include "core/monitor/bargraph.h"
#include "support/testmain.h"

using zel::BarGraph;

namespace {

using L = QList<int>;
constexpr int Clear = -100; // in a sequence: ClearDisplay

// `times` updates with `value`.
QList<int> run(int value, int times) {
    return QList<int>(times, value);
}

} // namespace

class BarGraphTest : public QObject {
    Q_OBJECT
private slots:
    // After a sequence of updates: segments 1..bar lit, the one marker shown
    // (0 for none).
    void peakHold_data() {
        QTest::addColumn<QList<int>>("updates");
        QTest::addColumn<int>("bar");
        QTest::addColumn<int>("marker");
        auto row = [](const char* name, const QList<int>& updates, int bar, int marker) {
            QTest::newRow(name) << updates << bar << marker;
        };
        row("rise", {5, 10, 30, 45, 55}, 55, 55);
        row("fall", {1, 40, 55, 12}, 12, 55);
        row("equal values hold forever", run(50, 1000), 50, 50);
        row("24 updates below", L{30, 50} + run(20, 24), 20, 50);
        row("released on the 25th", L{30, 50} + run(20, 25), 20, 20);
        row("the new hold is held", L{30, 50} + run(20, 25) + run(10, 24), 10, 20);
        row("reaching the hold restarts the count", L{40} + run(10, 20) + L{40} + run(10, 24), 10, 40);
        row("then released", L{40} + run(10, 20) + L{40} + run(10, 25), 10, 10);
        row("24 silent updates", L{20} + run(0, 24), 0, 20);
        row("released at 0", L{20} + run(0, 25), 0, 0);
        row("silence stays dark", L{20} + run(0, 125), 0, 0);
        row("sound after silence", L{20} + run(0, 125) + L{3}, 3, 3);
        row("clear", {45, 30, Clear}, 0, 0);
        row("clear, then below the hold", {45, 30, Clear, 30}, 30, 0);
        row("clear, then reaching the hold", {45, 30, Clear, 30, 45}, 45, 45);
        row("clear, then above the hold", {45, 30, Clear, 50}, 50, 50);
        row("above the scale", {80}, 55, 55);
        row("below the scale", {80, -5}, 0, 55);
    }
    void peakHold() {
        QFETCH(QList<int>, updates);
        QFETCH(int, bar);
        QFETCH(int, marker);
        BarGraph graph;
        for (int v : updates)
            v == Clear ? graph.clear() : graph.update(v);
        for (int i = 0; i < BarGraph::Elements; ++i) {
            QVERIFY2(graph.leds()[i] == (i >= 1 && i <= bar),
                     qPrintable(QStringLiteral("segment %1").arg(i)));
            QVERIFY2(graph.dots()[i] == (i == marker && i > 0),
                     qPrintable(QStringLiteral("marker %1").arg(i)));
        }
    }
};
ZEL_TEST(BarGraphTest)
#include "tst_bargraph.moc"
