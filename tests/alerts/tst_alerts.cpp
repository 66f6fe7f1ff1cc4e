// Alerts: the on/off delays against scripted alarm sequences (timer slots
// invoked, never waited for), what the command gets and how its failures are
// reported, and the settings.
#include "support/httptest.h"
#include "support/testmain.h"

#include "core/alerts/alertmanager.h"

#include <QJsonDocument>
#include <QJsonObject>
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

// "event state" of every alert sent so far.
QStringList sent(const QSignalSpy& notes) {
    QStringList out;
    for (const auto& args : notes)
        out << args.at(0).toString().section(u' ', 1);
    return out;
}

struct Hook {
    zel::AlertManager m;
    QSignalSpy ok{&m, &zel::AlertManager::alertSent};
    QSignalSpy failed{&m, &zel::AlertManager::alertFailed};
    QSignalSpy dispatched{&m, &zel::AlertManager::dispatched};
    explicit Hook(const QString& url) {
        m.setWebhookBackoffMs(100);
        zel::AlertSettings s;
        s.webhookUrl = url;
        m.setSettings(s);
    }
    QString failure() const { return failed.value(0).value(1).toString(); }
};

} // namespace

class AlertDelayTest : public QObject {
    Q_OBJECT
private slots:
    void delaysAreTheSettings() {
        AlertManager m;
        zel::AlertSettings s;
        s.onDelayS = 3;
        s.offDelayS = 7;
        m.setSettings(s);
        QTimer* on = timer(m, "AlertOn", AlarmKind::AudioLoss);
        QCOMPARE(on->interval(), 3'000);
        QCOMPARE(timer(m, "AlertOff", AlarmKind::LinkLost)->interval(), 7'000);
        // The delay's end is when the alert goes out, not up to 5 % later.
        QVERIFY(on->isSingleShot() && on->timerType() == Qt::PreciseTimer);
    }

    // Steps: N alarm on, F alarm off, O on-delay ends, X off-delay ends,
    // A another kind comes on and its delay ends.
    void scriptedSequences_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("shorter than the on-delay") << "NFNFNF" << QStringList{};
        QTest::newRow("long alarm") << "NOFX" << QStringList{"carrier-alarm on", "carrier-alarm off"};
        QTest::newRow("repeated on while raised")
            << "NONNFX" << QStringList{"carrier-alarm on", "carrier-alarm off"};
        QTest::newRow("back within the off-delay")
            << "NOFNFX" << QStringList{"carrier-alarm on", "carrier-alarm off"};
        QTest::newRow("still on: no off yet") << "NOFN" << QStringList{"carrier-alarm on"};
        QTest::newRow("each kind its own delay") << "NAF" << QStringList{"audio-loss on"};
    }
    void scriptedSequences() {
        QFETCH(QString, script);
        QFETCH(QStringList, expected);
        AlertManager m;
        QSignalSpy notes(&m, &AlertManager::notify);
        for (QChar step : script) {
            if (step == 'N' || step == 'F') m.onAlarmEvent(alarm(AlarmKind::Carrier, step == 'N'));
            if (step == 'O') fire(timer(m, "AlertOn", AlarmKind::Carrier));
            if (step == 'X') fire(timer(m, "AlertOff", AlarmKind::Carrier));
            if (step == 'A') {
                m.onAlarmEvent(alarm(AlarmKind::AudioLoss, true));
                fire(timer(m, "AlertOn", AlarmKind::AudioLoss));
            }
            if (QTest::currentTestFailed()) return;
        }
        QCOMPARE(sent(notes), expected);
        // Nothing is left pending that would send more.
        if (script.endsWith('X') || script.endsWith('F'))
            QVERIFY(!timer(m, "AlertOn", AlarmKind::Carrier)->isActive());
        QCOMPARE(m.isRaised(AlarmKind::Carrier), expected.size() % 2 == 1 && script.contains('O'));
    }

    // Flashers report every lighting: a run of them is one episode, off by
    // default, ended by a gap.
    void overmodulationEpisodes() {
        AlertManager m;
        QSignalSpy notes(&m, &AlertManager::notify);
        m.onAlarmEvent(alarm(AlarmKind::Pos125, true, 53));
        QVERIFY(!timer(m, "AlertOn", AlarmKind::Pos125)->isActive()); // off by default
        zel::AlertSettings s;
        s.pos125 = true;
        m.setSettings(s);
        QTimer* gap = timer(m, "Episode", AlarmKind::Pos125);
        QCOMPARE(gap->interval(), AlertManager::EpisodeGapMs);
        for (int i = 0; i < 5; ++i)
            m.onAlarmEvent(alarm(AlarmKind::Pos125, true, 53));
        m.onAlarmEvent(alarm(AlarmKind::Pos125, false, 20)); // a put-out flasher is no gap
        fire(timer(m, "AlertOn", AlarmKind::Pos125));
        fire(gap);
        fire(timer(m, "AlertOff", AlarmKind::Pos125));
        QCOMPARE(sent(notes), (QStringList{"pos125 on", "pos125 off"}));
        QVERIFY(notes.first().at(1).toString().contains("pos125 on"));
    }

    void linkLoss_data() {
        using S = zel::LinkState;
        QTest::addColumn<QList<S>>("states");
        QTest::addColumn<QString>("lastDetail");
        QTest::addColumn<bool>("lost");
        QTest::newRow("reconnecting") << QList<S>{S::Connected, S::Reconnecting} << "" << true;
        QTest::newRow("port error") << QList<S>{S::Connected, S::OffLine} << "PORT ERROR" << true;
        QTest::newRow("operator disconnect") << QList<S>{S::Connected, S::OffLine} << "" << false;
        QTest::newRow("operator hangs up")
            << QList<S>{S::Connected, S::HangingUp, S::OffLine} << "modem hung up" << false;
        QTest::newRow("never connected") << QList<S>{S::Dialing, S::Busy, S::OffLine} << "BUSY" << false;
    }
    void linkLoss() {
        QFETCH(QList<zel::LinkState>, states);
        QFETCH(QString, lastDetail);
        QFETCH(bool, lost);
        AlertManager m;
        for (int i = 0; i < states.size(); ++i)
            m.onLinkEvent({states[i], 0, i + 1 == states.size() ? lastDetail : QString()});
        QTimer* on = timer(m, "AlertOn", AlarmKind::LinkLost);
        QCOMPARE(on->isActive(), lost);
        if (!lost) return;
        QSignalSpy notes(&m, &AlertManager::notify);
        fire(on);
        m.onLinkEvent({zel::LinkState::Connected, 0, {}});
        fire(timer(m, "AlertOff", AlarmKind::LinkLost));
        QCOMPARE(sent(notes), (QStringList{"link-lost on", "link-lost off"}));
    }
};
ZEL_TEST(AlertDelayTest)

class AlertCommandTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

