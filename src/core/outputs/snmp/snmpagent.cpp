#include "core/outputs/snmp/snmpagent.h"

#include <QDateTime>
#include <QHash>
#include <QLoggingCategory>
#include <QMutex>
#include <QSocketNotifier>
#include <QThread>
#include <QTimeZone>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <map>
#include <optional>
#include <pthread.h>
#include <vector>

// net-snmp's headers come last: they define macros that Qt's must not see.
// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/agent/agent_callbacks.h>
#include <net-snmp/library/large_fd_set.h>
// clang-format on

// The subagent's session with the master (net-snmp keeps it in a global its
// headers do not declare).
extern "C" netsnmp_session* main_session;

Q_LOGGING_CATEGORY(lcSnmp, "zel.snmp", QtWarningMsg)

namespace zel {

namespace {

// net-snmp's state is global and can be built once: one agent per process life.
std::atomic<bool> s_agentUsed{false};

constexpr const char* AppName = "zel";
constexpr int FirstColumn = 2; // zelMonitorId; 1 is the index, not-accessible
constexpr int LastColumn = 22; // zelMonitorNegThreshold
constexpr int ScalarCount = 4;

using Oid = std::vector<oid>;

std::optional<Oid> parseOid(const QString& text) {
    Oid out;
    const auto parts = text.split(u'.', Qt::SkipEmptyParts);
    for (const auto& p : parts) {
        bool ok = false;
        const qulonglong v = p.toULongLong(&ok);
        if (!ok || v > 0xffffffffULL) return std::nullopt;
        out.push_back(oid(v));
    }
    if (out.size() < 2 || out.size() > 100) return std::nullopt;
    return out;
}

Oid operator+(Oid a, const Oid& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Oid operator+(Oid a, oid b) {
    a.push_back(b);
    return a;
}

struct Value {
    u_char type = ASN_NULL;
    long number = 0;
    quint64 big = 0;
    QByteArray text;
};

Value integer(long v) {
    return {ASN_INTEGER, v, 0, {}};
}
Value counter32(quint32 v) {
    return {ASN_COUNTER, long(v), 0, {}};
}
Value counter64(quint64 v) {
    return {ASN_COUNTER64, 0, v, {}};
}
Value octets(const QByteArray& v) {
    return {ASN_OCTET_STR, 0, 0, v};
}
Value text(const QString& v, int max) {
    return octets(v.toUtf8().left(max));
}
Value alarmState(bool raised) {
    return integer(raised ? 2 : 1);
}

void setValue(netsnmp_variable_list* vb, const Value& v) {
    switch (v.type) {
    case ASN_COUNTER64: {
        struct counter64 c;
        c.high = u_long(v.big >> 32);
        c.low = u_long(v.big & 0xffffffffULL);
        snmp_set_var_typed_value(vb, ASN_COUNTER64, &c, sizeof c);
        break;
    }
    case ASN_OCTET_STR:
        snmp_set_var_typed_value(vb, ASN_OCTET_STR, v.text.constData(), size_t(v.text.size()));
        break;
    default:
        snmp_set_var_typed_value(vb, v.type, &v.number, sizeof v.number);
        break;
    }
}

int percent(float position) {
    return positionToPercent(position);
}

} // namespace

// What the station's thread and the agent's thread share.
struct SnmpShared {
    QMutex mutex;
    QString siteId, siteName, version;
    int monitorCount = 0;
    std::map<int, SnmpRow> rows;

    std::optional<Value> scalar(oid which) const {
        switch (which) {
        case 1:
            return text(siteId, 64);
        case 2:
            return text(siteName, 255);
        case 3:
            return text(version, 64);
        case 4:
            return integer(monitorCount);
        default:
            return std::nullopt;
        }
    }

