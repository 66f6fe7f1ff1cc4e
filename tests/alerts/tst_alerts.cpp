// Alerts: the on/off delays against scripted alarm sequences, what the
// command gets and how its failures are reported, and the settings file.
#include "support/testmain.h"

#include "core/alerts/alertmanager.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

using zel::AlarmKind;
using zel::AlertManager;

namespace {

// What a timer's expiry does, without waiting for it.
void fire(QTimer* timer) {
    QVERIFY(timer);
    QVERIFY2(timer->isActive(), qPrintable(timer->objectName() + " is not running"));
    timer->stop();
    QMetaObject::invokeMethod(timer, "timeout");
}

zel::AlarmEvent alarm(AlarmKind kind, bool on, float pos = 30, float neg = 25, float carrier = 40) {
    return {kind, on, 1'700'000'000'000, zel::Readings{pos, neg, carrier}};
}

// "event state" of every alert sent so far, from the notifications.
QStringList sent(const QSignalSpy& notes) {
    QStringList out;
    for (const auto& args : notes)
        out << args.at(0).toString().section(u' ', 1);
    return out;
}

} // namespace

class AlertDelayTest : public QObject {
    Q_OBJECT

    QTimer* timer(AlertManager& m, const char* which, AlarmKind kind) {
        return m.findChild<QTimer*>(QString("tmr%1-%2").arg(which, zel::alarmKindName(kind)));
    }

private slots:
    void delaysAreTheSettings() {
        AlertManager m;
        QCOMPARE(timer(m, "AlertOn", AlarmKind::Carrier)->interval(), 10'000);
        QCOMPARE(timer(m, "AlertOff", AlarmKind::Carrier)->interval(), 30'000);
        zel::AlertSettings s;
        s.onDelayS = 3;
        s.offDelayS = 7;
        m.setSettings(s);
        QCOMPARE(timer(m, "AlertOn", AlarmKind::AudioLoss)->interval(), 3'000);
        QCOMPARE(timer(m, "AlertOff", AlarmKind::LinkLost)->interval(), 7'000);
        QVERIFY(timer(m, "AlertOn", AlarmKind::Carrier)->isSingleShot());
        // The delay's end is when the alert goes out, not up to 5 % later.
        QCOMPARE(timer(m, "AlertOn", AlarmKind::Carrier)->timerType(), Qt::PreciseTimer);
    }

    // Steps: N alarm on, F alarm off, O on-delay ends, X off-delay ends.
    void scriptedSequences_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("shorter than the on-delay") << "NF" << QStringList{};
        QTest::newRow("flickering, never long enough") << "NFNFNF" << QStringList{};
        QTest::newRow("long alarm") << "NOFX" << QStringList{"on", "off"};
        QTest::newRow("repeated on while raised") << "NONNFX" << QStringList{"on", "off"};
        QTest::newRow("back within the off-delay") << "NOFNFX" << QStringList{"on", "off"};
        QTest::newRow("still on: no off yet") << "NOFN" << QStringList{"on"};
        QTest::newRow("two alarms") << "NOFXNOFX" << QStringList{"on", "off", "on", "off"};
    }
    void scriptedSequences() {
        QFETCH(QString, script);
        QFETCH(QStringList, expected);
        AlertManager m;
        QSignalSpy notes(&m, &AlertManager::notify);
        QTimer* on = timer(m, "AlertOn", AlarmKind::Carrier);
        QTimer* off = timer(m, "AlertOff", AlarmKind::Carrier);
        for (QChar step : script) {
            switch (step.toLatin1()) {
            case 'N':
                m.onAlarmEvent(alarm(AlarmKind::Carrier, true));
                break;
            case 'F':
                m.onAlarmEvent(alarm(AlarmKind::Carrier, false));
                break;
            case 'O':
                fire(on);
                break;
            case 'X':
                fire(off);
                break;
            }
            if (QTest::currentTestFailed()) return;
        }
        QStringList expectedNotes;
        for (const QString& s : expected)
            expectedNotes << "carrier-alarm " + s;
        QCOMPARE(sent(notes), expectedNotes);
        // Nothing is left pending that would send more.
        if (script.endsWith('X') || script.endsWith('F')) QVERIFY(!on->isActive());
        QCOMPARE(m.isRaised(AlarmKind::Carrier), expected.size() % 2 == 1);
    }

    void eachKindHasItsOwnDelay() {
        AlertManager m;
        QSignalSpy notes(&m, &AlertManager::notify);
        m.onAlarmEvent(alarm(AlarmKind::Carrier, true));
        m.onAlarmEvent(alarm(AlarmKind::AudioLoss, true));
        m.onAlarmEvent(alarm(AlarmKind::Carrier, false));
        QVERIFY(!timer(m, "AlertOn", AlarmKind::Carrier)->isActive());
        fire(timer(m, "AlertOn", AlarmKind::AudioLoss));
        QCOMPARE(sent(notes), QStringList{"audio-loss on"});
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
        QVERIFY(gap->isActive());
        fire(timer(m, "AlertOn", AlarmKind::Pos125));
        fire(gap);
        fire(timer(m, "AlertOff", AlarmKind::Pos125));
        QCOMPARE(sent(notes), (QStringList{"pos125 on", "pos125 off"}));
        QVERIFY(notes.first().at(1).toString().contains("pos125 on"));
    }

    void linkLoss_data() {
        QTest::addColumn<QList<int>>("states"); // LinkState values in order
        QTest::addColumn<QStringList>("details");
        QTest::addColumn<bool>("lost");
        using S = zel::LinkState;
        QTest::newRow("reconnecting")
            << QList<int>{int(S::Connected), int(S::Reconnecting)} << QStringList{"", ""} << true;
        QTest::newRow("port error") << QList<int>{int(S::Connected), int(S::OffLine)}
                                    << QStringList{"", "PORT ERROR"} << true;
        QTest::newRow("operator disconnect")
            << QList<int>{int(S::Connected), int(S::OffLine)} << QStringList{"", ""} << false;
        QTest::newRow("operator hangs up")
            << QList<int>{int(S::Connected), int(S::HangingUp), int(S::OffLine)}
            << QStringList{"", "", "modem hung up"} << false;
        QTest::newRow("never connected") << QList<int>{int(S::Dialing), int(S::Busy), int(S::OffLine)}
                                         << QStringList{"", "BUSY", "BUSY"} << false;
    }
    void linkLoss() {
        QFETCH(QList<int>, states);
        QFETCH(QStringList, details);
        QFETCH(bool, lost);
        AlertManager m;
        for (int i = 0; i < states.size(); ++i)
            m.onLinkEvent({zel::LinkState(states[i]), 0, details[i]});
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
        fire(m->findChild<QTimer*>("tmrAlertOn-carrier-alarm"));
        QTRY_COMPARE_WITH_TIMEOUT(ok.count() + failed.count(), 1, 20000);
        QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(1).toString()));
        QCOMPARE(ok.first(), (QVariantList{"carrier-alarm", "on", "command"}));
        QFile f(out);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QMap<QString, QString> env;
        for (const QByteArray& line : f.readAll().split('\n'))
            if (line.startsWith("ZEL_")) env[line.left(line.indexOf('='))] = line.mid(line.indexOf('=') + 1);
        QCOMPARE(env.value("ZEL_EVENT"), "carrier-alarm");
        QCOMPARE(env.value("ZEL_STATE"), "on");
        QCOMPARE(env.value("ZEL_PORT"), "COM 1");
        QCOMPARE(env.value("ZEL_POS"), "96");
        QCOMPARE(env.value("ZEL_NEG"), "80");
        QCOMPARE(env.value("ZEL_CARRIER"), "86");
        const QString time = env.value("ZEL_TIME");
        QVERIFY2(
            QRegularExpression(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(Z|[+-]\d\d:\d\d)$)").match(time).hasMatch(),
            qPrintable(time));
        QCOMPARE(QDateTime::fromString(time, Qt::ISODate).toMSecsSinceEpoch(), 1'700'000'000'000);
    }

    // No shell between the user's text and the program: ; and $ are words.
    void noShellUnlessWritten() {
        const QString marker = m_dir.filePath("not-created");
        AlertManager* m = manager(QString("echo $HOME ; touch %1").arg(marker));
        QSignalSpy ok(m, &AlertManager::alertSent);
        m->sendTestAlert();
        QTRY_COMPARE_WITH_TIMEOUT(ok.count(), 1, 20000);
        QCOMPARE(ok.first().at(1).toString(), "test");
        QVERIFY(!QFile::exists(marker));
    }

    void wordsOfACommand_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("words");
        QTest::newRow("plain") << "mail -s alarm ops" << QStringList{"mail", "-s", "alarm", "ops"};
        QTest::newRow("single quotes") << "sh -c 'echo \"$ZEL_EVENT\" | mail ops'"
                                       << QStringList{"sh", "-c", "echo \"$ZEL_EVENT\" | mail ops"};
        QTest::newRow("double quotes")
            << "notify \"a \\\"b\\\" \\n\"" << QStringList{"notify", "a \"b\" \\n"};
        QTest::newRow("joined") << "x'a b'\"c\"\\ d" << QStringList{"xa bc d"};
        QTest::newRow("empty word") << "cmd '' x" << QStringList{"cmd", "", "x"};
        QTest::newRow("blanks") << "  \t " << QStringList{};
        QTest::newRow("open double") << "echo \"x" << QStringList{};
    }

