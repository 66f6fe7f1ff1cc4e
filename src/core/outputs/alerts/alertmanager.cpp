#include "core/outputs/alerts/alertmanager.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QTimer>
#include <QUrl>

namespace zel {

namespace {

constexpr AlarmKind alertKinds[] = {AlarmKind::Carrier, AlarmKind::AudioLoss, AlarmKind::LinkLost,
                                    AlarmKind::NoData,  AlarmKind::Pos125,    AlarmKind::Neg100};

bool isEpisodeKind(AlarmKind kind) {
    return kind == AlarmKind::Pos125 || kind == AlarmKind::Neg100;
}

QString title(const AlertManager::Alert& a) {
    if (a.state == u"test") return QStringLiteral("zel: test alert");
    return QStringLiteral("zel: %1 %2").arg(a.event, a.state);
}

// Only the tail of a command's error output is kept: enough for a reason,
// bounded whatever the command writes.
constexpr qsizetype StderrKeep = 1024;

} // namespace

AlertManager::AlertManager(QObject* parent)
    : QObject(parent)
    , m_network(new QNetworkAccessManager(this)) {
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
        connect(t.onTimer, &QTimer::timeout, this, [this, kind] { onDelayEnded(kind); });
        connect(t.offTimer, &QTimer::timeout, this, [this, kind] { offDelayEnded(kind); });
        if (isEpisodeKind(kind)) {
            t.episodeTimer = makeTimer(QStringLiteral("tmrEpisode-") + name);
            t.episodeTimer->setInterval(EpisodeGapMs);
            connect(t.episodeTimer, &QTimer::timeout, this, [this, kind] {
                const Track& e = track(kind);
                setPresent(kind, false, QDateTime::currentMSecsSinceEpoch(), e.readings);
            });
        }
    }
    setSettings(m_settings);
}

AlertManager::~AlertManager() = default;

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
            if (t.episodeTimer) t.episodeTimer->stop();
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

void AlertManager::onAlarmEvent(const AlarmEvent& event) {
    m_lastReadings = event.readings;
    if (!m_settings.isEnabled(event.kind)) return;
    if (isEpisodeKind(event.kind)) {
        // Every lighting extends the episode; only a gap ends it.
        if (!event.on) return;
        track(event.kind).episodeTimer->start();
    }
    setPresent(event.kind, event.on, event.timeMs, event.readings);
}