    static Value cell(const SnmpRow& r, int column, qint64 nowMs) {
        switch (column) {
        case 2:
            return text(r.id, 64);
        case 3:
            return text(r.name, 255);
        case 4:
            return text(r.port, 255);
        case 5:
            return integer(mibLinkState(r.linkState));
        case 6:
            return integer(r.lastPacketMs < 0 ? -1 : long(qMax<qint64>(0, nowMs - r.lastPacketMs) / 1000));
        case 7:
            return integer(percent(r.readings.posPeak));
        case 8:
            return integer(percent(r.readings.negPeak));
        case 9:
            return integer(percent(r.readings.carrierLevel));
        case 10:
            return alarmState(r.alarm(AlarmKind::Carrier));
        case 11:
            return alarmState(r.alarm(AlarmKind::AudioLoss));
        case 12:
            return alarmState(r.alarm(AlarmKind::NoData));
        case 13:
            return alarmState(r.alarm(AlarmKind::LinkLost));
        case 14:
            return alarmState(r.alarm(AlarmKind::Pos125));
        case 15:
            return alarmState(r.alarm(AlarmKind::Neg100));
        case 16:
            return counter64(r.packets);
        case 17:
            return counter64(r.rejectedPackets);
        case 18:
            return counter32(r.pos125Episodes);
        case 19:
            return counter32(r.neg100Episodes);
        case 20:
            return counter32(r.linkLosses);
        case 21:
            return integer(r.posThreshold);
        default:
            return integer(r.negThreshold);
        }
    }
};

// Lives on the agent's thread; every net-snmp call happens here.
class SnmpWorker : public QObject {
    Q_OBJECT
public:
    SnmpWorker(std::shared_ptr<SnmpShared> shared, Oid base)
        : m_shared(std::move(shared))
        , m_base(std::move(base))
        , m_objects(m_base + oid(1)) {}

    void startAgent(const QString& socket);
    void stopAgent();
    void sendNotification(const SnmpNotification& n);

signals:
    void registered(bool registered, const QString& reason);
    void notificationDone(bool sent);

private:
    static int handleRequest(netsnmp_mib_handler* handler, netsnmp_handler_registration* reg,
                             netsnmp_agent_request_info* info, netsnmp_request_info* requests);
    static int onSessionEvent(int major, int minor, void* server, void* client);
    static int onLog(int major, int minor, void* server, void* client);

    void answer(netsnmp_agent_request_info* info, netsnmp_request_info* requests);
    std::optional<Value> get(const Oid& rel, int* error) const;
    std::optional<std::pair<Oid, Value>> next(const Oid& rel) const;
    void process();
    void rearm();

    std::shared_ptr<SnmpShared> m_shared;
    Oid m_base;
    Oid m_objects; // zelObjects: the subtree this agent answers for
    QHash<int, QSocketNotifier*> m_notifiers;
    QTimer* m_timer = nullptr;
    bool m_running = false;
    bool m_connected = false;
};

// ---- the agent's thread

void SnmpWorker::startAgent(const QString& socket) {
    // A master that closes its end must not end the process: this thread
    // takes SIGPIPE as EPIPE (the mask is per thread; the program's own
    // children do not inherit it).
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    // net-snmp's lines go to the zel.snmp logging category, not to stderr.
    snmp_disable_log();
    snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, &SnmpWorker::onLog, this);
    snmp_enable_calllog();
    // ZEL_SNMP_DEBUG=TOKENS (net-snmp's debug tokens, e.g. agentx) shows
    // the library's own tracing in the zel.snmp category.
    if (const QByteArray tokens = qgetenv("ZEL_SNMP_DEBUG"); !tokens.isEmpty()) {
        debug_register_tokens(tokens.constData());
        snmp_set_do_debugging(1);
    }

