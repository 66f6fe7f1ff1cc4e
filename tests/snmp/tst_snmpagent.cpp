// The subagent against the real snmpd (AgentX master) and snmptrapd, both
// started here on loopback: the MIB as smilint and net-snmp's tools read it,
// a walk of the rows, notifications, and a master that is missing at start,
// stalls, and is killed and started again.
#include "support/testmain.h"

#include "core/outputs/snmp/snmpagent.h"
#include "snmp/snmpdaemons.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTimer>

using namespace zel;
using zeltest::SnmpDaemons;

namespace {

const QString Base = QString::fromLatin1(SnmpAgent::DefaultBaseOid);
const QString Column = Base + ".1.2.1.";

// ZEL-MONITOR-MIB with the SMIv2 base modules it imports, fetched once with
// `npm pack net-snmp` into the build folder (Debian has them only in
// non-free). Never part of the repository.
QString mibDir(QString* error) {
    const QString dir = QStringLiteral(ZEL_TEST_OUTPUT_DIR "/snmp-mibs");
    const QString base = dir + "/package/lib/mibs";
    if (!QFile::exists(base + "/SNMPv2-SMI.mib")) {
        QDir().mkpath(dir);
        QProcess npm;
        npm.setWorkingDirectory(dir);
        npm.start("sh", {"-c", QStringLiteral("rm -f net-snmp-*.tgz && npm pack --silent net-snmp && "
                                              "tar xzf net-snmp-*.tgz package/lib/mibs")});
        if (!npm.waitForFinished(120000) || npm.exitCode() != 0 || !QFile::exists(base + "/SNMPv2-SMI.mib")) {
            *error = "cannot fetch the SMIv2 base modules with npm: " +
                     QString::fromLocal8Bit(npm.readAllStandardError());
            return {};
        }
    }
    const QString mib = QStringLiteral(QT_TESTCASE_SOURCEDIR "/../mibs/ZEL-MONITOR-MIB.txt");
    QFile::remove(base + "/ZEL-MONITOR-MIB.txt");
    if (!QFile::copy(mib, base + "/ZEL-MONITOR-MIB.txt")) {
        *error = "cannot copy " + mib;
        return {};
    }
    return base;
}

SnmpRow row(const QString& id, const QString& name, float pos) {
    SnmpRow r;
    r.id = id;
    r.name = name;
    r.port = "tcp://127.0.0.1:4000";
    r.linkState = LinkState::Connected;
    r.lastPacketMs = QDateTime::currentMSecsSinceEpoch() - 3000;
    r.readings = {pos, 30, 40};
    r.packets = 5'000'000'123ULL; // past 32 bits: a Counter64 split wrongly shows here
    r.rejectedPackets = 7;
    r.pos125Episodes = 3;
    r.posThreshold = 110;
    r.negThreshold = 90;
    return r;
}

// "ZEL-MONITOR-MIB::zelMonitorName.1 = STRING: x" as name -> value.
QMap<QString, QString> byName(const QStringList& lines) {
    QMap<QString, QString> out;
    for (const QString& l : lines) {
        const int eq = l.indexOf(" = ");
        if (eq > 0) out.insert(l.left(eq).section("::", -1), l.mid(eq + 3));
    }
    return out;
}

} // namespace

class SnmpAgentTest : public QObject {
    Q_OBJECT
    SnmpDaemons m_daemons;
    SnmpAgent* m_agent = nullptr;
    QSignalSpy* m_problems = nullptr;
    QString m_mibs;

    bool walkable() { return !m_daemons.walk(Column + "3").isEmpty(); }

private slots:
    void initTestCase() {
        QString missing;
        QVERIFY2(SnmpDaemons::installed(&missing),
                 qPrintable(missing + " is not installed (scripts/install-deps)"));
        QString error;
        m_mibs = mibDir(&error);
        QVERIFY2(!m_mibs.isEmpty(), qPrintable(error));
        QVERIFY2(m_daemons.startTrapd(), qPrintable(m_daemons.error()));

        // The master is missing at start: said once, and the subagent
        // registers by itself once it is there.
        m_agent = new SnmpAgent(this);
        m_problems = new QSignalSpy(m_agent, &SnmpAgent::problem);
        QVERIFY(m_agent->start(m_daemons.agentxSocket()));
        QTRY_COMPARE_WITH_TIMEOUT(m_problems->count(), 1, 5000);
        QVERIFY2(m_problems->at(0).at(0).toString().contains(m_daemons.agentxSocket()),
                 qPrintable(m_problems->at(0).at(0).toString()));
        QTest::qWait(2500); // retries meanwhile say nothing more
        QCOMPARE(m_problems->count(), 1);
        QVERIFY2(m_daemons.startSnmpd(), qPrintable(m_daemons.error()));
        QTRY_VERIFY_WITH_TIMEOUT(m_agent->isRegistered(), 5000);
        QCOMPARE(m_problems->count(), 1);

        SnmpAgent second;
        QSignalSpy secondProblem(&second, &SnmpAgent::problem);
        QVERIFY(!second.start(m_daemons.agentxSocket())); // net-snmp's state is per process
        QCOMPARE(secondProblem.count(), 1);
    }

