#include "core/outputs/alerts/alertmanager.h"

#include "core/types/text.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QTimer>
#include <QUrl>
#include <csignal>
#include <memory>
#include <unistd.h>

namespace zel {

namespace {

constexpr AlarmKind alertKinds[] = {AlarmKind::Carrier, AlarmKind::AudioLoss, AlarmKind::LinkLost,
                                    AlarmKind::NoData,  AlarmKind::Pos125,    AlarmKind::Neg100};

// Only the tail of a command's error output is kept: enough for a reason,
// bounded whatever the command writes.
constexpr qsizetype StderrKeep = 1024;

QString secondsText(int ms) {
    return QString::number(ms / 1000.0) + QStringLiteral(" s");
}

QString title(const AlertDecision& a) {
    if (a.isTest()) return QStringLiteral("zel: test alert");
    return QStringLiteral("zel: %1 %2").arg(a.eventName(), a.stateName());
}

// "carrier-alarm on at <time> (WZEL, Main, COM 1): <the link's reason>".
QString summary(const AlertDecision& a) {
    QStringList place;
    for (const QString* s : {&a.station, &a.monitorName, &a.port})
        if (!s->isEmpty()) place << *s;
    return QStringLiteral("%1 at %2%3%4")
        .arg(a.isTest() ? QStringLiteral("test alert") : a.eventName() + u' ' + a.stateName(),
             formatLocalTime(a.timeMs),
             place.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(place.join(QStringLiteral(", "))),
             a.detail.isEmpty() ? QString() : QStringLiteral(": ") + a.detail);
}

QJsonValue textOrNull(const QString& s) {
    return s.isEmpty() ? QJsonValue() : QJsonValue(s);
}

// The variables an alert sets; any of them the program inherited is dropped,
// so that a value the alert does not have is absent, not stale.
constexpr const char* envNames[] = {"ZEL_EVENT",   "ZEL_STATE",        "ZEL_PORT",   "ZEL_MONITOR",
                                    "ZEL_STATION", "ZEL_MONITOR_NAME", "ZEL_TIME",   "ZEL_DETAIL",
                                    "ZEL_POS",     "ZEL_NEG",          "ZEL_CARRIER"};

QProcessEnvironment commandEnvironment(const AlertDecision& a) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : envNames)
        env.remove(QString::fromLatin1(name));
    auto set = [&env](const char* name, const QString& value) {
        if (!value.isEmpty()) env.insert(QString::fromLatin1(name), value);
    };
    set("ZEL_EVENT", a.eventName());
    set("ZEL_STATE", a.stateName());
    env.insert(QStringLiteral("ZEL_PORT"), a.port);
    set("ZEL_MONITOR", a.monitorId);
    set("ZEL_MONITOR_NAME", a.monitorName);
    set("ZEL_STATION", a.station);
    set("ZEL_TIME", formatLocalTime(a.timeMs));
    set("ZEL_DETAIL", a.detail);
    if (a.readings) {
        set("ZEL_POS", QString::number(positionToPercent(a.readings->posPeak)));
        set("ZEL_NEG", QString::number(positionToPercent(a.readings->negPeak)));
        set("ZEL_CARRIER", QString::number(positionToPercent(a.readings->carrierLevel)));
    }
    return env;
}

// Ends a command and whatever it started: it leads its own process group.
void killGroup(QProcess* proc) {
    if (const qint64 pid = proc->processId(); pid > 0) ::kill(-pid_t(pid), SIGKILL);
    proc->kill();
}

} // namespace

AlertManager::AlertManager(QObject* parent)
    : QObject(parent)
    , m_network(new QNetworkAccessManager(this)) {
    qRegisterMetaType<AlertDecision>();
    for (AlarmKind kind : alertKinds) {
        Track& t = track(kind);
        const QString name = QString::fromLatin1(alarmKindName(kind));
        auto makeTimer = [this](const QString& objectName) {
            auto* timer = new QTimer(this);
            timer->setObjectName(objectName);
            timer->setSingleShot(true);
            // A coarse timer may run 5 % late: half a second on a 10 s delay.
            timer->setTimerType(Qt::PreciseTimer);
            return timer;
        };
        t.onTimer = makeTimer(QStringLiteral("tmrAlertOn-") + name);
        t.offTimer = makeTimer(QStringLiteral("tmrAlertOff-") + name);
        connect(t.onTimer, &QTimer::timeout, this, [this, kind] { delayEnded(kind, true); });
        connect(t.offTimer, &QTimer::timeout, this, [this, kind] { delayEnded(kind, false); });
    }
    setSettings(m_settings);
}

