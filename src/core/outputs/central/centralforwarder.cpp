#include "core/outputs/central/centralforwarder.h"

#include "core/outputs/central/centraldb.h"
#include "core/outputs/central/centraloutbox.h"
#include "core/station/stationconfig.h"

#include <QDeadlineTimer>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QSysInfo>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>
#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>

namespace zel {

namespace {

constexpr int FirstRetryMs = 1000;
constexpr int LastRetryMs = 30'000;
constexpr int RowsPerStatement = 200;

// Why the server could not be used: each kind is reported once per outage.
enum class Trouble { None, Unreachable, Refused, Schema, Outbox };

QString reasonOf(const QSqlError& e) {
    QString text = e.databaseText().simplified();
    if (text.isEmpty()) text = e.driverText().simplified();
    return text.isEmpty() ? QStringLiteral("unknown error") : text;
}

Trouble classify(const QString& reason) {
    for (const char* words : {"password authentication failed", "no password supplied", "does not exist",
                              "pg_hba.conf", "permission denied"})
        if (reason.contains(QLatin1String(words), Qt::CaseInsensitive)) return Trouble::Refused;
    return Trouble::Unreachable;
}

// libpq's keepalives and user timeout, unless the URL sets its own: a server
// that vanishes mid-send is noticed within about half a minute instead of
// the kernel's two hours, and the thread is free again.
QString withTimeouts(const QString& url) {
    QUrl u(url);
    QUrlQuery query(u);
    const std::pair<const char*, const char*> defaults[] = {{"keepalives_idle", "10"},
                                                            {"keepalives_interval", "5"},
                                                            {"keepalives_count", "3"},
                                                            {"tcp_user_timeout", "30000"}};
    bool changed = false;
    for (const auto& [key, value] : defaults) {
        if (query.hasQueryItem(QLatin1String(key))) continue;
        query.addQueryItem(QLatin1String(key), QLatin1String(value));
        changed = true;
    }
    if (!changed) return url;
    u.setQuery(query);
    return u.toString();
}

} // namespace

QString centralMonitorId(const QString& label) {
    return isValidMonitorId(label) ? label : monitorIdFromPort(label);
}

QString centralSiteId(const QString& configured) {
    if (!configured.isEmpty()) return configured;
    const QString host = QSysInfo::machineHostName().section(u'.', 0, 0);
    return host.isEmpty() ? QStringLiteral("site") : monitorIdFromPort(host);
}

// The forwarder's side on its thread: the outbox, the server connection, the
// back-off and the sends.
class CentralWorker : public QObject {
    Q_OBJECT
public:
    explicit CentralWorker(const CentralForwarder::Options& options)
        : m_options(options) {
        static std::atomic<int> counter{0};
        const int n = ++counter;
        m_connection = QStringLiteral("zel-central-%1").arg(n);
        m_outbox = std::make_unique<CentralOutbox>(QStringLiteral("zel-central-outbox-%1").arg(n));
    }

    // On the thread from here on.
    void init() {
        m_retry = new QTimer(this);
        m_retry->setSingleShot(true);
        m_retry->setObjectName(QStringLiteral("tmrCentralRetry"));
        connect(m_retry, &QTimer::timeout, this, [this] { tick(); });
        m_more = new QTimer(this);
        m_more->setSingleShot(true);
        m_more->setObjectName(QStringLiteral("tmrCentralBatch"));
        connect(m_more, &QTimer::timeout, this, [this] { tick(); });
        CentralUrl parsed;
        QString error;
        m_urlOk = parseCentralUrl(m_options.url, &parsed, &error);
        if (!m_urlOk) {
            // It cannot get better by waiting: said once, never tried.
            emit problem(
                QStringLiteral("Nothing is forwarded to the central database: %1. Recording goes on locally.")
                    .arg(error));
            return;
        }
        m_target = QStringLiteral("%1@%2:%3/%4 site=%5")
                       .arg(parsed.user, parsed.host)
                       .arg(parsed.port)
                       .arg(parsed.database, m_options.siteId);
        tick();
    }

