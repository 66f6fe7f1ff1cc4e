// Two sites' loggers forwarding to one central record, as a group runs
// them: through a server outage and a logger killed mid-run, each site's
// central export stays equal to its own file's, and the record reads back
// in the report.
#include "support/pgcluster.h"
#include "support/simprocess.h"
#include "support/testmain.h"

#include <QDate>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

using zeltest::PgCluster;

class TestCentralEndToEnd : public QObject {
    Q_OBJECT

    PgCluster m_pg;
    QTemporaryDir m_dir;

    QString path(const QString& name) const { return m_dir.filePath(name); }

    // A site's config: its monitors on the stand-in's ports, its own file,
    // the central URL without the password (PGPASSFILE holds it).
    QString writeConfig(const QString& site, const QStringList& ports) {
        QByteArray text = "[site]\nid=" + site.toUtf8() + "\nname=Site " + site.toUtf8() + "\n";
        for (int i = 0; i < ports.size(); ++i)
            text += QStringLiteral("[monitor.%1-%2]\nport=%3\n").arg(site).arg(i + 1).arg(ports[i]).toUtf8();
        text += "[history]\nfile=" + path(site + ".sqlite").toUtf8() +
                "\n[central]\nurl=" + m_pg.url(QStringLiteral("group"), false).toUtf8() + "\n";
        QFile f(path(site + ".conf"));
        if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size()) return {};
        return f.fileName();
    }

    bool startLogger(QProcess& p, const QString& site) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PGPASSFILE"), path(QStringLiteral("pgpass")));
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.start(QStringLiteral(ZEL_LOGGER), {"--config", path(site + ".conf")});
        return p.waitForStarted(10000);
    }

    // Waits for `text` in the logger's output since the last call.
    bool waitFor(QProcess& p, QByteArray* seen, const QByteArray& text, int timeoutMs) {
        QDeadlineTimer deadline(timeoutMs);
        while (!seen->contains(text) && !deadline.hasExpired() && p.state() == QProcess::Running) {
            p.waitForReadyRead(200);
            *seen += p.readAllStandardOutput();
        }
        return seen->contains(text);
    }

    QVariant scalar(const QString& sql) {
        QVariant v;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("e2e"));
            db.setHostName(QStringLiteral("127.0.0.1"));
            db.setPort(m_pg.port());
            db.setDatabaseName(QStringLiteral("group"));
            db.setUserName(PgCluster::superuser());
            db.setPassword(PgCluster::password());
            if (db.open()) {
                QSqlQuery q(db);
                if (q.exec(sql) && q.next()) v = q.value(0);
            }
        }
        QSqlDatabase::removeDatabase(QStringLiteral("e2e"));
        return v;
    }

    // A task of zel-logger that writes to standard output.
    QByteArray logger(QStringList args, const QString& history, const QString& site = {}) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PGPASSFILE"), path(QStringLiteral("pgpass")));
        p.setProcessEnvironment(env);
        args << "--history" << history;
        if (!site.isEmpty()) args << "--site" << site;
        p.start(QStringLiteral(ZEL_LOGGER), args);
        if (!p.waitForFinished(30000) || p.exitCode() != 0) return "failed: " + p.readAllStandardError();
        return p.readAllStandardOutput();
    }
    QByteArray exportCsv(const QString& table, const QString& history, const QString& site = {}) {
        return logger({"--export", table, "--output", "-"}, history, site);
    }