    // No config or persistent files of the host's, no MIB files, no SIGALRM.
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MIBDIRS, "");

    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
    snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START, &SnmpWorker::onSessionEvent,
                           this);
    snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP, &SnmpWorker::onSessionEvent,
                           this);

    m_timer = new QTimer(this);
    m_timer->setObjectName("tmrSnmp");
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &SnmpWorker::process);

    init_agent(AppName);
    // After init_agent, which sets its own defaults (a ping every 15 s).
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_NO_CONNECTION_WARNINGS, 1);
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET,
                          socket.toLocal8Bit().constData());
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL,
                       SnmpAgent::PingIntervalS);
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_TIMEOUT, 2);
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_RETRIES, 1);

    netsnmp_handler_registration* reg = netsnmp_create_handler_registration(
        "zelObjects", &SnmpWorker::handleRequest, m_objects.data(), m_objects.size(), HANDLER_CAN_RONLY);
    reg->handler->myvoid = this;
    netsnmp_register_handler(reg); // registered with the master once the session is open
    init_snmp(AppName);            // opens the AgentX session, or starts retrying
    m_running = true;
    if (!m_connected) emit registered(false, QStringLiteral("no master agent answers at %1").arg(socket));
    rearm();
}

void SnmpWorker::stopAgent() {
    if (!m_running) return;
    m_running = false;
    qDeleteAll(m_notifiers);
    m_notifiers.clear();
    m_timer->stop();
    // net-snmp's own teardown (snmp_shutdown) is not safe to run in a
    // process that goes on, and its state cannot be built twice: close the
    // AgentX connection, so the master drops our registrations at once,
    // and leave the rest to the end of the process.
    snmp_unregister_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START,
                             &SnmpWorker::onSessionEvent, this, 1);
    snmp_unregister_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP,
                             &SnmpWorker::onSessionEvent, this, 1);
    if (main_session) {
        remove_trap_session(main_session); // nothing may send through it after this
        snmp_close(main_session);
        main_session = nullptr;
    }
}

int SnmpWorker::onSessionEvent(int, int minor, void*, void* client) {
    auto* self = static_cast<SnmpWorker*>(client);
    const bool up = minor == SNMPD_CALLBACK_INDEX_START;
    if (up != self->m_connected) {
        self->m_connected = up;
        emit self->registered(up, up ? QString() : QStringLiteral("the master agent went away"));
    }
    return SNMPERR_SUCCESS;
}

int SnmpWorker::onLog(int, int, void* server, void*) {
    const auto* msg = static_cast<const snmp_log_message*>(server);
    if (msg && msg->msg) {
        qCDebug(lcSnmp).noquote() << QString::fromLocal8Bit(msg->msg).trimmed();
    }
    return SNMPERR_SUCCESS;
}

// One pass of net-snmp's work, then wait for its sockets or its next timeout.
void SnmpWorker::process() {
    if (!m_running) return;
    agent_check_and_process(0); // never blocks: reads what is ready, runs timeouts and alarms
    rearm();
}

void SnmpWorker::rearm() {
    if (!m_running) return;
    int maxFd = 0;
    int block = 1;
    timeval timeout{0, 0};
    netsnmp_large_fd_set fds;
    netsnmp_large_fd_set_init(&fds, FD_SETSIZE);
    snmp_select_info2(&maxFd, &fds, &timeout, &block);

    QSet<int> wanted;
    for (int fd = 0; fd < maxFd; ++fd)
        if (NETSNMP_LARGE_FD_ISSET(fd, &fds)) wanted.insert(fd);
    netsnmp_large_fd_set_cleanup(&fds);

    for (auto it = m_notifiers.begin(); it != m_notifiers.end();) {
        if (wanted.contains(it.key())) {
            ++it;
            continue;
        }
        it.value()->setEnabled(false);
        it.value()->deleteLater();
        it = m_notifiers.erase(it);
    }
    for (int fd : wanted) {
        if (m_notifiers.contains(fd)) continue;
        auto* n = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(n, &QSocketNotifier::activated, this, &SnmpWorker::process);
        m_notifiers.insert(fd, n);
    }
    // block: nothing pending; the agent's alarms (pings, reconnects) still
    // come through the timeout, so keep a slow tick as a floor.
    const qint64 ms = block ? 1000 : qint64(timeout.tv_sec) * 1000 + (timeout.tv_usec + 999) / 1000;
    m_timer->start(int(qBound(qint64(0), ms, qint64(1000))));
}