    void setLive(const QList<CentralLive>& live) {
        m_live = live;
        m_liveDue = true;
        tick();
    }

    void retryNow() {
        if (m_connected || !m_retry->isActive()) return;
        m_retry->stop();
        tick();
    }

    // Sends what is due and what the outbox holds, batch after batch, until
    // `deadline`; then lets go of both databases.
    void finish(QDeadlineTimer deadline) {
        m_retry->stop();
        m_more->stop();
        m_finishing = true;
        QString reason;
        while (m_connected && !deadline.hasExpired() && send(&reason)) {
            if (!m_backlog) break;
        }
        closeServer();
        m_outbox->close();
        QThread::currentThread()->quit();
    }

private:
    void tick() {
        if (!m_urlOk || m_finishing) return;
        if (!m_connected) {
            if (m_retry->isActive()) return; // the back-off decides
            if (!connectServer()) return;
        }
        QString reason;
        if (!send(&reason)) {
            failed(classify(reason), reason); // the server went, or refuses a right (permission denied)
            return;
        }
        if (m_backlog && !m_more->isActive()) m_more->start(m_options.batchPauseMs);
    }

signals:
    void problem(const QString& message);
    void recovered(const QString& message);
    void forwarded(int rows, bool more);
    void retryScheduled(int delayMs);
    void liveSent();

private:
    void report(Trouble kind, const QString& message) {
        if (kind == m_reported) return;
        m_reported = kind;
        emit problem(message);
    }

    void failed(Trouble kind, QString reason) {
        closeServer();
        reason = reason.simplified(); // libpq's reasons run over lines
        const QString text =
            kind == Trouble::Refused
                ? QStringLiteral("The central database refuses this site: %1. Check the user, "
                                 "the password (~/.pgpass) and the database name. Recording "
                                 "goes on locally; forwarding is tried again.")
            : kind == Trouble::Schema
                ? QStringLiteral("The central database cannot be used: %1. Recording goes on "
                                 "locally; forwarding is tried again.")
                : QStringLiteral("The central database cannot be reached: %1. Recording goes "
                                 "on locally and is forwarded when it is back.");
        report(kind, text.arg(reason));
        const int delay = m_delayMs;
        m_delayMs = std::min(m_delayMs * 2, LastRetryMs);
        m_retry->start(delay);
        emit retryScheduled(delay);
    }

    bool connectServer() {
        QString error;
        const QString url = withTimeouts(m_options.url);
        if (!openCentralDatabase(url, m_connection, &error)) {
            // The URL as the user gave it, without the timeouts added here.
            failed(classify(error), error.replace(maskedCentralUrl(url), maskedCentralUrl(m_options.url)));
            return false;
        }
        if (!migrateCentral(QSqlDatabase::database(m_connection, false), &error)) {
            failed(error.contains(QLatin1String("schema version")) ? Trouble::Schema : classify(error),
                   error);
            return false;
        }
        // The site is known (and seen) from the first moment.
        {
            QSqlDatabase db = QSqlDatabase::database(m_connection, false);
            m_driver = db.driver();
            QSqlQuery q(db);
            if (!q.exec(siteRow())) error = reasonOf(q.lastError());
        }
        if (!error.isEmpty()) {
            failed(classify(error), error);
            return false;
        }
        m_connected = true;
        m_delayMs = FirstRetryMs;
        m_monitorsSent.clear();
        if (m_reported != Trouble::None) {
            m_reported = Trouble::None;
            emit recovered(QStringLiteral("Forwarding to the central database %1 again.")
                               .arg(maskedCentralUrl(m_options.url)));
        }
        return true;
    }

    void closeServer() {
        m_connected = false;
        if (!QSqlDatabase::contains(m_connection)) return;
        QSqlDatabase::database(m_connection, false).close();
        QSqlDatabase::removeDatabase(m_connection);
    }

