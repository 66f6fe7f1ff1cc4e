// The stand-in monitor's readings, scripts and faults.
#include <algorithm>

#include "support/testmain.h"
#include "telemetry/programmemodel.h"

using namespace zel::sim;

class ProgrammeModelTest : public QObject {
    Q_OBJECT

    static constexpr double Step = 0.02; // a poll every 20 ms

private slots:
    void packetText() {
        QCOMPARE(formatPacket({196, 40, 181}), std::string("x196040181"));
        QCOMPARE(formatPacket({0, 255, 7}), std::string("x000255007"));
        QCOMPARE(formatPacket({-5, 1000, 0}), std::string("x000999000"));
        QVERIFY(isValidPacket("x196040181"));
        QVERIFY(!isValidPacket("X196040181"));
        QVERIFY(!isValidPacket("x19604018"));
        QVERIFY(!isValidPacket("x19604018?"));
        QVERIFY(!isValidPacket("x1960401811"));
    }

    void scaleMatchesThePanel() {
        // The smallest raw value of each telling position of the panel.
        const QList<QPair<int, int>> points = {{43, 1},   {79, 10},  {181, 36}, {196, 40}, {212, 44},
                                               {216, 45}, {235, 50}, {243, 52}, {255, 55}};
        for (const auto& [raw, position] : points) {
            QCOMPARE(positionForRaw(raw), position);
            QCOMPARE(positionForRaw(raw - 1), position - 1);
            QCOMPARE(rawForPosition(position), raw);
        }
        QCOMPARE(positionForRaw(39), 0);
        QCOMPARE(positionForRaw(256), 0);
        for (int p = 1; p <= 55; ++p) {
            QCOMPARE(positionForRaw(rawForPosition(p)), p);
            QCOMPARE(positionForRaw(rawForPosition(p) - 1), p - 1);
        }
    }

    void modelIsDeterministicForASeed() {
        const ProgrammeModel a(7), b(7), c(8);
        bool differs = false;
        for (double t = 0; t < 300; t += 0.37) {
            QCOMPARE(a.at(t), b.at(t));
            differs = differs || !(a.at(t) == c.at(t));
        }
        QVERIFY(differs);
    }

    // One cycle of the model drives every indicator of the panel, and only
    // where it should.
    void modelExercisesThePanel_data() {
        QTest::addColumn<quint64>("seed");
        QTest::addColumn<double>("offset");
        QTest::newRow("seed 1") << quint64(1) << 0.0;
        QTest::newRow("seed 42, second cycle") << quint64(42) << ProgrammeModel::CycleSeconds;
    }
    void modelExercisesThePanel() {
        QFETCH(quint64, seed);
        QFETCH(double, offset);
        const ProgrammeModel model(seed);
        int overPos125 = 0, overNeg100 = 0, past110 = 0, carrierLow = 0, carrierHigh = 0, samples = 0;
        int programme = 0, inBand = 0;
        double silentRun = 0, longestSilence = 0;
        int longSilences = 0;
        for (double t = 0; t < ProgrammeModel::CycleSeconds; t += Step) {
            const RawReading r = model.at(offset + t);
            ++samples;
            for (int v : {r.positive, r.negative, r.carrier})
                QVERIFY(v >= 0 && v <= 255);
            const int pos = positionForRaw(r.positive), neg = positionForRaw(r.negative);
            const int carrier = positionForRaw(r.carrier);
            overPos125 += pos >= 52;
            overNeg100 += neg >= 40;
            past110 += pos >= 45;
            carrierLow += carrier < 36;
            carrierHigh += carrier > 44;
            const bool silent = pos == 0 && neg == 0;
            if (silent) {
                silentRun += Step;
            } else {
                longSilences += silentRun > 15;
                longestSilence = std::max(longestSilence, silentRun);
                silentRun = 0;
            }
            const bool overmodulation = t >= 110 && t < 130;
            if (!silent && !overmodulation && pos > 10) {
                ++programme;
                inBand += pos >= 27 && pos <= 42;
            }
            // Outside its dip and swell the carrier sits at 0 dB.
            if (!(t >= 135 && t < 145) && !(t >= 150 && t < 154))
                QVERIFY2(r.carrier >= 196 && r.carrier <= 199, qPrintable(QString::number(t)));
            // Overmodulation only in its window.
            if (!overmodulation) QVERIFY2(pos < 52 && neg < 45, qPrintable(QString::number(t)));
        }
        longSilences += silentRun > 15;
        longestSilence = std::max(longestSilence, silentRun);
        QVERIFY(overPos125 > 20);
        QVERIFY(overNeg100 > 20);
        QVERIFY(past110 > 20);
        QVERIFY(carrierLow > 100);
        QVERIFY(carrierHigh > 50);
        // Programme peaks mostly around 80-100 %.
        QVERIFY2(inBand > programme * 8 / 10,
                 qPrintable(QStringLiteral("%1 of %2").arg(inBand).arg(programme)));
        // One silence that raises the audio-loss alarm, and no other.
        QCOMPARE(longSilences, 1);
        QVERIFY(longestSilence > 15.5 && longestSilence < 25);
    }