    void wordsOfACommand() {
        QFETCH(QString, text);
        QFETCH(QStringList, words);
        QString error;
        QCOMPARE(zel::splitCommandLine(text, &error), words);
        QCOMPARE(error.isEmpty(), !words.isEmpty());
    }

    void failuresAreRecorded_data() {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing program") << "/nonexistent/alert-program"
                                         << "could not start /nonexistent/alert-program";
        QTest::newRow("exit code") << "false"
                                   << "exited with code 1";
        QTest::newRow("exit code and its message")
            << "sh -c 'echo first >&2; echo mail server down >&2; exit 3'"
            << "exited with code 3: mail server down";
        QTest::newRow("unbalanced quote") << "sh -c 'exit 0"
                                          << "single quote is not closed";
        QTest::newRow("only blanks") << "   "
                                     << "";
    }
    void failuresAreRecorded() {
        QFETCH(QString, command);
        QFETCH(QString, reason);
        AlertManager* m = manager(command);
        QSignalSpy failed(m, &AlertManager::alertFailed);
        QSignalSpy ok(m, &AlertManager::alertSent);
        m->sendTestAlert();
        if (reason.isEmpty()) { // nothing to run is reported, not attempted
            QCOMPARE(failed.count(), 1);
            QCOMPARE(failed.first().at(1).toString(), "no alert command or webhook is set");
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 20000);
        QVERIFY2(failed.first().at(1).toString().contains(reason),
                 qPrintable(failed.first().at(1).toString()));
        QCOMPARE(failed.first().at(0).toString(), "command test test");
        QCOMPARE(ok.count(), 0);
    }

