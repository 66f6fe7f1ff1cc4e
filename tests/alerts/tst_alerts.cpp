// Alerts: on/off delays (timer slots invoked, never waited for), the command
// and the webhook with their failures, and the settings.
#include "support/httptest.h"
#include "support/testmain.h"

#include "core/outputs/alerts/alertmanager.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

using zel::AlarmKind;
using zel::AlertDecision;
using zel::AlertManager;

namespace {

QTimer* timer(const AlertManager& m, const char* which, AlarmKind kind) {
    return m.findChild<QTimer*>(QString("tmr%1-%2").arg(which, zel::alarmKindName(kind)));
}

// What a running timer's expiry does, without waiting for it.
void fire(QTimer* timer) {
    QVERIFY2(timer && timer->isActive(), "the timer is not running");
    timer->stop();
    QMetaObject::invokeMethod(timer, "timeout");
}

zel::AlarmEvent alarm(AlarmKind kind, bool on, float pos = 30, float neg = 25, float carrier = 40) {
    return {kind, on, 1'700'000'000'000, zel::Readings{pos, neg, carrier}};
}

// A manager with its outcome signals watched.
struct Rig {
    AlertManager m;
    QSignalSpy notes{&m, &AlertManager::notify};
    QSignalSpy ok{&m, &AlertManager::alertSent};
    QSignalSpy failed{&m, &AlertManager::alertFailed};
    QSignalSpy dispatched{&m, &AlertManager::dispatched};
    QSignalSpy decided{&m, &AlertManager::alertDecided};
    explicit Rig(const QString& command = {}, const QString& url = {}) {
        m.setWebhookBackoffMs(100);
        m.setPortText("COM 1");
        zel::AlertSettings s;
        std::tie(s.command, s.webhookUrl) = std::tie(command, url);
        m.setSettings(s);
    }
    // "event state" of every alert sent so far.
    QStringList sent() const {
        QStringList out;
        for (const auto& args : notes)
            out << args.at(0).toString().section(u' ', 1);
        return out;
    }
    AlertDecision decision(int i) const { return decided.value(i).value(0).value<AlertDecision>(); }
    // Waits for the one outcome and gives its reason (empty: sent).
    QString outcome() {
        [this] { QTRY_COMPARE_WITH_TIMEOUT(ok.count() + failed.count(), 1, 30000); }();
        return failed.value(0).value(1).toString();
    }
};

// The ZEL_ lines of what `env` wrote.
QStringList zelVariables(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {"(no file)"};
    QStringList env = QString::fromUtf8(f.readAll()).split('\n').filter(QRegularExpression("^ZEL_"));
    env.sort();
    return env;
}

// Answers each connection's request with `answer`, a line at a time and
// `trickleMs` apart; counts the requests.
class Answerer : public QObject {
public:
    explicit Answerer(const QByteArray& answer, int trickleMs = 0) {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this, answer, trickleMs] {
            QTcpSocket* s = m_server.nextPendingConnection();
            connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            connect(s, &QTcpSocket::readyRead, s, [this, s, answer, trickleMs] {
                s->readAll();
                if (s->findChild<QTimer*>()) return; // answering already
                ++requests;
                auto* trickle = new QTimer(s);
                auto lines = std::make_shared<QList<QByteArray>>(answer.split('\n'));
                connect(trickle, &QTimer::timeout, s, [s, lines] {
                    if (!lines->isEmpty()) s->write(lines->takeFirst() + (lines->isEmpty() ? "" : "\n"));
                });
                trickle->start(trickleMs);
            });
        });
    }
    QString url() const { return QString("http://127.0.0.1:%1/hook").arg(m_server.serverPort()); }
    int requests = 0;

private:
    QTcpServer m_server;
};

} // namespace

class AlertTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    // N alarm on, F alarm off, O on-delay ends, X off-delay ends, A another
    // kind comes on and its delay ends.
    void scriptedSequences_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QStringList>("expected");
        const QStringList onOff{"carrier-alarm on", "carrier-alarm off"};
        QTest::newRow("shorter than the on-delay") << "NFNFNF" << QStringList{};
        QTest::newRow("long alarm") << "NOFX" << onOff;
        QTest::newRow("repeated on while raised") << "NONNFX" << onOff;
        QTest::newRow("back within the off-delay") << "NOFNFX" << onOff;
        QTest::newRow("still on: no off yet") << "NOFN" << QStringList{"carrier-alarm on"};
        QTest::newRow("each kind its own delay") << "NAF" << QStringList{"audio-loss on"};
    }
    void scriptedSequences() {
        QFETCH(QString, script);
        QFETCH(QStringList, expected);
        Rig rig;
        AlertManager& m = rig.m;
        zel::AlertSettings s;
        std::tie(s.onDelayS, s.offDelayS) = std::tuple(3, 7);
        m.setSettings(s);
        QCOMPARE(std::pair(timer(m, "AlertOn", AlarmKind::Carrier)->interval(),
                           timer(m, "AlertOff", AlarmKind::Carrier)->interval()),
                 std::pair(3'000, 7'000));
        for (QChar step : script) {
            if (step == 'N' || step == 'F') m.onAlarmEvent(alarm(AlarmKind::Carrier, step == 'N'));
            if (step == 'O') fire(timer(m, "AlertOn", AlarmKind::Carrier));
            if (step == 'X') fire(timer(m, "AlertOff", AlarmKind::Carrier));
            if (step == 'A') {
                m.onAlarmEvent(alarm(AlarmKind::AudioLoss, true));
                fire(timer(m, "AlertOn", AlarmKind::AudioLoss));
            }
        }
        QCOMPARE(rig.sent(), expected);
        // Nothing is left pending that would send more.
        if (script.endsWith('X') || script.endsWith('F'))
            QVERIFY(!timer(m, "AlertOn", AlarmKind::Carrier)->isActive());
        QCOMPARE(m.isRaised(AlarmKind::Carrier), expected.size() % 2 == 1 && script.contains('O'));
    }

    // Overmodulation is alerted by the core's episodes, off by default: an
    // episode shorter than the on-delay sends nothing, a longer one its "on"
    // and, once ended and the off-delay past, its "off". Flasher lightings
    // themselves and the variable thresholds' episodes send nothing.
    void overmodulationEpisodes() {
        Rig rig;
        AlertManager& m = rig.m;
        auto episode = [&m](AlarmKind kind, bool open, qint64 atMs) {
            m.onEpisode({kind, open, 1'700'000'000'000, atMs, 40, 53, 125});
        };
        episode(AlarmKind::Pos125, true, 1'700'000'000'000);
        QVERIFY(!timer(m, "AlertOn", AlarmKind::Pos125)->isActive());
        zel::AlertSettings s;
        std::tie(s.pos125, s.neg100) = std::tuple(true, true);
        m.setSettings(s);
        m.onReadings({53, 10, 40});
        episode(AlarmKind::Neg100, true, 1'700'000'000'000);
        episode(AlarmKind::Neg100, false, 1'700'000'000'500);
        m.onAlarmEvent(alarm(AlarmKind::Pos125, true, 53));
        episode(AlarmKind::PosVariable, true, 1'700'000'000'000);
        QVERIFY(!timer(m, "AlertOn", AlarmKind::Neg100)->isActive());
        QVERIFY(!timer(m, "AlertOn", AlarmKind::Pos125)->isActive());
        episode(AlarmKind::Pos125, true, 1'700'000'000'000);
        fire(timer(m, "AlertOn", AlarmKind::Pos125));
        episode(AlarmKind::Pos125, false, 1'700'000'012'000);
        fire(timer(m, "AlertOff", AlarmKind::Pos125));
        QCOMPARE(rig.sent(), (QStringList{"pos125 on", "pos125 off"}));
        // One decision each, as every channel and any other output get it.
        QCOMPARE(rig.decided.count(), 2);
        const AlertDecision on = rig.decision(0), off = rig.decision(1);
        QCOMPARE(std::tuple(on.kind, on.on, on.timeMs, on.readings, on.port),
                 std::tuple(std::optional(AlarmKind::Pos125), true, 1'700'000'000'000,
                            std::optional(zel::Readings{53, 10, 40}), QString("COM 1")));
        QCOMPARE(std::tuple(off.on, off.timeMs, off.eventName(), off.stateName()),
                 std::tuple(false, 1'700'000'012'000, QString("pos125"), QString("off")));
    }

    // A failure ends in off-line with its reason; the operator's does not.
    void linkLoss() {
        using S = zel::LinkState;
        const QList<std::tuple<QList<S>, QString, bool>> cases{
            {{S::Connected, S::Reconnecting}, "", true},
            {{S::Connected, S::OffLine}, "PORT ERROR", true},
            {{S::Connected, S::OffLine}, "", false},
            {{S::Connected, S::HangingUp, S::OffLine}, "modem hung up", false},
            {{S::Dialing, S::Busy, S::OffLine}, "BUSY", false}};
        for (const auto& [states, lastDetail, lost] : cases) {
            Rig rig;
            for (int i = 0; i < states.size(); ++i)
                rig.m.onLinkEvent({states[i], 0, i + 1 == states.size() ? lastDetail : QString()});
            QCOMPARE(timer(rig.m, "AlertOn", AlarmKind::LinkLost)->isActive(), lost);
            if (!lost) continue;
            fire(timer(rig.m, "AlertOn", AlarmKind::LinkLost));
            rig.m.onLinkEvent({zel::LinkState::Connected, 0, {}});
            fire(timer(rig.m, "AlertOff", AlarmKind::LinkLost));
            QCOMPARE(rig.sent(), (QStringList{"link-lost on", "link-lost off"}));
        }
    }

    // What a command and a webhook get, under two zones: the same time text
    // in both, with the zone's offset (never "Z"); the station and monitor;
    // the far end's words with their control characters escaped.
    void alertTextAndTime() {
        const QString out = m_dir.filePath("env.txt");
        const QByteArray savedZone = qgetenv("TZ");
        for (const auto& [zone, offset] :
             {std::pair("UTC", "+00:00"), std::pair("America/St_Johns", "-03:30")}) {
            qputenv("TZ", zone);
            tzset();
            Rig rig(QString("sh -c 'env > \"$1\"' sh '%1'").arg(out));
            rig.m.setStation("WZEL 1230");
            rig.m.setMonitor("main", "Main rack");
            rig.m.onLinkEvent({zel::LinkState::Connected, 0, {}});
            rig.m.onReadings({38, 30, 33}); // 96 %, 80 %, 86 %
            rig.m.onLinkEvent(
                {zel::LinkState::Reconnecting, 1'700'000'000'000, "\x1b]0;owned\x07NO CARRIER"});
            fire(timer(rig.m, "AlertOn", AlarmKind::LinkLost));
            QCOMPARE(rig.outcome(), QString());
            const QString time = zel::formatLocalTime(1'700'000'000'000);
            QVERIFY2(time.endsWith(offset), qPrintable(time));
            const QString detail = "\\x1b]0;owned\\x07NO CARRIER";
            QCOMPARE(
                zelVariables(out),
                (QStringList{"ZEL_CARRIER=86", "ZEL_DETAIL=" + detail, "ZEL_EVENT=link-lost",
                             "ZEL_MONITOR=main", "ZEL_MONITOR_NAME=Main rack", "ZEL_NEG=80", "ZEL_PORT=COM 1",
                             "ZEL_POS=96", "ZEL_STATE=on", "ZEL_STATION=WZEL 1230", "ZEL_TIME=" + time}));
            const QJsonObject body =
                QJsonDocument::fromJson(AlertManager::jsonBody(rig.decision(0))).object();
            QCOMPARE(httptest::pick(body, {"time", "station", "monitor", "detail", "carrier"}),
                     (QStringList{time, "WZEL 1230", "main", detail, "86"}));
            QCOMPARE(body["text"].toString(),
                     "zel: link-lost on at " + time + " (WZEL 1230, Main rack, COM 1): " + detail);
        }
        savedZone.isNull() ? qunsetenv("TZ") : qputenv("TZ", savedZone);
        tzset();
    }

    // Before the link's first packet there is no reading: nothing is sent
    // for it (not the bottom of the bar), nor kept from an earlier link.
    void noReadingIsNoValue() {
        const QString out = m_dir.filePath("env-none.txt");
        qputenv("ZEL_POS", "7"); // not handed down as if it were a reading
        Rig rig(QString("sh -c 'env > \"$1\"' sh '%1'").arg(out));
        rig.m.sendTestAlert();
        QCOMPARE(rig.outcome(), QString());
        qunsetenv("ZEL_POS");
        QCOMPARE(zelVariables(out).filter(QRegularExpression("^ZEL_(POS|NEG|CARRIER)")), QStringList());
        const QJsonObject body = QJsonDocument::fromJson(AlertManager::jsonBody(rig.decision(0))).object();
        QVERIFY(body["pos"].isNull() && body["neg"].isNull() && body["carrier"].isNull());
        QVERIFY(body["station"].isNull());

        rig.m.setSettings({});
        rig.m.onLinkEvent({zel::LinkState::Connected, 0, {}});
        rig.m.onAlarmEvent(alarm(AlarmKind::NoData, true, 0, 0, 0));
        fire(timer(rig.m, "AlertOn", AlarmKind::NoData));
        rig.m.onReadings({38, 30, 33});
        rig.m.sendTestAlert();
        rig.m.onLinkEvent({zel::LinkState::Reconnecting, 0, "gone"});
        rig.m.sendTestAlert();
        QCOMPARE(rig.decided.count(), 4);
        QVERIFY(!rig.decision(1).readings);
        QVERIFY(rig.decision(2).readings == zel::Readings({38, 30, 33}));
        QVERIFY(!rig.decision(3).readings);
    }

    // Test alerts through commands that work or fail; no shell stands between
    // the user's text and the program (";" and "$" are plain words).
    void commandOutcomes() {
        const QString marker = m_dir.filePath("not-created");
        const QList<std::pair<QString, QString>> cases{
            // command, reason (empty: sent)
            {"echo $HOME ; touch " + marker, ""},
            {"/nonexistent/alert-program", "could not start /nonexistent/alert-program"},
            {"sh -c 'echo first >&2; echo mail server down >&2; exit 3'",
             "exited with code 3: mail server down"},
            {"sh -c 'printf \"\\033[2Jdown\" >&2; exit 1'", "exited with code 1: \\x1b[2Jdown"},
            {"sh -c 'exit 0", "single quote is not closed"},
            {"   ", "no alert command or webhook is set"}};
        for (const auto& [command, reason] : cases) {
            Rig rig(command);
            rig.m.sendTestAlert();
            const QString got = rig.outcome();
            QVERIFY2(reason.isEmpty() ? got.isEmpty() : got.contains(reason), qPrintable(got));
            if (!reason.isEmpty())
                QCOMPARE(rig.failed.value(0).value(0).toString(),
                         reason.startsWith("no alert") ? "test alert" : "command test test");
        }
        QVERIFY(!QFile::exists(marker));
        for (const auto& [text, words] :
             QList<std::pair<QString, QStringList>>{{"notify \"a \\\"b\\\" \\n\"", {"notify", "a \"b\" \\n"}},
                                                    {"x'a b'\"c\"\\ d", {"xa bc d"}},
                                                    {"cmd '' x", {"cmd", "", "x"}},
                                                    {"echo \"x", {}}}) {
            QString error;
            QCOMPARE(zel::splitCommandLine(text, &error), words);
            QCOMPARE(error.isEmpty(), !words.isEmpty());
            // Refused when it is set, with the reason.
            QString refusal;
            QCOMPARE(zel::AlertSettings::checkCommand(text, &refusal), !words.isEmpty());
            QVERIFY(refusal.isEmpty() ? !words.isEmpty() : refusal.contains("double quote is not closed"));
        }
        QVERIFY(zel::AlertSettings::checkCommand("  "));
    }

    // Past its time the command is killed, and so is what it started.
    void overlongCommandIsKilled() {
        const QString pidFile = m_dir.filePath("child.pid");
        Rig rig(QString("sh -c 'sleep 120 & echo $! > \"$1\"; wait' sh '%1'").arg(pidFile));
        rig.m.sendTestAlert();
        QTRY_VERIFY_WITH_TIMEOUT(rig.dispatched.count() == 1 && QFileInfo(pidFile).size() > 0, 20000);
        fire(rig.m.findChild<QTimer*>("tmrCommandTimeout"));
        QCOMPARE(rig.outcome(), "ran over 30 s and was killed");
        QTRY_VERIFY(!rig.m.findChild<QProcess*>("alertCommand"));
        QFile f(pidFile);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QString child = QString::fromLatin1(f.readAll()).trimmed();
        // Gone, or a zombie waiting for whoever adopted it.
        QTRY_VERIFY2(
            !QFile::exists("/proc/" + child) ||
                [&] {
                    QFile stat("/proc/" + child + "/stat");
                    return stat.open(QIODevice::ReadOnly) && stat.readAll().split(' ').value(2) == "Z";
                }(),
            qPrintable("sleep " + child + " outlived its command"));
    }

    // Saved and read back; damaged values fall back to the defaults, as does
    // a refused "on[,off]" delay text from the command line.
    void settings() {
        QSettings ini(m_dir.filePath("zel.conf"), QSettings::IniFormat);
        zel::AlertSettings s, back;
        std::tie(s.pos125, s.carrier, s.onDelayS, s.offDelayS) = std::tuple(true, false, 0, 120);
        std::tie(s.command, s.webhookUrl) =
            std::tuple("sh -c 'mail -s \"$ZEL_EVENT\" ops'", "http://127.0.0.1:9/hook");
        s.save(ini);
        ini.sync();
        QSettings reread(ini.fileName(), QSettings::IniFormat);
        back.load(reread);
        QCOMPARE(back, s);
        for (const auto& [key, value] : QList<std::pair<const char*, const char*>>{
                 {"onDelay", "soon"}, {"offDelay", "-4"}, {"neg100", "maybe"}, {"audioLoss", "off"}})
            ini.setValue(QString("alerts/") + key, value);
        back.load(ini);
        QCOMPARE(QList<int>({back.onDelayS, back.offDelayS, back.neg100, back.audioLoss}),
                 QList<int>({10, 30, 0, 0}));
        const QList<std::tuple<QString, int, int>> delays{{"5", 5, 30},   {" 0 , 8 ", 0, 8}, {"-1", -1, 0},
                                                          {"ten", -1, 0}, {"1,2,3", -1, 0},  {"4,", -1, 0}};
        for (const auto& [text, on, off] : delays) {
            zel::AlertSettings d;
            QString error;
            QCOMPARE(d.parseDelays(text, &error), on >= 0);
            QCOMPARE(error.isEmpty(), on >= 0);
            QCOMPARE(QList<int>({d.onDelayS, d.offDelayS}),
                     on >= 0 ? QList<int>({on, off}) : QList<int>({10, 30}));
        }

        // The webhook URL from a file: its first line; a file that does not
        // give one is refused and leaves the URL as it was.
        auto write = [this](const QString& name, const QByteArray& text) {
            QFile f(m_dir.filePath(name));
            f.open(QIODevice::WriteOnly);
            f.write(text);
            f.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
            return f.fileName();
        };
        zel::AlertSettings w;
        QString error;
        QVERIFY(w.loadWebhookFile(write("hook", " https://chat.example.org/h/abc \nsecond\n"), &error));
        QCOMPARE(std::pair(w.webhookUrl, error),
                 std::pair(QString("https://chat.example.org/h/abc"), QString()));
        for (const QString& bad : {m_dir.filePath("missing"), write("empty", "\n  \n"), m_dir.path()}) {
            QVERIFY(!w.loadWebhookFile(bad, &error));
            QVERIFY2(error.contains(bad), qPrintable(error));
        }
        QCOMPARE(w.webhookUrl, "https://chat.example.org/h/abc");
        // Readable by all: taken, with a warning.
        const QString open = write("open", "http://127.0.0.1:9/h\n");
        QFile::setPermissions(open, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
        QVERIFY(w.loadWebhookFile(open, &error) && error.contains("chmod 600"));
    }

    void webhookRetriesWithBackoff_data() {
        QTest::addColumn<QList<int>>("statuses");
        QTest::addColumn<QString>("failure"); // empty: delivered
        QTest::newRow("accepted") << QList<int>{204} << "";
        QTest::newRow("third try") << QList<int>{500, 503, 200} << "";
        QTest::newRow("never") << QList<int>{500} << "HTTP 500 (3 of 3 tries)";
        QTest::newRow("rate limited then ok") << QList<int>{429, 200} << "";
        QTest::newRow("refused outright") << QList<int>{404} << "HTTP 404 (1 of 3 tries)";
    }
    void webhookRetriesWithBackoff() {
        QFETCH(QList<int>, statuses);
        QFETCH(QString, failure);
        httptest::Receiver receiver(statuses);
        Rig rig({}, receiver.url());
        rig.m.setPortText("tcp://127.0.0.1:4001");
        rig.m.onReadings({0, 0, 40});
        rig.m.onAlarmEvent({zel::AlarmKind::AudioLoss, true, 1'700'000'000'000, {0, 0, 40}});
        fire(timer(rig.m, "AlertOn", AlarmKind::AudioLoss));
        QCOMPARE(rig.outcome(), failure);
        // Tried until a success or a refusal, at most three times.
        QCOMPARE(receiver.bodies.size(),
                 failure.isEmpty() ? statuses.size() : failure.mid(failure.indexOf('(') + 1, 1).toInt());
        if (failure.isEmpty())
            QCOMPARE(rig.ok.first(), (QVariantList{"audio-loss", "on", "webhook"}));
        else
            QCOMPARE(rig.failed.first().at(0).toString(), "webhook audio-loss on");
        // The backoff doubles: 100 ms, then 200 ms.
        for (int i = 1; i < receiver.arrivals.size(); ++i)
            QVERIFY2(receiver.arrivals[i] - receiver.arrivals[i - 1] >= (100 << (i - 1)) - 5,
                     qPrintable(QString::number(receiver.arrivals[i] - receiver.arrivals[i - 1])));
        const QJsonObject body = QJsonDocument::fromJson(receiver.bodies.first()).object();
        QCOMPARE(httptest::pick(body, {"event", "state", "port", "carrier", "pos"}),
                 QStringList({"audio-loss", "on", "tcp://127.0.0.1:4001", "100", "20"}));
        QVERIFY(body["text"].toString().contains("audio-loss on"));
        QVERIFY(receiver.heads.first().startsWith("POST /hook "));
        QVERIFY(receiver.heads.first().toLower().contains("content-type: application/json"));
    }

    // A trickled answer meets one deadline for the whole exchange (10 s
    // unless set); a redirect is not followed (that would turn the POST into
    // a GET that "succeeds"); an unusable URL is never tried.
    void webhookFailures() {
        QCOMPARE(AlertManager().webhookDeadlineMs(), 10'000);
        Answerer slow("HTTP/1.1 200 OK\r\nA: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\nE: 5\r\n\r\n", 100);
        Answerer redirect("HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\nContent-Length: 0\r\n"
                          "Connection: close\r\n\r\n");
        quint16 port;
        {
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost, 0);
            port = probe.serverPort();
        }
        const QList<std::tuple<QString, QString, int>> cases{
            // URL, the whole reason (else: how it ends, or the URL in it), tries
            {slow.url(), "no answer within 0.3 s (3 of 3 tries)", 3},
            {redirect.url(), "HTTP 302, redirected to /elsewhere (not followed) (1 of 3 tries)", 1},
            {QString("http://127.0.0.1:%1/").arg(port), "(3 of 3 tries)", 3},
            {"file:///etc/passwd", {}, 0},
            {"http:///x", {}, 0},
            {"::not a url::", {}, 0}};
        for (const auto& [url, reason, tries] : cases) {
            Rig rig({}, url);
            rig.m.setWebhookDeadlineMs(300);
            rig.m.setWebhookBackoffMs(50);
            rig.m.sendTestAlert();
            const QString got = rig.outcome();
            if (reason.isEmpty())
                QVERIFY2(got.contains(url), qPrintable(got));
            else if (reason.startsWith('('))
                QVERIFY2(got.endsWith(reason), qPrintable(got));
            else
                QCOMPARE(got, reason);
            QCOMPARE(std::pair(rig.failed.count(), rig.dispatched.count()),
                     std::pair(qsizetype(1), qsizetype(tries)));
        }
        QTest::qWait(100);
        QCOMPARE(std::pair(slow.requests, redirect.requests), std::pair(3, 1));
    }
};
ZEL_TEST(AlertTest)

#include "tst_alerts.moc"