    AlertManager* manager(const QString& command) {
        auto* m = new AlertManager(this);
        zel::AlertSettings s;
        s.command = command;
        m->setSettings(s);
        m->setPortText("COM 1");
        return m;
    }

private slots:
    void environmentOfAnOnAlert() {
        const QString out = m_dir.filePath("env.txt");
        AlertManager* m = manager(QString("sh -c 'env > \"$1\"' sh '%1'").arg(out));
        QSignalSpy ok(m, &AlertManager::alertSent);
        QSignalSpy failed(m, &AlertManager::alertFailed);
        m->onAlarmEvent(alarm(AlarmKind::Carrier, true, 38, 30, 33)); // 96 %, 80 %, 86 %
        fire(timer(*m, "AlertOn", AlarmKind::Carrier));
        QTRY_COMPARE_WITH_TIMEOUT(ok.count() + failed.count(), 1, 20000);
        QCOMPARE(ok.value(0), (QVariantList{"carrier-alarm", "on", "command"}));
        QFile f(out);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray all = f.readAll();
        QStringList env;
        for (const QByteArray& line : all.split('\n'))
            if (line.startsWith("ZEL_") && !line.startsWith("ZEL_TIME=")) env << line;
        env.sort();
        QCOMPARE(env, (QStringList{"ZEL_CARRIER=86", "ZEL_EVENT=carrier-alarm", "ZEL_NEG=80",
                                   "ZEL_PORT=COM 1", "ZEL_POS=96", "ZEL_STATE=on"}));
        const auto time =
            QRegularExpression(R"(ZEL_TIME=(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(Z|[+-]\d\d:\d\d))\n)")
                .match(QString::fromUtf8(all));
        QVERIFY(time.hasMatch());
        QCOMPARE(QDateTime::fromString(time.captured(1), Qt::ISODate).toMSecsSinceEpoch(), 1'700'000'000'000);
    }

