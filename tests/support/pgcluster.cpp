#include "support/pgcluster.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>
#include <QUuid>

#include <csignal>
#include <unistd.h>

namespace zeltest {

QString PgCluster::binDir() {
    const QString dir = QStringLiteral("/usr/lib/postgresql/15/bin");
    return QFileInfo::exists(dir + QStringLiteral("/pg_ctl")) ? dir : QString();
}

bool PgCluster::fail(const QString& why) {
    m_error = why;
    return false;
}

// As root the server's tools run as "postgres" (runuser keeps the arguments).
bool PgCluster::run(const QString& program, const QStringList& args, int timeoutMs) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    const QString tool = binDir() + QLatin1Char('/') + program;
    if (::geteuid() == 0)
        p.start(QStringLiteral("runuser"),
                QStringList{QStringLiteral("-u"), QStringLiteral("postgres"), QStringLiteral("--"), tool} +
                    args);
    else
        p.start(tool, args);
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(1000);
        return fail(program + QStringLiteral(" did not finish: ") + QString::fromLocal8Bit(p.readAll()));
    }
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return fail(program + QStringLiteral(" failed: ") + QString::fromLocal8Bit(p.readAll()));
    return true;
}

bool PgCluster::start() {
    if (m_running) return true;
    if (binDir().isEmpty()) return fail(QStringLiteral("PostgreSQL 15 is not installed"));
    if (!m_dir.isValid()) return fail(QStringLiteral("no temporary folder"));
    if (!m_initialised) {
        QFile pw(m_dir.filePath(QStringLiteral("pw")));
        if (!pw.open(QIODevice::WriteOnly) || pw.write(password().toUtf8() + '\n') < 0)
            return fail(QStringLiteral("cannot write the password file"));
        pw.close();
        if (::geteuid() == 0) {
            QProcess chown;
            chown.start(QStringLiteral("chown"),
                        {QStringLiteral("-R"), QStringLiteral("postgres:postgres"), m_dir.path()});
            if (!chown.waitForFinished(10'000) || chown.exitCode() != 0)
                return fail(QStringLiteral("cannot give the folder to the user postgres"));
        }
        if (!run(QStringLiteral("initdb"),
                 {QStringLiteral("-D"), dataDir(), QStringLiteral("-U"), superuser(),
                  QStringLiteral("--pwfile"), pw.fileName(), QStringLiteral("--auth=scram-sha-256"),
                  QStringLiteral("-E"), QStringLiteral("UTF8"), QStringLiteral("--locale=C"),
                  QStringLiteral("--no-sync")}))
            return false;
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0)) return fail(QStringLiteral("no free port"));
        m_port = probe.serverPort();
        m_initialised = true;
    }
    const QString options = QStringLiteral("-c listen_addresses=127.0.0.1 -p %1 -k %2 -c fsync=off "
                                           "-c synchronous_commit=off -c full_page_writes=off")
                                .arg(m_port)
                                .arg(m_dir.path());
    if (!run(QStringLiteral("pg_ctl"),
             {QStringLiteral("-D"), dataDir(), QStringLiteral("-l"), m_dir.filePath(QStringLiteral("log")),
              QStringLiteral("-w"), QStringLiteral("-t"), QStringLiteral("60"), QStringLiteral("-o"), options,
              QStringLiteral("start")}))
        return false;
    m_running = true;
    return true;
}

void PgCluster::stop() {
    if (!m_running) return;
    run(QStringLiteral("pg_ctl"), {QStringLiteral("-D"), dataDir(), QStringLiteral("-m"),
                                   QStringLiteral("fast"), QStringLiteral("-w"), QStringLiteral("stop")});
    m_running = false;
}

void PgCluster::kill() {
    if (!m_running) return;
    QFile pidFile(dataDir() + QStringLiteral("/postmaster.pid"));
    if (pidFile.open(QIODevice::ReadOnly)) {
        const pid_t pid = pid_t(pidFile.readLine().trimmed().toLongLong());
        if (pid > 0) ::kill(pid, SIGKILL);
    }
    // The children go when they see their parent gone; wait for the port to
    // be free so that start() can listen on it again.
    for (int i = 0; i < 100; ++i) {
        QTcpServer probe;
        if (probe.listen(QHostAddress::LocalHost, m_port)) break;
        ::usleep(100'000);
    }
    QFile::remove(dataDir() + QStringLiteral("/postmaster.pid"));
    m_running = false;
}

QString PgCluster::url(const QString& db, bool withPassword) const {
    return withPassword
               ? QStringLiteral("postgresql://%1:%2@127.0.0.1:%3/%4")
                     .arg(superuser(), password())
                     .arg(m_port)
                     .arg(db)
               : QStringLiteral("postgresql://%1@127.0.0.1:%2/%3").arg(superuser()).arg(m_port).arg(db);
}

bool PgCluster::exec(const QString& dbName, const QString& sql) {
    const QString name = QStringLiteral("pgcluster-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        db.setHostName(QStringLiteral("127.0.0.1"));
        db.setPort(m_port);
        db.setDatabaseName(dbName);
        db.setUserName(superuser());
        db.setPassword(password());
        if (!db.open()) {
            m_error = db.lastError().text();
        } else {
            QSqlQuery q(db);
            ok = q.exec(sql);
            if (!ok) m_error = q.lastError().text();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

bool PgCluster::createDatabase(const QString& name) {
    return exec(QStringLiteral("postgres"), QStringLiteral("CREATE DATABASE \"%1\"").arg(name));
}

} // namespace zeltest