    void mibIsCleanAndMatchesTheAgent() {
        QProcess smilint;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("SMIPATH", m_mibs);
        smilint.setProcessEnvironment(env);
        smilint.setProcessChannelMode(QProcess::MergedChannels);
        smilint.start("smilint",
                      {"-l", "3", QStringLiteral(QT_TESTCASE_SOURCEDIR "/../mibs/ZEL-MONITOR-MIB.txt")});
        QVERIFY2(smilint.waitForFinished(30000), "smilint did not finish");
        const QString said = QString::fromLocal8Bit(smilint.readAll());
        QVERIFY2(said.isEmpty() && smilint.exitCode() == 0, qPrintable(said));
    }

    void walkShowsEveryRowAndFollowsChanges() {
        m_agent->setSite("north", "North site", "1.1.0");
        m_agent->setMonitorCount(2);
        m_agent->setRow(1, row("wzel-1", "WZEL 1230 AM", 40));
        SnmpRow second = row("wzel-2", "WZEL \"2\"", 52);
        second.setAlarm(AlarmKind::Carrier, true);
        second.linkState = LinkState::Reconnecting;
        second.lastPacketMs = -1;
        m_agent->setRow(2, second);

        // Through snmpd, named by the MIB: names and types must agree with it.
        auto v = byName(m_daemons.walk("ZEL-MONITOR-MIB::zelMonitorMIB", false, m_mibs));
        QVERIFY2(!v.isEmpty(), qPrintable(m_daemons.error()));
        QCOMPARE(v.value("zelSiteName.0"), "STRING: North site");
        QCOMPARE(v.value("zelMonitorCount.0"), "INTEGER: 2");
        QCOMPARE(v.size(), 4 + 2 * 21);
        QCOMPARE(v.value("zelMonitorName.1"), "STRING: WZEL 1230 AM");
        QCOMPARE(v.value("zelMonitorName.2"), "STRING: WZEL \"2\"");
        QCOMPARE(v.value("zelMonitorPosPeak.1"), "INTEGER: 100 percent");
        QCOMPARE(v.value("zelMonitorPosPeak.2"), "INTEGER: 124 percent");
        QCOMPARE(v.value("zelMonitorLinkState.1"), "INTEGER: 4");
        QCOMPARE(v.value("zelMonitorLinkState.2"), "INTEGER: 8");
        QCOMPARE(v.value("zelMonitorCarrierAlarm.1"), "INTEGER: 1");
        QCOMPARE(v.value("zelMonitorCarrierAlarm.2"), "INTEGER: 2");
        QCOMPARE(v.value("zelMonitorSecondsSinceData.2"), "INTEGER: -1 seconds");
        QVERIFY(v.value("zelMonitorSecondsSinceData.1").startsWith("INTEGER: 3"));
        QCOMPARE(v.value("zelMonitorPackets.1"), "Counter64: 5000000123");
        QCOMPARE(v.value("zelMonitorPos125Episodes.1"), "Counter32: 3");
        QCOMPARE(v.value("zelMonitorNegThreshold.1"), "INTEGER: 90 percent");

        // New values show in the next walk.
        SnmpRow changed = row("wzel-1", "WZEL 1230 AM", 55);
        changed.packets = 5'000'000'200ULL;
        m_agent->setRow(1, changed);
        v = byName(m_daemons.walk("ZEL-MONITOR-MIB::zelMonitorTable", true, m_mibs));
        QCOMPARE(v.value("zelMonitorPosPeak.1"), "INTEGER: 130 percent");
        QCOMPARE(v.value("zelMonitorPackets.1"), "Counter64: 5000000200");

        // A row that has gone: noSuchInstance, and the walk goes on without it.
        m_agent->removeRow(2);
        const QStringList got =
            m_daemons.get({Column + "3.2", Column + "3.1", Column + "99.1", Column + "3.70000"});
        QCOMPARE(got.size(), 4);
        QVERIFY2(got[0].contains("No Such Instance"), qPrintable(got[0]));
        QVERIFY2(got[1].endsWith("\"WZEL 1230 AM\""), qPrintable(got[1]));
        QVERIFY2(got[2].contains("No Such Object"), qPrintable(got[2]));
        QVERIFY2(got[3].contains("No Such Instance"), qPrintable(got[3]));
        v = byName(m_daemons.walk("ZEL-MONITOR-MIB::zelMonitorTable", false, m_mibs));
        QCOMPARE(v.size(), 21);
    }