void AlertManager::onLinkEvent(const LinkEvent& event) {
    switch (event.state) {
    case LinkState::Connected:
        m_linkUp = true;
        m_operatorStop = false;
        if (m_settings.linkLost) setPresent(AlarmKind::LinkLost, false, event.timeMs, m_lastReadings);
        break;
    case LinkState::HangingUp:
        m_operatorStop = true;
        break;
    case LinkState::Reconnecting:
        if (m_linkUp && m_settings.linkLost)
            setPresent(AlarmKind::LinkLost, true, event.timeMs, m_lastReadings);
        m_linkUp = false;
        break;
    case LinkState::OffLine: {
        // A failure carries its reason; the operator's disconnect does not.
        const bool lost = m_linkUp && !m_operatorStop && !event.detail.isEmpty();
        if (lost && m_settings.linkLost) {
            setPresent(AlarmKind::LinkLost, true, event.timeMs, m_lastReadings);
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
}

void AlertManager::setPresent(AlarmKind kind, bool present, qint64 timeMs, const Readings& readings) {
    Track& t = track(kind);
    if (!t.onTimer) return;
    t.present = present;
    t.readings = readings;
    t.timeMs = timeMs;
    if (present) {
        t.offTimer->stop(); // back within the off-delay: still the same alarm
        if (!t.raised && !t.onTimer->isActive()) t.onTimer->start();
    } else {
        t.onTimer->stop(); // shorter than the on-delay: nothing to send
        if (t.raised && !t.offTimer->isActive()) t.offTimer->start();
    }
}

void AlertManager::onDelayEnded(AlarmKind kind) {
    Track& t = track(kind);
    if (!t.present || t.raised) return;
    t.raised = true;
    dispatch({QString::fromLatin1(alarmKindName(kind)), QStringLiteral("on"), m_port, t.timeMs, t.readings});
}

void AlertManager::offDelayEnded(AlarmKind kind) {
    Track& t = track(kind);
    if (t.present || !t.raised) return;
    t.raised = false;
    dispatch({QString::fromLatin1(alarmKindName(kind)), QStringLiteral("off"), m_port, t.timeMs, t.readings});
}

void AlertManager::sendTestAlert() {
    const Alert alert{QStringLiteral("test"), QStringLiteral("test"), m_port,
                      QDateTime::currentMSecsSinceEpoch(), m_lastReadings};
    if (m_settings.command.trimmed().isEmpty() && m_settings.webhookUrl.isEmpty())
        emit alertFailed(QStringLiteral("test alert"), QStringLiteral("no alert command or webhook is set"));
    dispatch(alert);
}

QString AlertManager::isoLocalTime(qint64 utcMs) {
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(utcMs, Qt::LocalTime);
    QDateTime withOffset = local.toOffsetFromUtc(local.offsetFromUtc());
    return withOffset.toString(Qt::ISODate);
}

QByteArray AlertManager::jsonBody(const Alert& a) {
    QJsonObject o;
    o["event"] = a.event;
    o["state"] = a.state;
    o["port"] = a.port;
    o["time"] = isoLocalTime(a.timeMs);
    o["pos"] = positionToPercent(a.readings.posPeak);
    o["neg"] = positionToPercent(a.readings.negPeak);
    o["carrier"] = positionToPercent(a.readings.carrierLevel);
    // Chat services that take a plain message read it from "text".
    o["text"] = QStringLiteral("%1 at %2%3")
                    .arg(title(a), isoLocalTime(a.timeMs),
                         a.port.isEmpty() ? QString() : QStringLiteral(" (") + a.port + u')');
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

void AlertManager::dispatch(const Alert& alert) {
    emit notify(title(alert),
                QStringLiteral("%1 %2 at %3%4")
                    .arg(alert.event, alert.state, isoLocalTime(alert.timeMs),
                         alert.port.isEmpty() ? QString() : QStringLiteral(" on ") + alert.port));
    if (!m_settings.command.trimmed().isEmpty()) runCommand(alert);
    if (!m_settings.webhookUrl.isEmpty()) {
        const QString problem = m_settings.webhookProblem();
        if (problem.isEmpty())
            postWebhook(alert, jsonBody(alert), 1);
        else
            emit alertFailed(QStringLiteral("webhook %1 %2").arg(alert.event, alert.state), problem);
    }
}

void AlertManager::runCommand(const Alert& alert) {
    const QString what = QStringLiteral("command %1 %2").arg(alert.event, alert.state);
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
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ZEL_EVENT", alert.event);
    env.insert("ZEL_STATE", alert.state);
    env.insert("ZEL_PORT", alert.port);
    env.insert("ZEL_TIME", isoLocalTime(alert.timeMs));
    env.insert("ZEL_POS", QString::number(positionToPercent(alert.readings.posPeak)));
    env.insert("ZEL_NEG", QString::number(positionToPercent(alert.readings.negPeak)));
    env.insert("ZEL_CARRIER", QString::number(positionToPercent(alert.readings.carrierLevel)));
    proc->setProcessEnvironment(env);
    proc->setStandardInputFile(QProcess::nullDevice());
    proc->setStandardOutputFile(QProcess::nullDevice());

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
        proc->kill();
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
    connect(proc, &QProcess::finished, this,
            [this, alert, what, limit, killed, stderrTail, finish](int code, QProcess::ExitStatus status) {
                limit->stop();
                const QString err = QString::fromLocal8Bit(*stderrTail).trimmed().section(u'\n', -1);
                if (*killed)
                    emit alertFailed(
                        what, QStringLiteral("ran over %1 s and was killed").arg(CommandTimeoutMs / 1000));
                else if (status == QProcess::CrashExit)
                    emit alertFailed(what, QStringLiteral("crashed"));
                else if (code != 0)
                    emit alertFailed(what, QStringLiteral("exited with code %1%2")
                                               .arg(code)
                                               .arg(err.isEmpty() ? QString() : QStringLiteral(": ") + err));
                else
                    emit alertSent(alert.event, alert.state, QStringLiteral("command"));
                finish();
            });
    proc->start();
}

void AlertManager::postWebhook(const Alert& alert, const QByteArray& body, int attempt) {
    QNetworkRequest request{QUrl(m_settings.webhookUrl)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setHeader(QNetworkRequest::UserAgentHeader, QByteArrayLiteral("zel/" ZEL_VERSION));
    request.setTransferTimeout(WebhookTimeoutMs);
    QNetworkReply* reply = m_network->post(request, body);
    emit dispatched(QStringLiteral("webhook"));
    connect(reply, &QNetworkReply::finished, this, [this, reply, alert, body, attempt] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() == QNetworkReply::NoError && status >= 200 && status < 300) {
            emit alertSent(alert.event, alert.state, QStringLiteral("webhook"));
            return;
        }
        const QString reason = status ? QStringLiteral("HTTP %1").arg(status) : reply->errorString();
        // A request the server refuses as such will not succeed later.
        const bool retryable = status == 0 || status >= 500 || status == 408 || status == 429;
        if (retryable && attempt < WebhookTries) {
            const int wait = m_backoffMs << (attempt - 1);
            QTimer::singleShot(wait, this,
                               [this, alert, body, attempt] { postWebhook(alert, body, attempt + 1); });
            return;
        }
        emit alertFailed(QStringLiteral("webhook %1 %2").arg(alert.event, alert.state),
                         QStringLiteral("%1 (%2 of %3 tries)").arg(reason).arg(attempt).arg(WebhookTries));
    });
}

} // namespace zel
