// The station: its config file, and the one episode rule every output sees.
#include "support/testmain.h"

#include "core/monitor/episodetracker.h"
#include "core/station/stationfile.h"

#include <QSignalSpy>
#include <QTemporaryDir>

class StationTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    QString write(const QByteArray& text) {
        static int n = 0;
        const QString path = m_dir.filePath(QStringLiteral("f%1.conf").arg(++n));
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(text);
        return path;
    }

private slots:
    void configFaults_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("fault"); // empty: accepted
        QTest::newRow("good") << QByteArray("[site]\nid=a\n[monitor.x-1]\nport=SIM\n") << QString();
        QTest::newRow("no port") << QByteArray("[monitor.x]\nname=X\n") << QStringLiteral(":1: monitor x has no port");
        QTest::newRow("twice") << QByteArray("[monitor.x]\nport=SIM\n\n[monitor.x]\nport=SIM\n")
                               << QStringLiteral(":4: monitor x is named twice");
        QTest::newRow("malformed id") << QByteArray("[monitor.a b]\nport=SIM\n") << QStringLiteral(":1: \"a b\"");
        QTest::newRow("refused port") << QByteArray("[monitor.x]\n\nport=COM 12x\n") << QStringLiteral(":3: ");
        QTest::newRow("not key=value") << QByteArray("[monitor.x]\nport SIM\n") << QStringLiteral(":2: ");
    }
    void configFaults() {
        QFETCH(QByteArray, text);
        QFETCH(QString, fault);
        const QString path = write(text);
        zel::StationConfig c;
        QStringList warnings;
        QString error;
        const bool ok = zel::readStationFile(path, &c, &warnings, &error);
        QCOMPARE(ok, fault.isEmpty());
        if (!ok) QVERIFY2(error.startsWith(path + fault.left(fault.indexOf(u' ') < 0 ? 3 : 99)) ||
                              error.startsWith(path + fault), qPrintable(error));
    }

    void configValuesAndWarnings() {
        const QString path = write("[site]\nid=north\nname=North\n[monitor.m1]\nname=WZEL 1230 AM\nport=SIM\n"
                                   "colour=red\n[history]\nretentionDays=400d\n[http]\nenabled=true\nport=8090\n");
        zel::StationConfig c;
        QStringList warnings;
        QString error;
        QVERIFY2(zel::readStationFile(path, &c, &warnings, &error), qPrintable(error));
        QCOMPARE(std::tuple(c.siteId, c.siteName, c.monitors.size()), std::tuple(QStringLiteral("north"), QStringLiteral("North"), qsizetype(1)));
        QCOMPARE(std::tuple(c.monitors[0].id, c.monitors[0].name, c.monitors[0].label),
                 std::tuple(QStringLiteral("m1"), QStringLiteral("WZEL 1230 AM"), QStringLiteral("m1")));
        QCOMPARE(std::tuple(c.http.enabled, c.http.port, c.history.retentionDays), std::tuple(true, quint16(8090), 0));
        QCOMPARE(warnings.size(), 2);
        QVERIFY2(warnings[0].startsWith(path + QStringLiteral(":7: ")) && warnings[0].contains(u"colour"),
                 qPrintable(warnings[0]));
        QVERIFY2(warnings[1].startsWith(path + QStringLiteral(":9: ")) && warnings[1].contains(u"retentionDays"),
                 qPrintable(warnings[1]));
        zel::StationConfig missing;
        QVERIFY(!zel::readStationFile(m_dir.filePath(QStringLiteral("none.conf")), &missing, &warnings, &error));
        QVERIFY(error.contains(u"none.conf: cannot be read"));
    }

    // A burst is one episode however fast it comes; a quiet gap of more than
    // a second ends it, whether a packet or the timer finds the gap; a link
    // that goes down ends every open one.
    void episodeRule() {
        zel::EpisodeTracker t;
        qint64 now = 1'000'000;
        t.setClock([&now] { return now; });
        t.setThresholds(110, 110);
        QList<zel::Episode> seen;
        connect(&t, &zel::EpisodeTracker::episode, this, [&seen](const zel::Episode& e) { seen.append(e); });
        const zel::Readings over{53, 10, 40}, quiet{30, 10, 40};
        for (int i = 0; i < 96; ++i, now += 10)
            t.onReadings(i % 7 == 3 ? quiet : over);
        QCOMPARE(seen.size(), 2); // +125 % and the variable positive one, each opened once
        QVERIFY(seen[0].open && seen[0].kind == zel::AlarmKind::Pos125 && t.expiryTimer().isActive());
        now += zel::EpisodeGapMs - 10; // exactly the gap after the last lighting: the same episode
        t.onReadings(over);
        QCOMPARE(seen.size(), 2);
        now += zel::EpisodeGapMs + 1;
        t.endExpired();
        QCOMPARE(seen.size(), 4);
        QCOMPARE(std::tuple(seen[2].open, seen[2].packets, seen[2].lastMs - seen[2].startMs),
                 std::tuple(false, 96 - 14 + 1, qint64(950 + zel::EpisodeGapMs)));
        QVERIFY(!t.expiryTimer().isActive());
        t.onReadings({30, 41, 40}); // -100 %
        t.endAll();
        QCOMPARE(seen.size(), 6);
        QVERIFY(!seen.last().open && !t.isOpen(zel::AlarmKind::Neg100));
    }
};
ZEL_TEST(StationTest)
#include "tst_station.moc"
