// The settings record (111 bytes) and zel.conf beside it: what is kept, what
// falls back to the defaults, and saves that fail.
#include "core/settings/diskfile.h"
#include "core/settings/settings.h"
#include "support/testmain.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFileInfo>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/resource.h>
#endif

using zel::Settings;
using zel::SettingsStore;
using zeltest::readSettingsFile;
using zeltest::sampleRecord;
using zeltest::writeSettingsFile;

Q_DECLARE_METATYPE(std::optional<short>)

namespace {

QByteArray with(QByteArray record, int offset, const QByteArray& bytes) {
    return record.replace(offset, bytes.size(), bytes);
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
    c.phoneNumber = QStringLiteral("5551234").leftJustified(24); // padded as a load gives them
    c.outsideLineOn = 1;
    c.outsideLineCode = QStringLiteral("8     ");
    c.callWaitingOn = 2;
    c.callWaitingCode = QStringLiteral("*71   ");
    c.modemPort = QStringLiteral("COM 4");
    c.speakerLow = false;
    c.speakerLoud = true;
    c.modemIniOn = 2; // unlike the outside line's, so a swap shows
    c.modemIni = QStringLiteral("ATX0").leftJustified(23);
    s.panel = {false, true, 111, 85};
    return s;
}
void expectFallback(const QString& why) {
    const SettingsStore::Loaded loaded = SettingsStore::load();
    QVERIFY2(!loaded.settings, qPrintable(why));
    QVERIFY(loaded.problem.contains(QDir::toNativeSeparators(SettingsStore::recordPath())));
}

} // namespace

class SettingsTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        QFileInfo folder(settingsFolder());
        if (folder.isFile()) QFile::remove(folder.filePath());
        QDir(settingsFolder()).removeRecursively();
    }

    // Every choice byte for byte, texts padded to their fields; loaded back
    // and saved again, the same bytes.
    void roundTrip() {
        zel::DiskFileDefinition r;
        r.DirectPort = zel::fieldText(QStringLiteral("COM 2"), r.PortWidth);
        r.PhoneNumber = zel::fieldText(QStringLiteral("1234567"), r.PhoneWidth);
        r.PkPosLevel = r.PkNegLevel = "110";
        QCOMPARE(r.encode(), sampleRecord());
        QCOMPARE(zel::fieldText(QStringLiteral("1-800-555-0100 ext 12345 more"), 24),
                 QByteArray("1-800-555-0100 ext 12345"));

        QString error;
        QVERIFY(SettingsStore::save(changed(), &error));
        const QByteArray on("\xFF\xFF", 2), off("\x00\x00", 2);
        const QByteArray expected = off + on + "USB0 " + off + on +
                                    QByteArray("5551234").leftJustified(24, ' ') +
                                    "1     8     2     *71   COM 4" + off + off + on + "2     " +
                                    QByteArray("ATX0").leftJustified(23, ' ') + on + off + "111" + "85 ";
        QCOMPARE(readSettingsFile(), expected);
        const SettingsStore::Loaded loaded = SettingsStore::load();
        QVERIFY2(loaded.settings, qPrintable(loaded.problem));
        QVERIFY(*loaded.settings == changed());
        QVERIFY(SettingsStore::save(*loaded.settings, &error));
        QCOMPARE(readSettingsFile(), expected);
    }

    // The record's number readers: rounding half to even, 16 bits.
    void numberFields_data() {
        QTest::addColumn<bool>("level");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<std::optional<short>>("value");
        const std::tuple<bool, const char*, std::optional<short>> rows[] = {
            {false, "  2   ", 2},   {false, "1.5", 2},     {false, "2.5", 2},     {false, "1e0", 1},
            {false, "32767.5", {}}, {false, "1x    ", {}}, {false, "1 2   ", {}}, {true, "9 9", 99},
            {true, "1x0", 1},       {true, "8.5", 8},      {true, "-70", -70},    {true, "9e9", {}}};
        for (const auto& [level, text, value] : rows)
            QTest::addRow("%s %s", level ? "level" : "check", text) << level << QByteArray(text) << value;
        QTest::newRow("check zeros") << false << QByteArray(6, '\0') << std::optional<short>();
    }
    void numberFields() {
        QFETCH(bool, level);
        QFETCH(QByteArray, text);
        QTEST(level ? zel::levelValue(text) : zel::checkStateValue(text), "value");
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
        const auto ports = [] {
            const std::optional<Settings> back = SettingsStore::load().settings;
            return back ? back->connection.directPort + '|' + back->connection.modemPort : QString();
        };
        QCOMPARE(ports(), QStringLiteral("/dev/ttyUSB0|monitor.example:2001"));
        writeSettingsFile(with(readSettingsFile(), 4, "COM 2"));
        QCOMPARE(ports(), QStringLiteral("COM 2|monitor.example:2001"));
    }

    // No record: defaults, and an empty file is created; it fails again
    // until a save.
    void noFileGivesDefaultsAndAnEmptyFile() {
        expectFallback(QStringLiteral("no file"));
        QCOMPARE(QFileInfo(SettingsStore::recordPath()).size(), 0);
        expectFallback(QStringLiteral("empty file"));
        QString error;
        QVERIFY(SettingsStore::save(Settings{}, &error));
        const std::optional<Settings> back = SettingsStore::load().settings;
        QVERIFY(back && back->connection.outsideLineCode == "9     " && back->panel == Settings{}.panel);
    }

    // A damaged or foreign record falls back to every default, and is left
    // as it was.
    void damagedFilesFallBackEntirely_data() {
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray modem = with(sampleRecord(), 0, QByteArray("\x00\x00\xFF\xFF", 4));
        QTest::newRow("short") << modem.left(110);
        QTest::newRow("level 131") << with(modem, 105, "131");
        QTest::newRow("level 69") << with(modem, 108, "069");
        QTest::newRow("level text") << with(modem, 108, "abc");
        QTest::newRow("check state 3") << with(modem, 37, "3     ");
        QTest::newRow("check state -1") << with(modem, 49, "-1    ");
        QTest::newRow("check state blank") << with(modem, 72, "      ");
        QTest::newRow("a folder") << QByteArray();
    }
    void damagedFilesFallBackEntirely() {
        QFETCH(QByteArray, bytes);
        if (bytes.isEmpty())
            QVERIFY(QDir().mkpath(SettingsStore::recordPath()));
        else
            writeSettingsFile(bytes);
        expectFallback(QString::fromLatin1(QTest::currentDataTag()));
        if (!bytes.isEmpty()) QCOMPARE(readSettingsFile(), bytes);
    }

    void acceptedVariants_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("outside");
        QTest::addColumn<int>("pos");
        QTest::newRow("greyed") << with(sampleRecord(), 37, "2     ") << 2 << 110;
        QTest::newRow("blanks around") << with(sampleRecord(), 37, "  1   ") << 1 << 110;
        QTest::newRow("level bounds") << with(sampleRecord(), 105, "70 130") << 0 << 70;
        QTest::newRow("longer file, flag 1")
            << with(sampleRecord(), 2, "\x01") + QByteArray(64, '\xAA') << 0 << 110;
    }
    void acceptedVariants() {
        QFETCH(QByteArray, bytes);
        writeSettingsFile(bytes);
        const SettingsStore::Loaded loaded = SettingsStore::load();
        QVERIFY2(loaded.settings, qPrintable(loaded.problem));
        QTEST(loaded.settings->connection.outsideLineOn, "outside");
        QTEST(loaded.settings->panel.positiveThreshold, "pos");
        QVERIFY(loaded.settings->connection.modemLink == (bytes[2] != 0) &&
                loaded.settings->connection.directPort == "COM 2");
    }

    // A save that fails says so and leaves the last good file whole: the
    // file or its folder in the way, or a write cut short by a file-size
    // limit (which binds root too).
    void failedSaveIsReported_data() {
        QTest::addColumn<QString>("cause");
        for (const char* cause : {"target is a folder", "folder is a file", "short write"})
            QTest::newRow(cause) << QString::fromLatin1(cause);
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
#ifndef Q_OS_LINUX
        if (cause == QLatin1String("short write")) QSKIP("needs a file-size limit");
#else
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
        QVERIFY(!saved && !error.isEmpty());
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
