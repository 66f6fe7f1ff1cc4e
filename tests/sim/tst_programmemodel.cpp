// The stand-in monitor's readings, scripts and faults.
#include <algorithm>

#include "core/protocol/packetdecoder.h"
#include "core/transport/programmemodel.h"
#include "support/testmain.h"

using namespace zel::sim;

class ProgrammeModelTest : public QObject {
    Q_OBJECT

private slots:
    // The stand-in's scale is the panel's own decoding.
    void scaleMatchesThePanel() {
        for (int raw = 0; raw <= 300; ++raw) {
            const std::string field = QByteArray::number(raw).rightJustified(3, '0').toStdString();
            QCOMPARE(positionForRaw(raw), int(zel::decodeField(field)));
        }
        for (int p = 1; p <= 55; ++p) {
            QCOMPARE(positionForRaw(rawForPosition(p)), p);
            QCOMPARE(positionForRaw(rawForPosition(p) - 1), p - 1);
        }
    }

    // One cycle drives every indicator of the panel, only where it should, whatever the seed and cycle.
    void modelExercisesThePanel() {
        constexpr double Step = 0.02; // a poll every 20 ms
        for (auto [seed, offset] :
             {std::pair{quint64(1), 0.0}, {quint64(42), ProgrammeModel::CycleSeconds}}) {
            const ProgrammeModel model(seed);
            int overPos125 = 0, overNeg100 = 0, past110 = 0, carrierLow = 0, carrierHigh = 0,
                longSilences = 0;
            double silentRun = 0, longestSilence = 0;
            for (double t = 0; t < ProgrammeModel::CycleSeconds; t += Step) {
                const RawReading r = model.at(offset + t);
                QVERIFY(std::min({r.positive, r.negative, r.carrier}) >= 0);
                QVERIFY(std::max({r.positive, r.negative, r.carrier}) <= 255);
                const int pos = positionForRaw(r.positive), neg = positionForRaw(r.negative),
                          carrier = positionForRaw(r.carrier);
                overPos125 += pos >= 52;
                overNeg100 += neg >= 40;
                past110 += pos >= 45;
                carrierLow += carrier < 36;
                carrierHigh += carrier > 44;
                silentRun = pos == 0 && neg == 0 ? silentRun + Step : 0;
                longSilences += silentRun > 15 && silentRun - Step <= 15; // once, as it passes 15 s
                longestSilence = std::max(longestSilence, silentRun);
                // The carrier sits at 0 dB outside its dip and swell; overmodulation only in its window.
                const QByteArray at = QByteArray::number(t);
                if (!(t >= 135 && t < 145) && !(t >= 150 && t < 154))
                    QVERIFY2(r.carrier >= 196 && r.carrier <= 199, at);
                if (t < 110 || t >= 130) QVERIFY2(pos < 52 && neg < 45, at);
            }
            QVERIFY(overPos125 > 20 && overNeg100 > 20 && past110 > 20);
            QVERIFY(carrierLow > 100 && carrierHigh > 50);
            // One silence that raises the audio-loss alarm, and no other.
            QCOMPARE(longSilences, 1);
            QVERIFY(longestSilence > 15.5 && longestSilence < 25);
        }
    }

    // A script's lines, or the error naming the bad one.
    void scripts_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("error");
        for (auto [name, text, error] : {std::tuple{"out of range played as given", "256999100\n", ""},
                                         {"short", "196040181\n19604018\n", "line 2"},
                                         {"letters", "\n\n1960a0181\n", "line 3"},
                                         {"upper X", "X196040181", "line 1"},
                                         {"two on a line", "196040181 196040181", "line 1"},
                                         {"nothing", "# only a comment\n\n", "no readings"}})
            QTest::newRow(name) << QString::fromLatin1(text) << QString::fromLatin1(error);
    }
    void scripts() {
        QFETCH(QString, text);
        QFETCH(QString, error);
        std::string why;
        QCOMPARE(bool(ReadingScript::parse(text.toStdString(), &why)), error.isEmpty());
        QVERIFY2(QString::fromStdString(why).contains(error), why.c_str());
    }

    // Fault rates; garbled replies and noise never make a packet; a plan drops
    // before any other fault and is the same for the same seed.
    void faults() {
        SimRandom rng;
        const auto every3 = FaultRate::parse("3");
        const auto tenth = FaultRate::parse("0.1");
        QVERIFY(every3 && tenth);
        QList<int> hit;
        int n = 0;
        for (int i = 1; i <= 20000; ++i) {
            if (i <= 10 && every3->hits(std::uint64_t(i), rng)) hit.append(i);
            n += tenth->hits(std::uint64_t(i), rng);
        }
        QCOMPARE(hit, (QList<int>{3, 6, 9}));
        QVERIFY2(n > 1700 && n < 2300, qPrintable(QString::number(n)));
        for (const char* bad : {"", "0", "-1", "1.5", "often", "3x", "0.1.2"})
            QVERIFY2(!FaultRate::parse(bad), bad);

        for (std::uint64_t seed = 1; seed <= 2000; ++seed) {
            SimRandom r(seed);
            const std::string packet =
                formatPacket({r.between(0, 255), r.between(0, 255), r.between(0, 255)});
            const std::string garbled = garblePacket(packet, r);
            QVERIFY2(garbled.size() == 10 && garbled[0] == 'x' && !isValidPacket(garbled) &&
                         std::count(garbled.begin(), garbled.end(), 'x') == 1,
                     garbled.c_str());
            const std::string noise = noiseBytes(r);
            QVERIFY(!noise.empty() && noise.size() <= 8 && noise.find('x') == std::string::npos);
        }

        FaultPlan plan;
        plan.drop = *FaultRate::parse("4");
        plan.garble = *FaultRate::parse("2");
        plan.split = *FaultRate::parse("3");
        FaultInjector injector(plan, 5);
        const std::string packet = "x196040181";
        QList<std::string> statuses;
        for (std::uint64_t i = 1; i <= 6; ++i) {
            const ReplyPlan r = injector.plan(i, packet);
            statuses.append(r.status());
            QCOMPARE(r.valid(), !r.dropped && !r.garbled);
            if (r.valid()) QCOMPARE(r.text, packet);
            if (r.splitAt) QVERIFY(r.splitAt < r.text.size());
        }
        QCOMPARE(statuses, (QList<std::string>{"ok", "garbled", "split", "dropped", "ok", "garbled+split"}));
        FaultPlan random;
        random.garble = random.noise = *FaultRate::parse("0.3");
        FaultInjector a(random, 9), b(random, 9);
        for (std::uint64_t i = 1; i <= 200; ++i) {
            const ReplyPlan x = a.plan(i, packet), y = b.plan(i, packet);
            QVERIFY(x.text == y.text && x.noise == y.noise);
        }
    }
};
ZEL_TEST(ProgrammeModelTest)
#include "tst_programmemodel.moc"