    void scriptForms() {
        std::string error;
        auto script =
            ReadingScript::parse("# header\n196040181\r\n\n   x255243039  # packet form\n039040042", &error);
        QVERIFY2(script, error.c_str());
        QCOMPARE(script->size(), std::size_t(3));
        QCOMPARE(script->next(), std::string("x196040181"));
        QCOMPARE(script->next(), std::string("x255243039"));
        QCOMPARE(script->next(), std::string("x039040042"));
        // Held at the end...
        QCOMPARE(script->next(), std::string("x039040042"));
        // ...or looped.
        script->setLoop(true);
        QCOMPARE(script->next(), std::string("x196040181"));
        // Out-of-range readings are the instrument's business: played as given.
        QVERIFY(ReadingScript::parse("256999100\n", &error));
    }

    void badScriptsNameTheLine_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");
        QTest::newRow("short") << QStringLiteral("196040181\n19604018\n") << QStringLiteral("line 2");
        QTest::newRow("letters") << QStringLiteral("\n\n1960a0181\n") << QStringLiteral("line 3");
        QTest::newRow("upper X") << QStringLiteral("X196040181") << QStringLiteral("line 1");
        QTest::newRow("two on a line") << QStringLiteral("196040181 196040181") << QStringLiteral("line 1");
        QTest::newRow("nothing") << QStringLiteral("# only a comment\n\n") << QStringLiteral("no readings");
    }
    void badScriptsNameTheLine() {
        QFETCH(QString, text);
        QFETCH(QString, message);
        std::string error;
        QVERIFY(!ReadingScript::parse(text.toStdString(), &error));
        QVERIFY2(QString::fromStdString(error).contains(message), error.c_str());
    }

    void faultRates() {
        const auto every3 = FaultRate::parse("3");
        QVERIFY(every3 && every3->kind == FaultRate::Kind::EveryNth);
        SimRandom rng;
        QList<int> hit;
        for (int i = 1; i <= 10; ++i) {
            if (every3->hits(std::uint64_t(i), rng)) hit.append(i);
        }
        QCOMPARE(hit, (QList<int>{3, 6, 9}));
        const auto tenth = FaultRate::parse("0.1");
        QVERIFY(tenth && tenth->kind == FaultRate::Kind::Probability);
        int n = 0;
        for (int i = 1; i <= 20000; ++i)
            n += tenth->hits(std::uint64_t(i), rng);
        QVERIFY2(n > 1700 && n < 2300, qPrintable(QString::number(n)));
        QCOMPARE(FaultRate::parse("0.0")->kind, FaultRate::Kind::Never);
        QCOMPARE(FaultRate::parse("1.0")->kind, FaultRate::Kind::Probability);
        for (const char* bad : {"", "0", "-1", "1.5", "often", "3x", "0.1.2"})
            QVERIFY2(!FaultRate::parse(bad), bad);
    }

    void garbledAndNoiseNeverMakeAPacket() {
        for (std::uint64_t seed = 1; seed <= 2000; ++seed) {
            SimRandom rng(seed);
            const std::string packet =
                formatPacket({rng.between(0, 255), rng.between(0, 255), rng.between(0, 255)});
            const std::string garbled = garblePacket(packet, rng);
            QCOMPARE(garbled.size(), std::size_t(10));
            QCOMPARE(garbled[0], 'x');
            QVERIFY2(!isValidPacket(garbled), garbled.c_str());
            QCOMPARE(std::count(garbled.begin(), garbled.end(), 'x'), 1);
            const std::string noise = noiseBytes(rng);
            QVERIFY(!noise.empty() && noise.size() <= 8);
            QVERIFY(noise.find('x') == std::string::npos);
        }
    }

    void injectorPlansReplies() {
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
        // Dropping wins over every other fault.
        QCOMPARE(statuses, (QList<std::string>{"ok", "garbled", "split", "dropped", "ok", "garbled+split"}));
        // The same seed plans the same run.
        FaultPlan random;
        random.garble = *FaultRate::parse("0.3");
        random.noise = *FaultRate::parse("0.3");
        FaultInjector a(random, 9), b(random, 9);
        for (std::uint64_t i = 1; i <= 200; ++i) {
            const ReplyPlan x = a.plan(i, packet), y = b.plan(i, packet);
            QCOMPARE(x.text, y.text);
            QCOMPARE(x.noise, y.noise);
        }
    }
};
ZEL_TEST(ProgrammeModelTest)
#include "tst_programmemodel.moc"