AlertManager::~AlertManager() {
    // QProcess ends a command it still runs; what the command started goes too.
    for (QProcess* proc : findChildren<QProcess*>(Qt::FindDirectChildrenOnly))
        if (proc->state() != QProcess::NotRunning) killGroup(proc);
}

void AlertManager::setSettings(const AlertSettings& settings) {
    m_settings = settings;
    for (AlarmKind kind : alertKinds) {
        Track& t = track(kind);
        t.onTimer->setInterval(m_settings.onDelayS * 1000);
        t.offTimer->setInterval(m_settings.offDelayS * 1000);
        if (!m_settings.isEnabled(kind)) {
            // A kind turned off forgets its state: no "off" follows later.
            t.onTimer->stop();
            t.offTimer->stop();
            t.present = false;
            t.raised = false;
        }
    }
}

bool AlertManager::isRaised(AlarmKind kind) const {
    return int(kind) < KindCount && m_tracks[size_t(kind)].raised;
}

void AlertManager::setPortText(const QString& port) {
    m_port = port;
}

void AlertManager::setMonitor(const MonitorId& id, const QString& name) {
    m_monitorId = id;
    m_monitorName = name;
}

void AlertManager::setStation(const QString& name) {
    m_station = name;
}

void AlertManager::onReadings(const Readings& readings) {
    m_reading = readings;
}

void AlertManager::onAlarmEvent(const AlarmEvent& event) {
    const bool flasher = event.kind == AlarmKind::Pos125 || event.kind == AlarmKind::Neg100;
    if (flasher || !m_settings.isEnabled(event.kind)) return;
    // A carrier alarm comes with the packet that raised or cleared it; the
    // others carry the last packet's readings, which are none before the
    // link's first packet.
    const bool reading = event.kind == AlarmKind::Carrier || m_reading;
    setPresent(event.kind, event.on, event.timeMs, reading ? std::optional(event.readings) : std::nullopt);
}

void AlertManager::onEpisode(const Episode& episode) {
    if (!m_settings.isEnabled(episode.kind)) return;
    setPresent(episode.kind, episode.open, episode.open ? episode.startMs : episode.lastMs, m_reading);
}

void AlertManager::onLinkEvent(const LinkEvent& event) {
    const QString detail = escapeControl(event.detail);
    switch (event.state) {
    case LinkState::Connected:
        m_linkUp = true;
        m_operatorStop = false;
        if (m_settings.linkLost) setPresent(AlarmKind::LinkLost, false, event.timeMs, m_reading, detail);
        break;
    case LinkState::HangingUp:
        m_operatorStop = true;
        break;
    case LinkState::Reconnecting:
        if (m_linkUp && m_settings.linkLost)
            setPresent(AlarmKind::LinkLost, true, event.timeMs, m_reading, detail);
        m_linkUp = false;
        break;
    case LinkState::OffLine: {
        // A failure carries its reason; the operator's disconnect does not.
        const bool lost = m_linkUp && !m_operatorStop && !event.detail.isEmpty();
        if (lost && m_settings.linkLost) {
            setPresent(AlarmKind::LinkLost, true, event.timeMs, m_reading, detail);
        } else if (!lost) {
            // Nobody needs telling about a link the operator closed; a loss
            // already sent stays raised until the link is back.
            Track& t = track(AlarmKind::LinkLost);
            t.onTimer->stop();
            t.offTimer->stop();
            t.present = false;
        }
        m_linkUp = false;
        break;
    }
    default:
        break;
    }
    // The last readings of a link that is down are no reading of now, nor
    // of the next link until its first packet.
    if (event.state != LinkState::Connected) m_reading.reset();
}

void AlertManager::setPresent(AlarmKind kind, bool present, qint64 timeMs,
                              const std::optional<Readings>& readings, const QString& detail) {
    Track& t = track(kind);
    if (!t.onTimer) return;
    t.present = present;
    t.readings = readings;
    t.detail = detail;
    t.timeMs = timeMs;
    if (present) {
        t.offTimer->stop(); // back within the off-delay: still the same alarm
        if (!t.raised && !t.onTimer->isActive()) t.onTimer->start();
    } else {
        t.onTimer->stop(); // shorter than the on-delay: nothing to send
        if (t.raised && !t.offTimer->isActive()) t.offTimer->start();
    }
}

