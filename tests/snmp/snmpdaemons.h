#pragma once
// net-snmp's daemons as a test's own processes: snmpd as AgentX master
// (its socket in a temporary folder, a read-only community on 127.0.0.1,
// a free loopback UDP port, every notification to the snmptrapd below) and
// snmptrapd on another free port, each started with -f -C -c CONFIG so
// nothing of the host's configuration or daemons takes part. Also the
// command-line tools.
#include <QElapsedTimer>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

namespace zeltest {

class SnmpDaemons {
public:
    SnmpDaemons();
    ~SnmpDaemons();

    static bool installed(QString* missing); // snmpd, snmptrapd, snmpwalk, snmpget

    bool startTrapd();
    bool startSnmpd(int timeoutMs = 10000);
    void killSnmpd();             // SIGKILL, as a crash
    void pauseSnmpd(bool paused); // SIGSTOP / SIGCONT: a stalled master
    QString error() const { return m_error; }

    QString agentxSocket() const { return m_dir.filePath(QStringLiteral("agentx")); }

    // snmpwalk / snmpbulkwalk / snmpget, v2c, numeric OIDs, values quoted
    // ("-On -Oe": OID = TYPE: value); with the MIB when mibDir is given.
    // The lines of the output, or empty with error() set.
    QStringList walk(const QString& oid, bool bulk = false, const QString& mibDir = QString());
    QStringList get(const QStringList& oids);

    // Trap lines received so far (each notification on one line, its
    // varbinds separated by tabs), and the wait for one containing `text`.
    QStringList traps();
    bool waitForTrap(const QString& text, int timeoutMs, QString* line = nullptr,
                     qint64* receivedNs = nullptr);
    QElapsedTimer& clock() { return m_clock; } // receivedNs is on this clock

private:
    QStringList runTool(const QString& tool, QStringList args);
    QString address() const { return QString("127.0.0.1:%1").arg(m_snmpPort); }

    QTemporaryDir m_dir;
    QProcess m_snmpd, m_trapd;
    quint16 m_snmpPort = 0, m_trapPort = 0;
    QByteArray m_trapBuffer;
    QList<QPair<QString, qint64>> m_traps;
    QElapsedTimer m_clock;
    QString m_error;
};

} // namespace zeltest