    // A test alert through commands that work or fail; no shell stands
    // between the user's text and the program (";" and "$" are plain words).
    void outcomes_data() {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("reason"); // empty: sent
        const QString marker = m_dir.filePath("not-created");
        QTest::newRow("no shell") << "echo $HOME ; touch " + marker << "";
        QTest::newRow("missing program") << "/nonexistent/alert-program"
                                         << "could not start /nonexistent/alert-program";
        QTest::newRow("exit code and its message")
            << "sh -c 'echo first >&2; echo mail server down >&2; exit 3'"
            << "exited with code 3: mail server down";
        QTest::newRow("unbalanced quote") << "sh -c 'exit 0"
                                          << "single quote is not closed";
        QTest::newRow("only blanks") << "   "
                                     << "no alert command or webhook is set";
    }
    void outcomes() {
        QFETCH(QString, command);
        QFETCH(QString, reason);
        AlertManager* m = manager(command);
        QSignalSpy failed(m, &AlertManager::alertFailed);
        QSignalSpy ok(m, &AlertManager::alertSent);
        m->sendTestAlert();
        QTRY_COMPARE_WITH_TIMEOUT(failed.count() + ok.count(), 1, 20000);
        if (reason.isEmpty()) {
            QCOMPARE(ok.first().at(1).toString(), "test");
            QVERIFY(!QFile::exists(m_dir.filePath("not-created")));
            return;
        }
        QVERIFY2(failed.first().at(1).toString().contains(reason),
                 qPrintable(failed.first().at(1).toString()));
        QCOMPARE(failed.first().at(0).toString(),
                 reason.startsWith("no alert") ? "test alert" : "command test test");
    }

    void overlongCommandIsKilled() {
        AlertManager* m = manager("sleep 120");
        QSignalSpy failed(m, &AlertManager::alertFailed);
        QSignalSpy started(m, &AlertManager::dispatched);
        m->sendTestAlert();
        QTRY_COMPARE_WITH_TIMEOUT(started.count(), 1, 20000);
        auto* limit = m->findChild<QTimer*>("tmrCommandTimeout");
        QCOMPARE(limit->interval(), 30'000);
        fire(limit);
        QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 20000);
        QCOMPARE(failed.first().at(1).toString(), "ran over 30 s and was killed");
        QTRY_VERIFY(!m->findChild<QProcess*>("alertCommand"));
    }

    void wordsOfACommand_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("words");
        QTest::newRow("single quotes") << "sh -c 'echo \"$ZEL_EVENT\" | mail ops'"
                                       << QStringList{"sh", "-c", "echo \"$ZEL_EVENT\" | mail ops"};
        QTest::newRow("double quotes")
            << "notify \"a \\\"b\\\" \\n\"" << QStringList{"notify", "a \"b\" \\n"};
        QTest::newRow("joined") << "x'a b'\"c\"\\ d" << QStringList{"xa bc d"};
        QTest::newRow("empty word") << "cmd '' x" << QStringList{"cmd", "", "x"};
        QTest::newRow("open double") << "echo \"x" << QStringList{};
    }
    void wordsOfACommand() {
        QFETCH(QString, text);
        QFETCH(QStringList, words);
        QString error;
        QCOMPARE(zel::splitCommandLine(text, &error), words);
        QCOMPARE(error.isEmpty(), !words.isEmpty());
    }
};
ZEL_TEST(AlertCommandTest)

class AlertSettingsTest : public QObject {
    Q_OBJECT
private slots:
    void roundTripAndDamagedValues() {
        QTemporaryDir dir;
        const auto ini = [&dir] {
            return std::make_unique<QSettings>(dir.filePath("zel.conf"), QSettings::IniFormat);
        };
        zel::AlertSettings s;
        s.pos125 = true;
        s.carrier = false;
        s.onDelayS = 0;
        s.offDelayS = 120;
        s.command = "sh -c 'mail -s \"$ZEL_EVENT\" ops'";
        s.webhookUrl = "http://127.0.0.1:9/hook";
        s.save(*ini());
        zel::AlertSettings back;
        back.load(*ini());
        QCOMPARE(back, s);
        {
            const auto damaged = ini();
            damaged->setValue("alerts/onDelay", "soon");
            damaged->setValue("alerts/offDelay", -4);
            damaged->setValue("alerts/neg100", "maybe");
            damaged->setValue("alerts/audioLoss", "off");
        }
        back.load(*ini());
        QCOMPARE(QList<int>({back.onDelayS, back.offDelayS, back.neg100, back.audioLoss}),
                 QList<int>({10, 30, 0, 0}));
    }