void AlertManager::delayEnded(AlarmKind kind, bool on) {
    Track& t = track(kind);
    if (t.present != on || t.raised == on) return;
    t.raised = on;
    AlertDecision alert;
    alert.kind = kind;
    alert.on = on;
    alert.timeMs = t.timeMs;
    alert.readings = t.readings;
    alert.detail = t.detail;
    decide(alert);
}

void AlertManager::sendTestAlert() {
    AlertDecision alert;
    alert.timeMs = QDateTime::currentMSecsSinceEpoch();
    alert.readings = m_reading;
    if (m_settings.command.trimmed().isEmpty() && m_settings.webhookUrl.isEmpty())
        emit alertFailed(QStringLiteral("test alert"), QStringLiteral("no alert command or webhook is set"));
    decide(alert);
}

QByteArray AlertManager::jsonBody(const AlertDecision& a) {
    QJsonObject o;
    o["event"] = a.eventName();
    o["state"] = a.stateName();
    o["port"] = a.port;
    o["monitor"] = textOrNull(a.monitorId);
    o["monitorName"] = textOrNull(a.monitorName);
    o["station"] = textOrNull(a.station);
    o["time"] = formatLocalTime(a.timeMs);
    o["detail"] = textOrNull(a.detail);
    o["pos"] = a.readings ? QJsonValue(positionToPercent(a.readings->posPeak)) : QJsonValue();
    o["neg"] = a.readings ? QJsonValue(positionToPercent(a.readings->negPeak)) : QJsonValue();
    o["carrier"] = a.readings ? QJsonValue(positionToPercent(a.readings->carrierLevel)) : QJsonValue();
    // Chat services that take a plain message read it from "text".
    o["text"] = QStringLiteral("zel: ") + summary(a);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

void AlertManager::decide(AlertDecision alert) {
    alert.port = m_port;
    alert.monitorId = m_monitorId;
    alert.monitorName = m_monitorName;
    alert.station = m_station;
    send(alert);
}

void AlertManager::send(const AlertDecision& alert) {
    emit alertDecided(alert);
    emit notify(title(alert), summary(alert));
    if (!m_settings.command.trimmed().isEmpty()) runCommand(alert);
    if (!m_settings.webhookUrl.isEmpty()) {
        const QString problem = m_settings.webhookProblem();
        if (problem.isEmpty())
            postWebhook(alert, jsonBody(alert), 1);
        else
            emit alertFailed(QStringLiteral("webhook %1 %2").arg(alert.eventName(), alert.stateName()),
                             problem);
    }
}

void AlertManager::runCommand(const AlertDecision& alert) {
    const QString event = alert.eventName(), state = alert.stateName();
    const QString what = QStringLiteral("command %1 %2").arg(event, state);
    QString problem;
    QStringList args = splitCommandLine(m_settings.command, &problem);
    if (args.isEmpty()) {
        emit alertFailed(what, problem);
        return;
    }
    if (m_running >= MaxRunningCommands) {
        emit alertFailed(what, QStringLiteral("%1 alert commands are still running").arg(m_running));
        return;
    }
    auto* proc = new QProcess(this);
    proc->setObjectName(QStringLiteral("alertCommand"));
    const QString program = args.takeFirst();
    proc->setProgram(program);
    proc->setArguments(args);
    proc->setProcessEnvironment(commandEnvironment(alert));
    proc->setStandardInputFile(QProcess::nullDevice());
    proc->setStandardOutputFile(QProcess::nullDevice());
    // Its own process group, so that a timeout ends what it started as well,
    // and a Ctrl-C meant for the logger does not end the alert.
    proc->setChildProcessModifier([] { ::setpgid(0, 0); });

    auto* limit = new QTimer(proc);
    limit->setObjectName(QStringLiteral("tmrCommandTimeout"));
    limit->setSingleShot(true);
    limit->setInterval(CommandTimeoutMs);
    auto stderrTail = std::make_shared<QByteArray>();
    auto killed = std::make_shared<bool>(false);
    ++m_running;

    auto finish = [this, proc] {
        --m_running;
        proc->deleteLater();
    };
    connect(proc, &QProcess::started, this, [this, limit] {
        limit->start();
        emit dispatched(QStringLiteral("command"));
    });
    connect(limit, &QTimer::timeout, proc, [proc, killed] {
        *killed = true;
        killGroup(proc);
    });
    connect(proc, &QProcess::readyReadStandardError, proc, [proc, stderrTail] {
        stderrTail->append(proc->readAllStandardError());
        if (stderrTail->size() > StderrKeep) stderrTail->remove(0, stderrTail->size() - StderrKeep);
    });
    connect(proc, &QProcess::errorOccurred, this,
            [this, proc, what, program, finish](QProcess::ProcessError e) {
                if (e != QProcess::FailedToStart) return; // the others end in finished()
                emit alertFailed(what,
                                 QStringLiteral("could not start %1: %2").arg(program, proc->errorString()));
                finish();
            });
    connect(
        proc, &QProcess::finished, this,
        [this, event, state, what, limit, killed, stderrTail, finish](int code, QProcess::ExitStatus status) {
            limit->stop();
            const QString err =
                escapeControl(QString::fromLocal8Bit(*stderrTail).trimmed().section(u'\n', -1));
            if (*killed)
                emit alertFailed(
                    what, QStringLiteral("ran over %1 and was killed").arg(secondsText(CommandTimeoutMs)));
            else if (status == QProcess::CrashExit)
                emit alertFailed(what, QStringLiteral("crashed"));
            else if (code != 0)
                emit alertFailed(what, QStringLiteral("exited with code %1%2")
                                           .arg(code)
                                           .arg(err.isEmpty() ? QString() : QStringLiteral(": ") + err));
            else
                emit alertSent(event, state, QStringLiteral("command"));
            finish();
        });
    proc->start();
}

void AlertManager::postWebhook(const AlertDecision& alert, const QByteArray& body, int attempt) {
    QNetworkRequest request{QUrl(m_settings.webhookUrl)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setHeader(QNetworkRequest::UserAgentHeader, QByteArrayLiteral("zel/" ZEL_VERSION));
    // Followed, a redirect turns the POST into a bodiless GET that succeeds:
    // a lost alert recorded as sent.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply* reply = m_network->post(request, body);
    emit dispatched(QStringLiteral("webhook"));
    // One deadline for the whole exchange: a transfer timeout restarts with
    // every byte, and a server answering a byte at a time never meets it.
    auto* deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    auto timedOut = std::make_shared<bool>(false);
    connect(deadline, &QTimer::timeout, reply, [reply, timedOut] {
        *timedOut = true;
        reply->abort();
    });
    deadline->start(m_deadlineMs);
    const int deadlineMs = m_deadlineMs;
    connect(reply, &QNetworkReply::finished, this, [this, reply, alert, body, attempt, timedOut, deadlineMs] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (!*timedOut && reply->error() == QNetworkReply::NoError && status >= 200 && status < 300) {
            emit alertSent(alert.eventName(), alert.stateName(), QStringLiteral("webhook"));
            return;
        }
        QString reason;
        if (*timedOut) {
            reason = QStringLiteral("no answer within %1").arg(secondsText(deadlineMs));
        } else if (status >= 300 && status < 400) {
            const QString location = escapeControl(QString::fromUtf8(reply->rawHeader("Location").left(300)));
            reason =
                location.isEmpty()
                    ? QStringLiteral("HTTP %1, a redirect (not followed)").arg(status)
                    : QStringLiteral("HTTP %1, redirected to %2 (not followed)").arg(status).arg(location);
        } else {
            reason = status ? QStringLiteral("HTTP %1").arg(status) : reply->errorString();
        }
        // A request the server refuses as such will not succeed later.
        const bool retryable = *timedOut || status == 0 || status >= 500 || status == 408 || status == 429;
        if (retryable && attempt < WebhookTries) {
            const int wait = m_backoffMs << (attempt - 1);
            QTimer::singleShot(wait, this,
                               [this, alert, body, attempt] { postWebhook(alert, body, attempt + 1); });
            return;
        }
        emit alertFailed(QStringLiteral("webhook %1 %2").arg(alert.eventName(), alert.stateName()),
                         QStringLiteral("%1 (%2 of %3 tries)").arg(reason).arg(attempt).arg(WebhookTries));
    });
}

} // namespace zel
