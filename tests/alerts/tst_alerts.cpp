// Alerts: on/off delays (timer slots invoked, never waited for), the command
// and the webhook with their failures, and the settings.
#include "support/httptest.h"
#include "support/testmain.h"

#include "core/outputs/alerts/alertmanager.h"

#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

using zel::AlarmKind;
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
    // Waits for the one outcome and gives its reason (empty: sent).
    QString outcome() {
        [this] { QTRY_COMPARE_WITH_TIMEOUT(ok.count() + failed.count(), 1, 30000); }();
        return failed.value(0).value(1).toString();
    }
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

    // Flashers report every lighting: a run of them is one episode, off by
    // default, ended by a gap.
    void overmodulationEpisodes() {
        Rig rig;
        AlertManager& m = rig.m;
        m.onAlarmEvent(alarm(AlarmKind::Pos125, true, 53));
        QVERIFY(!timer(m, "AlertOn", AlarmKind::Pos125)->isActive()); // off by default
        zel::AlertSettings s;
        s.pos125 = true;
        m.setSettings(s);
        for (int i = 0; i < 5; ++i)
            m.onAlarmEvent(alarm(AlarmKind::Pos125, true, 53));
        m.onAlarmEvent(alarm(AlarmKind::Pos125, false, 20)); // a put-out flasher is no gap
        fire(timer(m, "AlertOn", AlarmKind::Pos125));
        fire(timer(m, "Episode", AlarmKind::Pos125));
        fire(timer(m, "AlertOff", AlarmKind::Pos125));
        QCOMPARE(rig.sent(), (QStringList{"pos125 on", "pos125 off"}));
        QVERIFY(rig.notes.first().at(1).toString().contains("pos125 on"));
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

    void environmentOfAnOnAlert() {
        const QString out = m_dir.filePath("env.txt");
        Rig rig(QString("sh -c 'env > \"$1\"' sh '%1'").arg(out));
        rig.m.onAlarmEvent(alarm(AlarmKind::Carrier, true, 38, 30, 33)); // 96 %, 80 %, 86 %
        fire(timer(rig.m, "AlertOn", AlarmKind::Carrier));
        QCOMPARE(rig.outcome(), QString());
        QCOMPARE(rig.ok.value(0), (QVariantList{"carrier-alarm", "on", "command"}));
        QFile f(out);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QString all = QString::fromUtf8(f.readAll());
        QStringList env = all.split('\n').filter(QRegularExpression("^ZEL_(?!TIME=)"));
        env.sort();
        QCOMPARE(env, (QStringList{"ZEL_CARRIER=86", "ZEL_EVENT=carrier-alarm", "ZEL_NEG=80",
                                   "ZEL_PORT=COM 1", "ZEL_POS=96", "ZEL_STATE=on"}));
        const auto time =
            QRegularExpression(R"(ZEL_TIME=(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(Z|[+-]\d\d:\d\d))\n)").match(all);
        QCOMPARE(QDateTime::fromString(time.captured(1), Qt::ISODate).toMSecsSinceEpoch(), 1'700'000'000'000);
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
        }
    }

    void overlongCommandIsKilled() {
        Rig rig("sleep 120");
        rig.m.sendTestAlert();
        QTRY_COMPARE_WITH_TIMEOUT(rig.dispatched.count(), 1, 20000);
        fire(rig.m.findChild<QTimer*>("tmrCommandTimeout"));
        QCOMPARE(rig.outcome(), "ran over 30 s and was killed");
        QTRY_VERIFY(!rig.m.findChild<QProcess*>("alertCommand"));
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

    void webhookNobodyListeningOrNoUrl() {
        quint16 port;
        {
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost, 0);
            port = probe.serverPort();
        }
        Rig closed({}, QString("http://127.0.0.1:%1/").arg(port));
        closed.m.sendTestAlert();
        QVERIFY2(closed.outcome().endsWith("(3 of 3 tries)"), qPrintable(closed.outcome()));
        QCOMPARE(closed.dispatched.count(), 3);
        for (const char* url : {"file:///etc/passwd", "http:///x", "::not a url::"}) {
            Rig unusable({}, url);
            unusable.m.sendTestAlert();
            QCOMPARE(unusable.failed.count(), 1);
            QCOMPARE(unusable.dispatched.count(), 0);
            QVERIFY2(unusable.outcome().contains(url), qPrintable(unusable.outcome()));
        }
    }
};
ZEL_TEST(AlertTest)

#include "tst_alerts.moc"