    void alarmRaisedThenClearedReachTheTrapReceiver() {
        SnmpNotification n;
        n.type = SnmpNotification::Type::AlarmRaised;
        n.index = 1;
        n.alarm = AlarmKind::AudioLoss;
        n.readings = {5, 5, 40};
        n.timeMs = QDateTime::currentMSecsSinceEpoch();
        m_agent->notify(n);
        QString line;
        QVERIFY2(m_daemons.waitForTrap(Base + ".0.1\t", 5000, &line),
                 qPrintable(m_daemons.traps().join('\n')));
        QVERIFY2(line.contains(Column + "3.1 = STRING: \"WZEL 1230 AM\""), qPrintable(line));
        QVERIFY2(line.contains(Base + ".1.3.1.0 = INTEGER: 2"),
                 qPrintable(line)); // audioLoss(2)
        QVERIFY2(line.contains(Column + "7.1 = INTEGER: 30"), qPrintable(line));
        QVERIFY2(line.contains(Column + "9.1 = INTEGER: 100"), qPrintable(line));
        QVERIFY2(line.contains(Base + ".1.3.2.0 = "), qPrintable(line)); // its time

        n.type = SnmpNotification::Type::AlarmCleared;
        n.readings = {40, 40, 40};
        m_agent->notify(n);
        QVERIFY2(m_daemons.waitForTrap(Base + ".0.2\t", 5000, &line),
                 qPrintable(m_daemons.traps().join('\n')));
        QVERIFY2(line.contains(Column + "7.1 = INTEGER: 100"), qPrintable(line));

        n.type = SnmpNotification::Type::LinkLost;
        n.linkState = LinkState::Reconnecting;
        n.detail = "NO CARRIER";
        m_agent->notify(n);
        QVERIFY2(m_daemons.waitForTrap(Base + ".0.3\t", 5000, &line),
                 qPrintable(m_daemons.traps().join('\n')));
        QVERIFY2(line.contains("\"NO CARRIER\""), qPrintable(line));
        QVERIFY2(line.contains(Column + "5.1 = INTEGER: 8"), qPrintable(line));
    }

    // A master that answers nothing holds up neither this thread nor,
    // once it answers again, the walks.
    void stalledMasterHoldsNothingUp() {
        m_daemons.pauseSnmpd(true);
        int ticks = 0;
        QTimer tick;
        connect(&tick, &QTimer::timeout, [&ticks] { ++ticks; });
        tick.start(10);
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < 50; ++i) {
            SnmpNotification n;
            n.index = 1;
            m_agent->notify(n);
            m_agent->setRow(1, row("wzel-1", "WZEL 1230 AM", float(i)));
        }
        QVERIFY2(t.elapsed() < 50, qPrintable(QString::number(t.elapsed())));
        QTest::qWait(1500);
        m_daemons.pauseSnmpd(false);
        QVERIFY2(ticks >= 100, qPrintable(QString::number(ticks)));
        QTRY_VERIFY_WITH_TIMEOUT(walkable(), 10000);
    }

    void masterKilledAndRestartedIsFoundAgain() {
        m_problems->clear();
        QSignalSpy dropped(m_agent, &SnmpAgent::notificationDone);
        m_daemons.killSnmpd();
        QTRY_VERIFY_WITH_TIMEOUT(!m_agent->isRegistered(), 5000);
        QCOMPARE(m_problems->count(), 1);
        SnmpNotification n;
        n.index = 1;
        m_agent->notify(n);
        QTRY_COMPARE(dropped.count(), 1);
        QCOMPARE(dropped.at(0).at(0).toBool(), false);

        QVERIFY2(m_daemons.startSnmpd(), qPrintable(m_daemons.error()));
        QElapsedTimer since;
        since.start();
        while (!walkable() && since.elapsed() < 5000)
            QTest::qWait(100);
        QVERIFY2(since.elapsed() < 5000, "walks did not come back within 5 s");
        QCOMPARE(m_problems->count(), 1);
    }

    void cleanupTestCase() {
        delete m_problems;
        delete m_agent; // closes the session while the master is there
        m_agent = nullptr;
    }
};

ZEL_TEST(SnmpAgentTest)
#include "tst_snmpagent.moc"