    bool openOutbox() {
        if (m_options.historyPath.isEmpty()) return false;
        if (m_outbox->isOpen() && !m_outbox->fileReplaced()) return true;
        QString error;
        if (m_outbox->open(m_options.historyPath, m_target, &error)) return true;
        report(Trouble::Outbox,
               QStringLiteral("The history %1 cannot be forwarded yet: %2. It is tried again.")
                   .arg(m_options.historyPath, error));
        return false;
    }

    QString siteRow() const {
        return QStringLiteral("INSERT INTO sites (id, name, last_seen) VALUES (%1, %2, now())"
                              " ON CONFLICT (id) DO UPDATE SET name = excluded.name,"
                              " last_seen = excluded.last_seen")
            .arg(literal(m_options.siteId), literal(m_options.siteName));
    }

    QString literal(const QVariant& v) const {
        QSqlField field(QString(), v.metaType());
        field.setValue(v);
        return m_driver->formatValue(field);
    }

    // INSERT ... VALUES (...), (...) ON CONFLICT ...: a few hundred rows a
    // statement, appended to `sql`. A key met twice goes in a statement of
    // its own (one statement may not change a row twice).
    void upsert(QStringList& sql, const QString& head, const QString& tail, const QList<QVariantList>& rows,
                const QStringList& monitors, const std::function<QString(int)>& key) {
        const QString site = literal(m_options.siteId);
        QString values;
        QSet<QString> keys;
        int count = 0;
        const auto flush = [&] {
            if (count == 0) return;
            sql << head + values + tail;
            values.clear();
            keys.clear();
            count = 0;
        };
        for (int i = 0; i < rows.size(); ++i) {
            const QString k = key(i);
            if (keys.contains(k)) flush();
            keys.insert(k);
            values += count ? QStringLiteral(",(") : QStringLiteral(" VALUES (");
            values += site;
            if (!monitors.isEmpty()) values += u',' + literal(centralMonitorId(monitors[i]));
            for (const QVariant& v : rows[i])
                values += u',' + literal(v);
            values += u')';
            if (++count == RowsPerStatement) flush();
        }
        flush();
    }