    void delaysFromTheCommandLine_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("on"); // -1: refused, defaults kept
        QTest::addColumn<int>("off");
        QTest::newRow("on only") << "5" << 5 << 30;
        QTest::newRow("blanks") << " 0 , 8 " << 0 << 8;
        QTest::newRow("negative") << "-1" << -1 << 0;
        QTest::newRow("words") << "ten" << -1 << 0;
        QTest::newRow("three") << "1,2,3" << -1 << 0;
        QTest::newRow("empty off") << "4," << -1 << 0;
    }
    void delaysFromTheCommandLine() {
        QFETCH(QString, text);
        QFETCH(int, on);
        QFETCH(int, off);
        zel::AlertSettings s;
        QString error;
        QCOMPARE(s.parseDelays(text, &error), on >= 0);
        QCOMPARE(error.isEmpty(), on >= 0);
        QCOMPARE(QList<int>({s.onDelayS, s.offDelayS}),
                 on >= 0 ? QList<int>({on, off}) : QList<int>({10, 30}));
    }
};
ZEL_TEST(AlertSettingsTest)

class WebhookTest : public QObject {
    Q_OBJECT
private slots:
    void retriesWithBackoff_data() {
        QTest::addColumn<QList<int>>("statuses");
        QTest::addColumn<int>("requests");
        QTest::addColumn<QString>("failure"); // empty: delivered
        QTest::newRow("accepted") << QList<int>{204} << 1 << "";
        QTest::newRow("third try") << QList<int>{500, 503, 200} << 3 << "";
        QTest::newRow("never") << QList<int>{500} << 3 << "HTTP 500 (3 of 3 tries)";
        QTest::newRow("rate limited then ok") << QList<int>{429, 200} << 2 << "";
        QTest::newRow("refused outright") << QList<int>{404} << 1 << "HTTP 404 (1 of 3 tries)";
    }
    void retriesWithBackoff() {
        QFETCH(QList<int>, statuses);
        QFETCH(int, requests);
        QFETCH(QString, failure);
        QCOMPARE(zel::AlertManager().webhookBackoffMs(), 2000);
        httptest::Receiver receiver(statuses);
        Hook hook(receiver.url());
        hook.m.setPortText("tcp://127.0.0.1:4001");
        hook.m.onAlarmEvent({zel::AlarmKind::AudioLoss, true, 1'700'000'000'000, {0, 0, 40}});
        auto* on = hook.m.findChild<QTimer*>("tmrAlertOn-audio-loss");
        on->stop();
        QMetaObject::invokeMethod(on, "timeout");
        QTRY_COMPARE_WITH_TIMEOUT(hook.ok.count() + hook.failed.count(), 1, 30000);
        QCOMPARE(receiver.bodies.size(), requests);
        if (failure.isEmpty())
            QCOMPARE(hook.ok.first(), (QVariantList{"audio-loss", "on", "webhook"}));
        else
            QCOMPARE(hook.failed.first(), (QVariantList{"webhook audio-loss on", failure}));
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

    void nobodyListeningOrNoUrl() {
        quint16 port;
        {
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost, 0);
            port = probe.serverPort();
        }
        Hook closed(QString("http://127.0.0.1:%1/").arg(port));
        closed.m.sendTestAlert();
        QTRY_COMPARE_WITH_TIMEOUT(closed.failed.count(), 1, 30000);
        QVERIFY2(closed.failure().endsWith("(3 of 3 tries)"), qPrintable(closed.failure()));
        QCOMPARE(closed.dispatched.count(), 3);

        for (const char* url : {"file:///etc/passwd", "http:///x", "::not a url::"}) {
            Hook unusable(url);
            unusable.m.sendTestAlert();
            QCOMPARE(unusable.failed.count(), 1);
            QCOMPARE(unusable.dispatched.count(), 0);
            QVERIFY2(unusable.failure().contains(url), qPrintable(unusable.failure()));
        }
    }
};
ZEL_TEST(WebhookTest)

#include "tst_alerts.moc"
