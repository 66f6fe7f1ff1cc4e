// The station: its config file, and the one episode rule every output sees.
#include "support/httptest.h"
#include "support/testmain.h"

#include "core/link/linkcontroller.h"
#include "core/outputs/alerts/alertdecision.h"
#include "core/outputs/alerts/alertmanager.h"
#include "core/outputs/history/historystore.h"
#include "core/outputs/history/recorder.h"
#include "core/outputs/web/statusserver.h"
#include "core/protocol/packetdecoder.h"
#include "core/session/monitorsession.h"
#include "core/station/station.h"
#include "core/transport/programmemodel.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

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
        QTest::newRow("no port") << QByteArray("[monitor.x]\nname=X\n")
                                 << QStringLiteral(":1: monitor x has no port");
        QTest::newRow("twice") << QByteArray("[monitor.x]\nport=SIM\n\n[monitor.x]\nport=SIM\n")
                               << QStringLiteral(":4: monitor x is named twice");
        QTest::newRow("malformed id")
            << QByteArray("[monitor.a b]\nport=SIM\n") << QStringLiteral(":1: \"a b\"");
        QTest::newRow("refused port")
            << QByteArray("[monitor.x]\n\nport=COM 12x\n") << QStringLiteral(":3: ");
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
        if (!ok) QVERIFY2(error.startsWith(path + fault), qPrintable(error));
    }

    void configValuesAndWarnings() {
        const QString path =
            write("[site]\nid=north\nname=North\n[monitor.m1]\nname=WZEL 1230 AM\nport=SIM\n"
                  "colour=red\n[history]\nretentionDays=400d\n[http]\nenabled=true\nport=8090\n");
        zel::StationConfig c;
        QStringList warnings;
        QString error;
        QVERIFY2(zel::readStationFile(path, &c, &warnings, &error), qPrintable(error));
        QCOMPARE(std::tuple(c.siteId, c.siteName, c.monitors.size()),
                 std::tuple(QStringLiteral("north"), QStringLiteral("North"), qsizetype(1)));
        QCOMPARE(std::tuple(c.monitors[0].id, c.monitors[0].name, c.monitors[0].label),
                 std::tuple(QStringLiteral("m1"), QStringLiteral("WZEL 1230 AM"), QStringLiteral("m1")));
        QCOMPARE(std::tuple(c.http.enabled, c.http.port, c.history.retentionDays),
                 std::tuple(true, quint16(8090), 0));
        QCOMPARE(warnings.size(), 2);
        QVERIFY2(warnings[0].startsWith(path + QStringLiteral(":7: ")) && warnings[0].contains(u"colour"),
                 qPrintable(warnings[0]));
        QVERIFY2(warnings[1].startsWith(path + QStringLiteral(":9: ")) &&
                     warnings[1].contains(u"retentionDays"),
                 qPrintable(warnings[1]));
        zel::StationConfig missing;
        QVERIFY(
            !zel::readStationFile(m_dir.filePath(QStringLiteral("none.conf")), &missing, &warnings, &error));
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

    // The stand-in's scripted minute through one station: every burst is the
    // same episode in the history, in the alerts and on the status page.
    void aScriptedDayAgreesInEveryOutput() {
        zel::StationConfig config;
        config.monitors.append(zel::monitorForPort(QStringLiteral("SIM")));
        config.monitors[0].settings.panel.positiveThreshold = 110;
        config.monitors[0].settings.panel.negativeThreshold = 110;
        config.history.path = m_dir.filePath(QStringLiteral("day.sqlite"));
        config.alertsAlways = true;
        config.alerts.onDelayS = config.alerts.offDelayS = 0;
        config.alerts.pos125 = config.alerts.neg100 = true;
        config.http.enabled = true;
        config.http.port = 0;
        zel::Station station(config);
        station.openOutputs();
        QVERIFY(station.history()->isOpen() && station.statusServer());
        zel::MonitorSession* s = station.session(0);
        qint64 now = QDateTime::currentMSecsSinceEpoch() - 120'000;
        s->episodes()->setClock([&now] { return now; });
        auto* recorder = s->findChild<zel::Recorder*>();
        QVERIFY(recorder);
        recorder->setClock([&now] { return now; });
        QMap<QString, int> alertsOn;
        connect(station.alerts(0), &zel::AlertManager::alertDecided, this, [&](const zel::AlertDecision& d) {
            if (d.on) ++alertsOn[d.eventName()];
        });

        emit s->link()->stateChanged({zel::LinkState::Connected, now, {}});
        const zel::sim::DayProgramme day(3);
        for (double t = 0; t < 62.0; t += 1.0 / 96) {
            now += 10;
            const std::string packet = zel::sim::formatPacket(day.at(t));
            emit s->link()->readingsReceived(zel::decodePacket(std::string_view(packet).substr(1)));
            QCoreApplication::processEvents();
        }
        now += 2000;
        s->episodes()->endExpired();
        QCoreApplication::processEvents();
        recorder->flush();
        station.history()->sync();

        const httptest::Reply api =
            httptest::exchange(station.statusServer()->serverPort(),
                               "GET /api/monitors HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        const QJsonObject page =
            QJsonDocument::fromJson(api.body)["monitors"].toArray()[0].toObject()["episodes"].toObject();
        for (const char* kind : {"pos125", "neg100"}) {
            const int history = int(station.history()->events(0, now + 1, {QLatin1String(kind)}).size());
            QVERIFY2(history >= 1, kind);
            QCOMPARE(alertsOn.value(QLatin1String(kind)), history);
            QCOMPARE(page[QLatin1String(kind)].toInt(), history);
        }
    }
};
ZEL_TEST(StationTest)
#include "tst_station.moc"