// ---- requests from the master

int SnmpWorker::handleRequest(netsnmp_mib_handler* handler, netsnmp_handler_registration*,
                              netsnmp_agent_request_info* info, netsnmp_request_info* requests) {
    static_cast<SnmpWorker*>(handler->myvoid)->answer(info, requests);
    return SNMP_ERR_NOERROR;
}

void SnmpWorker::answer(netsnmp_agent_request_info* info, netsnmp_request_info* requests) {
    QMutexLocker lock(&m_shared->mutex);
    for (netsnmp_request_info* r = requests; r; r = r->next) {
        if (r->processed) continue;
        netsnmp_variable_list* vb = r->requestvb;
        const Oid name(vb->name, vb->name + vb->name_length);
        const size_t n = m_objects.size();
        const bool inside = name.size() >= n && std::equal(m_objects.begin(), m_objects.end(), name.begin());
        switch (info->mode) {
        case MODE_GET: {
            int error = SNMP_NOSUCHOBJECT;
            const auto v = inside ? get(Oid(name.begin() + long(n), name.end()), &error) : std::nullopt;
            if (v)
                setValue(vb, *v);
            else
                netsnmp_set_request_error(info, r, error);
            break;
        }
        case MODE_GETNEXT: {
            // Before the subtree: its first object; past it: nothing here.
            Oid rel;
            if (inside)
                rel.assign(name.begin() + long(n), name.end());
            else if (!std::lexicographical_compare(name.begin(), name.end(), m_objects.begin(),
                                                   m_objects.end()))
                break;
            if (const auto found = next(rel)) {
                Oid out = m_objects + found->first;
                snmp_set_var_objid(vb, out.data(), out.size());
                setValue(vb, found->second);
            }
            break;
        }
        default:
            netsnmp_set_request_error(info, r, SNMP_ERR_NOTWRITABLE);
            break;
        }
    }
}

// The value at an OID relative to zelObjects; a row that is not there (or
// has gone) is noSuchInstance, an OID that names no object noSuchObject.
std::optional<Value> SnmpWorker::get(const Oid& rel, int* error) const {
    *error = SNMP_NOSUCHOBJECT;
    if (rel.size() >= 2 && rel[0] == 1 && rel[1] >= 1 && rel[1] <= ScalarCount) {
        *error = SNMP_NOSUCHINSTANCE;
        if (rel.size() == 3 && rel[2] == 0) return m_shared->scalar(rel[1]);
        return std::nullopt;
    }
    if (rel.size() >= 3 && rel[0] == 2 && rel[1] == 1 && rel[2] >= FirstColumn && rel[2] <= LastColumn) {
        *error = SNMP_NOSUCHINSTANCE;
        if (rel.size() != 4 || rel[3] > 65535) return std::nullopt;
        const auto it = m_shared->rows.find(int(rel[3]));
        if (it == m_shared->rows.end()) return std::nullopt;
        return SnmpShared::cell(it->second, int(rel[2]), QDateTime::currentMSecsSinceEpoch());
    }
    return std::nullopt;
}

// The first object after `rel` in the subtree: the scalars, then the table
// column by column, each column in the order of its rows' indexes.
std::optional<std::pair<Oid, Value>> SnmpWorker::next(const Oid& rel) const {
    const auto before = [&rel](const Oid& o) {
        return std::lexicographical_compare(rel.begin(), rel.end(), o.begin(), o.end());
    };
    for (oid s = 1; s <= ScalarCount; ++s) {
        const Oid o{1, s, 0};
        if (before(o)) return std::pair{o, *m_shared->scalar(s)};
    }
    const auto& rows = m_shared->rows;
    if (rows.empty()) return std::nullopt;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (oid c = FirstColumn; c <= LastColumn; ++c) {
        const Oid column{2, 1, c};
        auto it = rows.end();
        if (before(column) || rel == column)
            it = rows.begin();
        else if (rel.size() >= 4 && std::equal(column.begin(), column.end(), rel.begin()))
            it = rel[3] < 65536 ? rows.upper_bound(int(rel[3])) : rows.end(); // the row after rel's
        else
            continue; // past this column
        if (it != rows.end())
            return std::pair{column + oid(it->first), SnmpShared::cell(it->second, int(c), now)};
    }
    return std::nullopt;
}