private slots:
    void initTestCase() {
        if (PgCluster::binDir().isEmpty()) QSKIP("PostgreSQL 15 is not installed");
        QVERIFY2(m_pg.start(), qPrintable(m_pg.errorText()));
        QVERIFY2(m_pg.createDatabase(QStringLiteral("group")), qPrintable(m_pg.errorText()));
        QFile pass(path(QStringLiteral("pgpass")));
        QVERIFY(pass.open(QIODevice::WriteOnly));
        pass.write(QStringLiteral("127.0.0.1:%1:group:%2:%3\n")
                       .arg(m_pg.port())
                       .arg(PgCluster::superuser(), PgCluster::password())
                       .toUtf8());
        pass.setPermissions(QFile::ReadOwner | QFile::WriteOwner); // libpq ignores a file others may read
    }

    void twoSitesThroughOutageAndKill() {
        zeltest::SimProcess sim;
        QVERIFY2(sim.start({"--tcp", "127.0.0.1:0", "--count", "3", "--programme", "day"}),
                 qPrintable(sim.errorText()));
        QTRY_COMPARE_WITH_TIMEOUT(sim.paths().size(), 3, 10000);
        QVERIFY(!writeConfig(QStringLiteral("north"), sim.paths().mid(0, 2)).isEmpty());
        QVERIFY(!writeConfig(QStringLiteral("south"), sim.paths().mid(2, 1)).isEmpty());
        QProcess north, south;
        QByteArray northOut, southOut;
        QVERIFY(startLogger(north, QStringLiteral("north")));
        QVERIFY(startLogger(south, QStringLiteral("south")));

        // Both sites live: every monitor connected, the heartbeat recent.
        QTRY_COMPARE_WITH_TIMEOUT(scalar("SELECT count(*) FROM live WHERE link = 'connected' AND packets > 0"
                                         " AND updated > now() - interval '10 s'")
                                      .toInt(),
                                  3, 30000);
        QCOMPARE(scalar("SELECT string_agg(id || ':' || name, ',' ORDER BY id) FROM sites"
                        " WHERE last_seen > now() - interval '10 s'")
                     .toString(),
                 QStringLiteral("north:Site north,south:Site south"));

        // The server away for a while: each logger says so once, and that it is back.
        m_pg.stop();
        QVERIFY(waitFor(north, &northOut, "central-problem", 20000));
        QVERIFY(waitFor(south, &southOut, "central-problem", 20000));
        QTest::qWait(3000); // rows pile up in the outbox meanwhile
        QVERIFY2(m_pg.start(), qPrintable(m_pg.errorText()));
        QVERIFY2(waitFor(north, &northOut, "central-online", 45000), northOut.constData());
        QVERIFY2(waitFor(south, &southOut, "central-online", 45000), southOut.constData());
        QCOMPARE(northOut.count("central-problem"), 1);

        // North killed mid-run, then started again on the same file.
        ::kill(pid_t(north.processId()), SIGKILL);
        QVERIFY(north.waitForFinished(10000));
        northOut.clear();
        const QString restarted = scalar("SELECT now()::text").toString();
        QVERIFY(startLogger(north, QStringLiteral("north")));
        QTRY_VERIFY_WITH_TIMEOUT(scalar(QStringLiteral("SELECT count(*) FROM live WHERE site = 'north' AND"
                                                       " link = 'connected' AND updated > '%1'")
                                            .arg(restarted))
                                         .toInt() == 2,
                                 45000);
        QTest::qWait(2000);
        for (QProcess* p : {&north, &south}) {
            p->terminate();
            QVERIFY(p->waitForFinished(20000));
            QCOMPARE(p->exitCode(), 0);
        }

        // Each site's central export is its file's export: nothing lost, nothing twice.
        for (const QString& site : {QStringLiteral("north"), QStringLiteral("south")}) {
            for (const QString& table : {QStringLiteral("events"), QStringLiteral("minutes")}) {
                const QByteArray local = exportCsv(table, path(site + ".sqlite"));
                const QByteArray central = exportCsv(table, m_pg.url(QStringLiteral("group"), false), site);
                QVERIFY2(local.count('\n') > 1, local.constData());
                QCOMPARE(central, local);
            }
            // The compliance table and the chain read the same from either.
            const QString day = QDate::currentDate().toString(Qt::ISODate);
            const QStringList compliance{"--compliance", day, day, "--monitor", site + "-1", "--output", "-"};
            const QByteArray table = logger(compliance, path(site + ".sqlite"));
            QVERIFY2(table.count('\n') >= 1380, table.constData());
            QCOMPARE(logger(compliance, m_pg.url(QStringLiteral("group"), false), site), table);
            const QByteArray verified = logger({"--verify"}, m_pg.url(QStringLiteral("group"), false), site);
            QVERIFY2(verified.startsWith("intact: "), verified.constData());
        }
        QVERIFY(exportCsv(QStringLiteral("events"), m_pg.url(QStringLiteral("group"), false))
                    .contains(",north/north-2,"));

        // The daily report reads the central record too, with the site's name.
        QProcess report;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PGPASSFILE"), path(QStringLiteral("pgpass")));
        report.setProcessEnvironment(env);
        const QString pdf = path(QStringLiteral("north.pdf"));
        report.start(QStringLiteral(ZEL_APP),
                     {"--report", QDate::currentDate().toString(Qt::ISODate), "--history",
                      m_pg.url(QStringLiteral("group"), false), "--site", "north", "--output", pdf});
        QVERIFY(report.waitForFinished(60000));
        QVERIFY2(report.exitCode() == 0, report.readAllStandardError().constData());
        QVERIFY(QFile(pdf).size() > 1000);
    }
};
ZEL_TEST(TestCentralEndToEnd)
#include "tst_central_e2e.moc"
