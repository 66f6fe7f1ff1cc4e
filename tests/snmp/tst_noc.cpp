// The logger as a NOC sees it: two monitors played by stand-ins, walked
// through snmpd, an alarm reaching snmptrapd raised and then cleared, and
// the counters on /metrics (promtool's reading of the text is the metrics test's).
#include "snmpdaemons.h"
#include "support/httptest.h"
#include "support/simprocess.h"
#include "support/testmain.h"

#include "core/outputs/snmp/snmpagent.h"

#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

namespace {

const QString Column = QString::fromLatin1(zel::SnmpAgent::DefaultBaseOid) + ".1.2.1.";

quint16 freePort() {
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

// "OID = Counter64: 123" -> 123, for the OID ending in `suffix`.
qint64 valueOf(const QStringList& lines, const QString& suffix) {
    for (const QString& l : lines)
        if (l.section(" = ", 0, 0).endsWith(suffix)) return l.section(u':', -1).trimmed().toLongLong();
    return -1;
}

} // namespace

class NocTest : public QObject {
    Q_OBJECT

private slots:
    void twoMonitorsSeenFromTheNoc() {
        QString missing;
        if (!zeltest::SnmpDaemons::installed(&missing)) QFAIL(qPrintable(missing + " is not installed"));
        zeltest::SnmpDaemons daemons;
        QVERIFY2(daemons.startTrapd() && daemons.startSnmpd(), qPrintable(daemons.error()));

        // The carrier falls out of its window for two seconds, then returns.
        QTemporaryDir dir;
        const QString script = zeltest::writeCarrierDipScript(dir.path(), 200);
        zeltest::SimProcess dip, plain;
        QVERIFY2(dip.start({"--script", script}), qPrintable(dip.errorText()));
        QVERIFY2(plain.start(), qPrintable(plain.errorText()));

        const quint16 http = freePort();
        QProcess logger;
        logger.start(QStringLiteral(ZEL_LOGGER),
                     {"--port", dip.devicePath(), "--port", plain.devicePath(), "--agentx",
                      daemons.agentxSocket(), "--alert-delay", "0,0", "--http",
                      QString("127.0.0.1:%1").arg(http), "--no-history", "--for", "30"});
        QVERIFY(logger.waitForStarted(10000));

        QString line;
        QVERIFY2(daemons.waitForTrap(".0.1\t", 15000, &line),
                 qPrintable(logger.readAll() + daemons.traps().join(u'\n')));
        QVERIFY2(line.contains("INTEGER: 1"), qPrintable(line)); // carrier(1)
        QVERIFY2(daemons.waitForTrap(".0.2\t", 15000, &line), qPrintable(line));

        QStringList first = daemons.walk(Column + "16");
        QTest::qWait(1500);
        const QStringList second = daemons.walk(Column + "16");
        QCOMPARE(second.size(), 2);
        for (const char* row : {".16.1", ".16.2"})
            QVERIFY2(valueOf(second, row) > valueOf(first, row) && valueOf(first, row) > 0,
                     qPrintable(first.join(u'\n') + u'\n' + second.join(u'\n')));
        QCOMPARE(daemons.walk(Column + "4").size(), 2);

        const httptest::Reply monitors = httptest::exchange(http, httptest::request("/api/monitors"));
        QVERIFY2(monitors.status == 200 && monitors.body.count("\"link\":\"connected\"") == 2,
                 monitors.body.constData());
        const httptest::Reply metrics = httptest::exchange(http, httptest::request("/metrics"));
        QCOMPARE(metrics.status, 200);
        QVERIFY2(metrics.body.contains("zel_packets_total{"), metrics.body.left(2000).constData());
        logger.terminate();
        QVERIFY(logger.waitForFinished(10000));
    }
};
ZEL_TEST(NocTest)
#include "tst_noc.moc"