// ---- notifications

void SnmpWorker::sendNotification(const SnmpNotification& n) {
    if (!m_connected) {
        emit notificationDone(false);
        return;
    }
    static const oid trapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
    const Oid column = m_objects + Oid{2, 1};
    const auto cell = [&](oid c) { return column + Oid{c, oid(n.index)}; };
    const Oid notifyAlarm = m_objects + Oid{3, 1, 0};
    const Oid notifyTime = m_objects + Oid{3, 2, 0};
    const Oid notifyDetail = m_objects + Oid{3, 3, 0};

    SnmpRow row;
    {
        QMutexLocker lock(&m_shared->mutex);
        const auto it = m_shared->rows.find(n.index);
        if (it != m_shared->rows.end()) row = it->second;
    }
    const QByteArray id = (n.id.isEmpty() ? row.id : n.id).toUtf8().left(64);
    const QByteArray name = (n.name.isEmpty() ? row.name : n.name).toUtf8().left(255);
    const QByteArray when = mibDateAndTime(n.timeMs);

    netsnmp_variable_list* vars = nullptr;
    const auto add = [&vars](const Oid& o, u_char type, const void* value, size_t len) {
        snmp_varlist_add_variable(&vars, o.data(), o.size(), type, value, len);
    };
    const auto addInt = [&add](const Oid& o, long v) { add(o, ASN_INTEGER, &v, sizeof v); };
    const Oid trap = m_base + Oid{0, oid(int(n.type) + 1)};
    snmp_varlist_add_variable(&vars, trapOid, OID_LENGTH(trapOid), ASN_OBJECT_ID, trap.data(),
                              trap.size() * sizeof(oid));
    add(cell(2), ASN_OCTET_STR, id.constData(), size_t(id.size()));
    add(cell(3), ASN_OCTET_STR, name.constData(), size_t(name.size()));
    if (n.type == SnmpNotification::Type::AlarmRaised || n.type == SnmpNotification::Type::AlarmCleared) {
        addInt(notifyAlarm, mibAlarm(n.alarm));
        addInt(cell(7), percent(n.readings.posPeak));
        addInt(cell(8), percent(n.readings.negPeak));
        addInt(cell(9), percent(n.readings.carrierLevel));
    } else {
        const QByteArray detail = n.detail.toUtf8().left(255);
        addInt(cell(5), mibLinkState(n.linkState));
        add(notifyDetail, ASN_OCTET_STR, detail.constData(), size_t(detail.size()));
    }
    add(notifyTime, ASN_OCTET_STR, when.constData(), size_t(when.size()));
    send_v2trap(vars);
    snmp_free_varbind(vars);
    emit notificationDone(true);
    rearm();
}

// ---- the station's side

SnmpAgent::SnmpAgent(QObject* parent)
    : QObject(parent)
    , m_shared(std::make_shared<SnmpShared>()) {
    qRegisterMetaType<SnmpNotification>();
    setBaseOid(QString::fromLatin1(DefaultBaseOid));
}