    // One transaction in one round trip (statements sent together run as
    // one): the heartbeat and live rows when due, and a batch of the outbox.
    // False with the reason when the server failed.
    bool send(QString* reason) {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        m_driver = db.driver();
        OutboxBatch batch;
        QString error;
        const bool outbox = openOutbox();
        if (outbox && !m_outbox->read(m_options.batchRows, &batch, &error))
            report(Trouble::Outbox, QStringLiteral("The history %1 cannot be read for forwarding: %2.")
                                        .arg(m_options.historyPath, error));
        if (!m_liveDue && batch.size() == 0) {
            m_backlog = false;
            return true;
        }
        QStringList sql;
        if (m_liveDue) {
            sql << siteRow();
            QList<QVariantList> monitors, live;
            for (const CentralLive& l : std::as_const(m_live)) {
                if (m_monitorsSent.value(l.monitor) != l.name || !m_monitorsSent.contains(l.monitor))
                    monitors.append({l.monitor, l.name});
                const auto number = [](const std::optional<double>& v) {
                    return v ? QVariant(*v) : QVariant(QMetaType::fromType<double>());
                };
                live.append({l.monitor, l.link, l.alarms, number(l.posPercent), number(l.negPercent),
                             number(l.carrierPercent), qint64(l.packets)});
            }
            const auto byFirst = [](const QList<QVariantList>& rows) {
                return [&rows](int i) { return rows[i].value(0).toString(); };
            };
            upsert(sql, QStringLiteral("INSERT INTO monitors (site, id, name)"),
                   QStringLiteral(" ON CONFLICT (site, id) DO UPDATE SET name = excluded.name"), monitors, {},
                   byFirst(monitors));
            upsert(sql,
                   QStringLiteral("INSERT INTO live (site, monitor, link, alarms, pos_pct, neg_pct,"
                                  " carrier_pct, packets)"),
                   QStringLiteral(" ON CONFLICT (site, monitor) DO UPDATE SET link = excluded.link,"
                                  " alarms = excluded.alarms, pos_pct = excluded.pos_pct,"
                                  " neg_pct = excluded.neg_pct, carrier_pct = excluded.carrier_pct,"
                                  " packets = excluded.packets, updated = now()"),
                   live, {}, byFirst(live));
        }
        if (batch.size() > 0) {
            // Monitors met only in the record (a port used before) get a row.
            QList<QVariantList> unknown;
            for (const QStringList* labels : {&batch.eventMonitors, &batch.minuteMonitors})
                for (const QString& label : *labels) {
                    const QString id = centralMonitorId(label);
                    if (m_monitorsSent.contains(id) || m_monitorsSeen.contains(id)) continue;
                    m_monitorsSeen.insert(id);
                    unknown.append({id, label});
                }
            const auto none = [](int) { return QString(); };
            upsert(sql, QStringLiteral("INSERT INTO monitors (site, id, name)"),
                   QStringLiteral(" ON CONFLICT (site, id) DO NOTHING"), unknown, {},
                   [&unknown](int i) { return unknown[i].value(0).toString(); });
            const QList<QVariantList>& minutes = batch.minutes;
            const QStringList& minuteMonitors = batch.minuteMonitors;
            upsert(sql,
                   QStringLiteral("INSERT INTO events (site, monitor, local_id, time_ms, end_ms, kind,"
                                  " on_off, detail, packets, extreme, threshold, pos_pct, neg_pct,"
                                  " carrier, seq, hash)"),
                   QStringLiteral(" ON CONFLICT (site, monitor, time_ms, kind, local_id) DO UPDATE SET"
                                  " end_ms = excluded.end_ms, on_off = excluded.on_off,"
                                  " detail = excluded.detail, packets = excluded.packets,"
                                  " extreme = excluded.extreme, threshold = excluded.threshold,"
                                  " pos_pct = excluded.pos_pct, neg_pct = excluded.neg_pct,"
                                  " carrier = excluded.carrier, seq = excluded.seq, hash = excluded.hash"),
                   batch.events, batch.eventMonitors, none);
            upsert(sql,
                   QStringLiteral("INSERT INTO minutes (site, monitor, minute_ms, packets, rejected,"
                                  " pos_max, neg_max, carrier_min, carrier_max, carrier_mean,"
                                  " pos125_packets, pos125_episodes, neg100_packets, neg100_episodes,"
                                  " carrier_alarm_s, audio_loss_s, link_down_s, up_s)"),
                   QStringLiteral(" ON CONFLICT (site, monitor, minute_ms) DO UPDATE SET"
                                  " packets = excluded.packets, rejected = excluded.rejected,"
                                  " pos_max = excluded.pos_max, neg_max = excluded.neg_max,"
                                  " carrier_min = excluded.carrier_min, carrier_max = excluded.carrier_max,"
                                  " carrier_mean = excluded.carrier_mean,"
                                  " pos125_packets = excluded.pos125_packets,"
                                  " pos125_episodes = excluded.pos125_episodes,"
                                  " neg100_packets = excluded.neg100_packets,"
                                  " neg100_episodes = excluded.neg100_episodes,"
                                  " carrier_alarm_s = excluded.carrier_alarm_s,"
                                  " audio_loss_s = excluded.audio_loss_s,"
                                  " link_down_s = excluded.link_down_s, up_s = excluded.up_s"),
                   minutes, minuteMonitors, [&](int i) {
                       return centralMonitorId(minuteMonitors[i]) + u' ' + minutes[i].value(0).toString();
                   });
            upsert(sql,
                   QStringLiteral("INSERT INTO notes (site, local_id, event_id, time_ms, by_name, text,"
                                  " hash)"),
                   QStringLiteral(" ON CONFLICT (site, local_id) DO NOTHING"), batch.notes, {}, none);
            upsert(sql,
                   QStringLiteral("INSERT INTO signoffs (site, local_id, from_ms, to_ms, time_ms,"
                                  " by_name, text, hash)"),
                   QStringLiteral(" ON CONFLICT (site, local_id) DO NOTHING"), batch.signoffs, {}, none);
        }
        QSqlQuery q(db);
        if (!q.exec(sql.join(QStringLiteral(";\n")))) {
            *reason = reasonOf(q.lastError());
            return false;
        }
        if (m_liveDue) {
            m_liveDue = false;
            for (const CentralLive& l : std::as_const(m_live))
                m_monitorsSent.insert(l.monitor, l.name);
            emit liveSent();
        }
        m_backlog = batch.full;
        if (batch.size() > 0) {
            // Sent twice after a failure here is harmless: the keys hold.
            if (!m_outbox->commit(batch, &error))
                report(Trouble::Outbox,
                       QStringLiteral("The history %1 cannot keep what was forwarded: %2; rows may be sent "
                                      "again.")
                           .arg(m_options.historyPath, error));
            else if (m_reported == Trouble::Outbox)
                m_reported = Trouble::None;
            emit forwarded(batch.size(), batch.full);
        }
        return true;
    }

