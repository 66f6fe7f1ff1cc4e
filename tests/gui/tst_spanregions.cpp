#include "gui/spanregions.h"
#include "support/testmain.h"

using zel::SpanRegions;

class SpanRegionsTest : public QObject {
    Q_OBJECT

    // Segments 10 wide every 15 pixels, the last one taller.
    static SpanRegions row() {
        return SpanRegions(
            {QRect(0, 5, 10, 20), QRect(15, 5, 10, 20), QRect(30, 5, 10, 20), QRect(45, 0, 10, 30)});
    }

private slots:
    // A run covers its segments and the gaps between them, nothing more.
    void runCoversItsSegments() {
        SpanRegions spans = row();
        QCOMPARE(spans.span(0, 0), QRegion(0, 5, 10, 20));
        QCOMPARE(spans.span(1, 2), QRegion(15, 5, 25, 20));
        QCOMPARE(spans.span(0, 3), QRegion(0, 0, 55, 30));
        QCOMPARE(spans.span(2, 3), QRegion(30, 0, 25, 30));
    }

    // A run the row does not have repaints nothing.
    void noSuchRun() {
        SpanRegions spans = row();
        QVERIFY(spans.span(2, 1).isEmpty());
        QVERIFY(spans.span(-1, 0).isEmpty());
        QVERIFY(spans.span(3, 4).isEmpty());
        QVERIFY(SpanRegions().span(0, 0).isEmpty());
    }

    // A run asked for again is the region kept for it, not a new one, and
    // other runs do not disturb it.
    void runIsKept() {
        SpanRegions spans = row();
        const QRegion* first = &spans.span(1, 2);
        spans.span(0, 3);
        spans.span(2, 2);
        QCOMPARE(&spans.span(1, 2), first);
        QCOMPARE(spans.span(1, 2), QRegion(15, 5, 25, 20));
    }
};

ZEL_TEST(SpanRegionsTest)
#include "tst_spanregions.moc"
