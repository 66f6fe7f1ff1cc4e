// The settings as values, through the record and the files: what is kept,
// what falls back to the defaults, and saves that fail.
#include "core/settings/settings.h"
#include "support/testmain.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/resource.h>
#endif

using zel::Settings;
using zel::SettingsStore;
using zeltest::readSettingsFile;
using zeltest::sampleRecord;
using zeltest::writeSettingsFile;

namespace {

QByteArray with(QByteArray record, int offset, const QByteArray& bytes) {
    return record.replace(offset, bytes.size(), bytes);
}

QString pad(const char* text, int width) {
    return QString::fromLatin1(text).leftJustified(width);
}

QString settingsFolder() {
    return QFileInfo(SettingsStore::recordPath()).absolutePath();
}

// Every choice away from its default.
Settings changed() {
    Settings s;
    zel::ConnectionSettings& c = s.connection;
    c.directCable = false;
    c.modemLink = true;
    c.directPort = QStringLiteral("USB0");
    c.toneDial = false;
    c.pulseDial = true;
    c.phoneNumber = QStringLiteral("5551234");
    c.outsideLineOn = 1;
    c.outsideLineCode = QStringLiteral("8");
    c.callWaitingOn = 2;
    c.callWaitingCode = QStringLiteral("*71");
    c.modemPort = QStringLiteral("COM 4");
    c.speakerLow = false;
    c.speakerLoud = true;
    c.modemIniOn = 2; // unlike the outside line's, so a swap shows
    c.modemIni = QStringLiteral("ATX0");
    s.panel = {false, true, 111, 85};
    return s;
}

std::optional<Settings> load() {
    return SettingsStore::load().settings;
}

} // namespace

class SettingsTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        // Whatever the last test left where the files or their folder belong.
        QFileInfo folder(settingsFolder());
        if (folder.isFile()) QFile::remove(folder.filePath());
        QDir(settingsFolder()).removeRecursively();
    }

    // Saved, every choice is in the record byte for byte, texts padded to
    // their fields, and comes back as stored; saving that writes the same
    // bytes again, the greyed state too.
    void roundTrip() {
        QString error;
        QVERIFY(SettingsStore::save(changed(), &error));
        const QByteArray on("\xFF\xFF", 2), off("\x00\x00", 2);
        const QByteArray expected = off + on + "USB0 " + off + on +
                                    QByteArray("5551234").leftJustified(24, ' ') + "1     " + "8     " +
                                    "2     " + "*71   " + "COM 4" + off + off + on + "2     " +
                                    QByteArray("ATX0").leftJustified(23, ' ') + on + off + "111" + "85 ";
        QCOMPARE(readSettingsFile(), expected);

        const SettingsStore::Loaded loaded = SettingsStore::load();
        QVERIFY2(loaded.settings, qPrintable(loaded.problem));
        Settings s = changed();
        s.connection.phoneNumber = pad("5551234", 24);
        s.connection.outsideLineCode = pad("8", 6);
        s.connection.callWaitingCode = pad("*71", 6);
        s.connection.modemIni = pad("ATX0", 23);
        QCOMPARE(loaded.settings->connection.directPort, QStringLiteral("USB0"));
        QVERIFY(*loaded.settings == s);
        QVERIFY(SettingsStore::save(*loaded.settings, &error));
        QCOMPARE(readSettingsFile(), expected);

        const auto sample = zel::settingsFromRecord(*zel::DiskFileDefinition::decode(sampleRecord()));
        QVERIFY(sample);
        QCOMPARE(sample->connection.directPort, QStringLiteral("COM 2"));
        QCOMPARE(sample->panel, (zel::PanelSettings{true, false, 110, 110}));
        QCOMPARE(zel::recordFromSettings(*sample).encode(), sampleRecord());
    }

    // zel.conf keeps a port text the record's five characters cannot hold;
    // a record whose port was changed by something else wins.
    void longPortTextsKeptBeside() {
        Settings s;
        s.connection.directPort = QStringLiteral("/dev/ttyUSB0");
        s.connection.modemPort = QStringLiteral("monitor.example:2001");
        QString error;
        QVERIFY(SettingsStore::save(s, &error));
        QCOMPARE(readSettingsFile().mid(4, 5), QByteArray("/dev/"));
        QCOMPARE(readSettingsFile().mid(61, 5), QByteArray("monit"));
        std::optional<Settings> back = load();
        QVERIFY(back);
        QCOMPARE(back->connection.directPort, s.connection.directPort);
        QCOMPARE(back->connection.modemPort, s.connection.modemPort);

        writeSettingsFile(with(readSettingsFile(), 4, "COM 2"));
        back = load();
        QVERIFY(back);
        QCOMPARE(back->connection.directPort, QStringLiteral("COM 2"));
        QCOMPARE(back->connection.modemPort, s.connection.modemPort);
    }

    // No record: defaults, and an empty file is created (in a new folder if
    // need be); it fails again until a save.
    void noFileGivesDefaultsAndAnEmptyFile() {
        SettingsStore::Loaded loaded = SettingsStore::load();
        QVERIFY(!loaded.settings);
        QVERIFY(loaded.problem.contains(QDir::toNativeSeparators(SettingsStore::recordPath())));
        QVERIFY(QFileInfo(SettingsStore::recordPath()).isFile());
        QCOMPARE(QFileInfo(SettingsStore::recordPath()).size(), 0);
        loaded = SettingsStore::load();
        QVERIFY(!loaded.settings);
        QVERIFY(!loaded.problem.isEmpty());
        QString error;
        QVERIFY(SettingsStore::save(Settings{}, &error));
        QCOMPARE(readSettingsFile().size(), 111);
        const std::optional<Settings> back = load();
        QVERIFY(back);
        QCOMPARE(back->connection.outsideLineCode, pad("9", 6));
        QCOMPARE(back->panel, Settings{}.panel);
    }

    // A damaged record falls back to every default, not only the field at
    // fault; the file itself is left as it was.
    void damagedFilesFallBackEntirely_data() {
        QTest::addColumn<QByteArray>("bytes");
        // Non-default connection choices, so a partial restore would show.
        const QByteArray modem = with(sampleRecord(), 0, QByteArray("\x00\x00\xFF\xFF", 4));
        QTest::newRow("short") << modem.left(110);
        QTest::newRow("level 200") << with(modem, 105, "200");
        QTest::newRow("level 131") << with(modem, 105, "131");
        QTest::newRow("level 69") << with(modem, 108, "069");
        QTest::newRow("level text") << with(modem, 108, "abc");
        QTest::newRow("check state text") << with(modem, 72, "x     ");
        QTest::newRow("check state 3") << with(modem, 37, "3     ");
        QTest::newRow("check state -1") << with(modem, 49, "-1    ");
        QTest::newRow("check state blank") << with(modem, 37, "      ");
        QTest::newRow("a folder") << QByteArray();
    }
    void damagedFilesFallBackEntirely() {
        QFETCH(QByteArray, bytes);
        if (bytes.isEmpty())
            QVERIFY(QDir().mkpath(SettingsStore::recordPath()));
        else
            writeSettingsFile(bytes);
        const SettingsStore::Loaded loaded = SettingsStore::load();
        QVERIFY(!loaded.settings);
        QVERIFY(loaded.problem.contains(QDir::toNativeSeparators(SettingsStore::recordPath())));
        if (bytes.isEmpty())
            QVERIFY(QFileInfo(SettingsStore::recordPath()).isDir());
        else
            QCOMPARE(readSettingsFile(), bytes);
    }

    void acceptedVariants_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("outside");
        QTest::addColumn<int>("pos");
        QTest::newRow("greyed") << with(sampleRecord(), 37, "2     ") << 2 << 110;
        QTest::newRow("blanks around") << with(sampleRecord(), 37, "  1   ") << 1 << 110;
        QTest::newRow("lowest level") << with(sampleRecord(), 105, "70 ") << 0 << 70;
        QTest::newRow("highest level") << with(sampleRecord(), 105, "130") << 0 << 130;
        QTest::newRow("longer file") << sampleRecord() + QByteArray(64, '\xAA') << 0 << 110;
    }
    void acceptedVariants() {
        QFETCH(QByteArray, bytes);
        writeSettingsFile(bytes);
        const SettingsStore::Loaded loaded = SettingsStore::load();
        QVERIFY2(loaded.settings, qPrintable(loaded.problem));
        QTEST(loaded.settings->connection.outsideLineOn, "outside");
        QTEST(loaded.settings->panel.positiveThreshold, "pos");
        QCOMPARE(loaded.settings->connection.directPort, QStringLiteral("COM 2"));
    }

    // A save that fails says so and leaves the last good file whole: the
    // file or its folder in the way, or a write cut short (here by a
    // file-size limit, which binds root too).
    void failedSaveIsReported_data() {
        QTest::addColumn<QString>("cause");
        QTest::newRow("target is a folder") << "target is a folder";
        QTest::newRow("folder is a file") << "folder is a file";
#ifdef Q_OS_LINUX
        QTest::newRow("short write") << "short write";
#endif
    }
    void failedSaveIsReported() {
        QFETCH(QString, cause);
        writeSettingsFile(sampleRecord());
        if (cause == QLatin1String("target is a folder")) {
            zeltest::removeSettingsFile();
            QVERIFY(QDir().mkpath(SettingsStore::recordPath()));
        } else if (cause == QLatin1String("folder is a file")) {
            QDir(settingsFolder()).removeRecursively();
            QFile blocker(settingsFolder());
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        }
        QString error;
#ifdef Q_OS_LINUX
        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit tight = old;
        tight.rlim_cur = cause == QLatin1String("short write") ? 40 : old.rlim_cur;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &tight), 0);
#endif
        const bool saved = SettingsStore::save(changed(), &error);
#ifdef Q_OS_LINUX
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
#endif
        QVERIFY(!saved);
        QVERIFY(!error.isEmpty());
        if (cause == QLatin1String("short write")) {
            QCOMPARE(readSettingsFile(), sampleRecord());
            QCOMPARE(QDir(settingsFolder()).entryList(QDir::Files | QDir::Hidden),
                     QStringList{QStringLiteral("Zel_Data.dat")});
        } else {
            QCOMPARE(QFileInfo(settingsFolder()).isFile(), cause == QLatin1String("folder is a file"));
        }
    }
};
ZEL_TEST(SettingsTest)
#include "tst_settings.moc"