SnmpAgent::~SnmpAgent() {
    if (!m_thread) return;
    QMetaObject::invokeMethod(m_worker, &SnmpWorker::stopAgent, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
    delete m_worker;
    // s_agentUsed stays set: net-snmp's state cannot be built a second time.
}

bool SnmpAgent::setBaseOid(const QString& text) {
    if (m_started || !parseOid(text)) return false;
    m_baseOid = text;
    return true;
}

bool SnmpAgent::start(const QString& agentxSocket) {
    if (m_started) return true;
    if (agentxSocket.trimmed().isEmpty()) {
        emit problem(QStringLiteral("no AgentX socket given"));
        return false;
    }
    if (s_agentUsed.exchange(true)) {
        emit problem(QStringLiteral("an SNMP subagent has already run in this process; net-snmp allows one"));
        return false;
    }
    m_socket = agentxSocket.trimmed();
    m_started = true;
    m_thread = new QThread(this);
    m_thread->setObjectName("snmp");
    m_worker = new SnmpWorker(m_shared, *parseOid(baseOid()));
    m_worker->moveToThread(m_thread);
    connect(m_worker, &SnmpWorker::registered, this, &SnmpAgent::onRegistered);
    connect(m_worker, &SnmpWorker::notificationDone, this, &SnmpAgent::notificationDone);
    m_thread->start();
    QMetaObject::invokeMethod(m_worker, [w = m_worker, s = m_socket] { w->startAgent(s); });
    return true;
}

void SnmpAgent::onRegistered(bool registered, const QString& reason) {
    if (registered == m_registered && (registered || m_said)) return;
    m_registered = registered;
    if (registered) {
        m_said = false;
    } else if (!m_said) {
        m_said = true;
        emit problem(
            QStringLiteral("%1 (%2); registering again by itself when it is back").arg(reason, m_socket));
    }
    emit registeredChanged(registered);
}

void SnmpAgent::setSite(const QString& id, const QString& name, const QString& version) {
    QMutexLocker lock(&m_shared->mutex);
    m_shared->siteId = id;
    m_shared->siteName = name;
    m_shared->version = version;
}

void SnmpAgent::setMonitorCount(int count) {
    QMutexLocker lock(&m_shared->mutex);
    m_shared->monitorCount = count;
}

void SnmpAgent::setRow(int index, const SnmpRow& row) {
    if (index < 1 || index > 65535) return;
    QMutexLocker lock(&m_shared->mutex);
    m_shared->rows[index] = row;
}

void SnmpAgent::removeRow(int index) {
    QMutexLocker lock(&m_shared->mutex);
    m_shared->rows.erase(index);
}

void SnmpAgent::notify(const SnmpNotification& notification) {
    if (!m_worker) {
        emit notificationDone(false);
        return;
    }
    QMetaObject::invokeMethod(m_worker, [w = m_worker, notification] { w->sendNotification(notification); });
}

// ---- the MIB's values

int mibLinkState(LinkState state) {
    return int(state) + 1;
}

int mibAlarm(AlarmKind kind) {
    switch (kind) {
    case AlarmKind::Carrier:
        return 1;
    case AlarmKind::AudioLoss:
        return 2;
    case AlarmKind::NoData:
        return 3;
    case AlarmKind::LinkLost:
        return 4;
    case AlarmKind::Pos125:
        return 5;
    case AlarmKind::Neg100:
        return 6;
    case AlarmKind::PosVariable:
        return 7;
    case AlarmKind::NegVariable:
        return 8;
    }
    return 1;
}

QByteArray mibDateAndTime(qint64 utcMs) {
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(utcMs, QTimeZone::systemTimeZone());
    const int offsetMin = t.offsetFromUtc() / 60;
    const QDate d = t.date();
    const QTime tm = t.time();
    QByteArray out(11, '\0');
    out[0] = char((d.year() >> 8) & 0xff);
    out[1] = char(d.year() & 0xff);
    out[2] = char(d.month());
    out[3] = char(d.day());
    out[4] = char(tm.hour());
    out[5] = char(tm.minute());
    out[6] = char(tm.second());
    out[7] = char(tm.msec() / 100);
    out[8] = offsetMin < 0 ? '-' : '+';
    out[9] = char(qAbs(offsetMin) / 60);
    out[10] = char(qAbs(offsetMin) % 60);
    return out;
}

} // namespace zel

#include "snmpagent.moc"