    CentralForwarder::Options m_options;
    QString m_connection;
    QString m_target;
    std::unique_ptr<CentralOutbox> m_outbox;
    QSqlDriver* m_driver = nullptr;
    QTimer* m_retry = nullptr;
    QTimer* m_more = nullptr;
    bool m_urlOk = false;
    bool m_connected = false;
    bool m_finishing = false;
    bool m_liveDue = false;
    bool m_backlog = false;
    int m_delayMs = FirstRetryMs;
    Trouble m_reported = Trouble::None;
    QList<CentralLive> m_live;
    QHash<QString, QString> m_monitorsSent; // id -> name, as on the server
    QSet<QString> m_monitorsSeen;
};

CentralForwarder::CentralForwarder(const Options& options, QObject* parent)
    : QObject(parent)
    , m_options(options) {}

CentralForwarder::~CentralForwarder() {
    finish(3000);
}

void CentralForwarder::start() {
    if (m_thread) return;
    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("zel-central"));
    m_worker = new CentralWorker(m_options);
    m_worker->moveToThread(m_thread);
    connect(m_worker, &CentralWorker::problem, this, &CentralForwarder::problem);
    connect(m_worker, &CentralWorker::recovered, this, &CentralForwarder::recovered);
    connect(m_worker, &CentralWorker::forwarded, this, &CentralForwarder::forwarded);
    connect(m_worker, &CentralWorker::retryScheduled, this, &CentralForwarder::retryScheduled);
    connect(m_worker, &CentralWorker::liveSent, this, &CentralForwarder::liveSent);
    m_thread->start(QThread::LowPriority);
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker] { w->init(); }, Qt::QueuedConnection);
}

void CentralForwarder::setLive(const QList<CentralLive>& live) {
    if (!m_worker) return;
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker, live] { w->setLive(live); }, Qt::QueuedConnection);
}

void CentralForwarder::retryNow() {
    if (!m_worker) return;
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker] { w->retryNow(); }, Qt::QueuedConnection);
}

void CentralForwarder::finish(int timeoutMs) {
    if (!m_thread) return;
    const QDeadlineTimer deadline(timeoutMs);
    // The last batch starts early enough to end before the wait does.
    const QDeadlineTimer sending(std::max(0, timeoutMs - 1000));
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker, sending] { w->finish(sending); }, Qt::QueuedConnection);
    if (!m_thread->wait(deadline)) {
        // Stuck in a call to a server that does not answer: the thread is
        // left to end with the process rather than destroyed while it runs.
        m_thread = nullptr;
        m_worker = nullptr;
        return;
    }
    delete m_worker;
    delete m_thread;
    m_worker = nullptr;
    m_thread = nullptr;
}

} // namespace zel

#include "centralforwarder.moc"