    void overlongCommandIsKilled() {
        AlertManager* m = manager("sleep 120");
        QSignalSpy failed(m, &AlertManager::alertFailed);
        QSignalSpy started(m, &AlertManager::dispatched);
        m->sendTestAlert();
        QTRY_COMPARE_WITH_TIMEOUT(started.count(), 1, 20000);
        auto* proc = m->findChild<QProcess*>("alertCommand");
        QVERIFY(proc);
        auto* limit = proc->findChild<QTimer*>("tmrCommandTimeout");
        QCOMPARE(limit->interval(), 30'000);
        fire(limit);
        QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 20000);
        QCOMPARE(failed.first().at(1).toString(), "ran over 30 s and was killed");
        QTRY_VERIFY(!m->findChild<QProcess*>("alertCommand"));
    }
};
ZEL_TEST(AlertCommandTest)

class AlertSettingsTest : public QObject {
    Q_OBJECT
private slots:
    void roundTripAndDamagedValues() {
        QTemporaryDir dir;
        const QString path = dir.filePath("zel.conf");
        zel::AlertSettings s;
        s.pos125 = true;
        s.carrier = false;
        s.onDelayS = 0;
        s.offDelayS = 120;
        s.command = "sh -c 'mail -s \"$ZEL_EVENT\" ops'";
        s.webhookUrl = "http://127.0.0.1:9/hook";
        {
            QSettings ini(path, QSettings::IniFormat);
            s.save(ini);
        }
        zel::AlertSettings back;
        {
            QSettings ini(path, QSettings::IniFormat);
            back.load(ini);
        }
        QCOMPARE(back, s);
        {
            QSettings ini(path, QSettings::IniFormat);
            ini.setValue("alerts/onDelay", "soon");
            ini.setValue("alerts/offDelay", -4);
            ini.setValue("alerts/neg100", "maybe");
            ini.setValue("alerts/audioLoss", "off");
        }
        QSettings ini(path, QSettings::IniFormat);
        back.load(ini);
        QCOMPARE(back.onDelayS, 10);
        QCOMPARE(back.offDelayS, 30);
        QCOMPARE(back.neg100, false);
        QCOMPARE(back.audioLoss, false);
    }

    void delaysFromTheCommandLine_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("good");
        QTest::addColumn<int>("on");
        QTest::addColumn<int>("off");
        QTest::newRow("on only") << "5" << true << 5 << 30;
        QTest::newRow("both") << "0,60" << true << 0 << 60;
        QTest::newRow("blanks") << " 7 , 8 " << true << 7 << 8;
        QTest::newRow("negative") << "-1" << false << 10 << 30;
        QTest::newRow("words") << "ten" << false << 10 << 30;
        QTest::newRow("three") << "1,2,3" << false << 10 << 30;
        QTest::newRow("empty off") << "4," << false << 10 << 30;
    }
    void delaysFromTheCommandLine() {
        QFETCH(QString, text);
        QFETCH(bool, good);
        QFETCH(int, on);
        QFETCH(int, off);
        zel::AlertSettings s;
        QString error;
        QCOMPARE(s.parseDelays(text, &error), good);
        QCOMPARE(error.isEmpty(), good);
        QCOMPARE(s.onDelayS, on);
        QCOMPARE(s.offDelayS, off);
    }

    void webhookUrls_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("usable");
        QTest::newRow("http") << "http://127.0.0.1:8080/hook" << true;
        QTest::newRow("https") << "https://hooks.example.org/x?y=1" << true;
        QTest::newRow("file") << "file:///etc/passwd" << false;
        QTest::newRow("no host") << "http:///x" << false;
        QTest::newRow("garbage") << "::not a url::" << false;
    }
    void webhookUrls() {
        QFETCH(QString, url);
        QFETCH(bool, usable);
        zel::AlertSettings s;
        s.webhookUrl = url;
        QCOMPARE(s.webhookProblem().isEmpty(), usable);
    }
};
ZEL_TEST(AlertSettingsTest)

#include "tst_alerts.moc"
