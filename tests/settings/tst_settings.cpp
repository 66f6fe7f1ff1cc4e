// The settings record (111 bytes) and zel.conf beside it: what is kept, what
// falls back to the defaults, and saves that fail.
#include "core/settings/diskfile.h"
#include "core/settings/settings.h"
#include "support/testmain.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFileInfo>

#include <csignal>
#include <sys/resource.h>

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
    c.directPort = "/dev/ttyUSB0"; // whole in zel.conf
    c.toneDial = false;
    c.pulseDial = true;
    c.phoneNumber = QStringLiteral("5551234").leftJustified(24); // padded as a load gives them
    c.outsideLineOn = 1;
    c.outsideLineCode = "8     ";
    c.callWaitingOn = 2;
    c.callWaitingCode = "*71   ";
    c.modemPort = "monitor.example:2001";
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

    // Every choice byte for byte, texts padded, long port texts whole in zel.conf; loaded and saved
    // again, the same.
    void roundTrip() {
        QCOMPARE(zel::fieldText("1-800-555-0100 ext 12345 more", 24), QByteArray("1-800-555-0100 ext 12345"));
        QString error;
        QVERIFY(SettingsStore::save(changed(), &error));
        const QByteArray on("\xFF\xFF", 2), off("\x00\x00", 2);
        const QByteArray expected = off + on + "/dev/" + off + on +
                                    QByteArray("5551234").leftJustified(24, ' ') +
                                    "1     8     2     *71   monit" + off + off + on + "2     " +
                                    QByteArray("ATX0").leftJustified(23, ' ') + on + off + "111" + "85 ";
        QCOMPARE(readSettingsFile(), expected);
        const SettingsStore::Loaded loaded = SettingsStore::load();
        QVERIFY2(loaded.settings, qPrintable(loaded.problem));
        QVERIFY(*loaded.settings == changed());
        QVERIFY(SettingsStore::save(*loaded.settings, &error));
        QCOMPARE(readSettingsFile(), expected);
        writeSettingsFile(with(expected, 4, "COM 2")); // changed by something else: the record wins
        const std::optional<Settings> back = SettingsStore::load().settings;
        QVERIFY(back &&
                back->connection.directPort + back->connection.modemPort == "COM 2monitor.example:2001");
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

    // No record: defaults, and an empty file that fails again until a save.
    void noFileGivesDefaultsAndAnEmptyFile() {
        expectFallback("no file");
        QCOMPARE(QFileInfo(SettingsStore::recordPath()).size(), 0);
        expectFallback("empty file");
        QString error;
        QVERIFY(SettingsStore::save(Settings{}, &error));
        const std::optional<Settings> back = SettingsStore::load().settings;
        QVERIFY(back && back->connection.outsideLineCode == "9     " && back->panel == Settings{}.panel);
    }

    // Damaged or foreign records (outside -1) fall back to defaults, left as they were; variants load.
    void recordVariants_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("outside");
        QTest::addColumn<int>("pos");
        const QByteArray modem = with(sampleRecord(), 0, QByteArray("\x00\x00\xFF\xFF", 4));
        QTest::newRow("short") << modem.left(110) << -1 << 0;
        QTest::newRow("level 131") << with(modem, 105, "131") << -1 << 0;
        QTest::newRow("level 69") << with(modem, 108, "069") << -1 << 0;
        QTest::newRow("level text") << with(modem, 108, "abc") << -1 << 0;
        QTest::newRow("check state 3") << with(modem, 37, "3     ") << -1 << 0;
        QTest::newRow("check state -1") << with(modem, 49, "-1    ") << -1 << 0;
        QTest::newRow("check state blank") << with(modem, 72, "      ") << -1 << 0;
        QTest::newRow("a folder") << QByteArray() << -1 << 0;
        QTest::newRow("greyed") << with(sampleRecord(), 37, "2     ") << 2 << 110;
        QTest::newRow("blanks around") << with(sampleRecord(), 37, "  1   ") << 1 << 110;
        QTest::newRow("level bounds") << with(sampleRecord(), 105, "70 130") << 0 << 70;
        QTest::newRow("longer file, flag 1")
            << with(sampleRecord(), 2, "\x01") + QByteArray(64, '\xAA') << 0 << 110;
    }
    void recordVariants() {
        QFETCH(QByteArray, bytes);
        QFETCH(int, outside);
        if (bytes.isEmpty())
            QVERIFY(QDir().mkpath(SettingsStore::recordPath()));
        else
            writeSettingsFile(bytes);
        if (outside < 0) {
            expectFallback(QString::fromLatin1(QTest::currentDataTag()));
            if (!bytes.isEmpty()) QCOMPARE(readSettingsFile(), bytes);
            return;
        }
        const SettingsStore::Loaded loaded = SettingsStore::load();
        QVERIFY2(loaded.settings, qPrintable(loaded.problem));
        QTEST(loaded.settings->connection.outsideLineOn, "outside");
        QTEST(loaded.settings->panel.positiveThreshold, "pos");
        QVERIFY(loaded.settings->connection.modemLink == (bytes[2] != 0) &&
                loaded.settings->connection.directPort == "COM 2");
    }

    // A failed save says so and leaves the last good file whole (a size limit binds root too).
    void failedSaveIsReported_data() {
        QTest::addColumn<QByteArray>("cause");
        for (const char* cause : {"target is a folder", "folder is a file", "short write"})
            QTest::newRow(cause) << QByteArray(cause);
    }
    void failedSaveIsReported() {
        QFETCH(QByteArray, cause);
        writeSettingsFile(sampleRecord());
        if (cause == "target is a folder") {
            zeltest::removeSettingsFile();
            QVERIFY(QDir().mkpath(SettingsStore::recordPath()));
        } else if (cause == "folder is a file") {
            QDir(settingsFolder()).removeRecursively();
            QFile blocker(settingsFolder());
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        }
        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        rlimit tight = old;
        if (cause == "short write") tight.rlim_cur = 40;
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &tight), 0);
        QString error;
        const bool saved = SettingsStore::save(changed(), &error);
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY(!saved && !error.isEmpty());
        if (cause == "short write") {
            QCOMPARE(readSettingsFile(), sampleRecord());
            QCOMPARE(QDir(settingsFolder()).entryList(QDir::Files | QDir::Hidden),
                     QStringList{"Zel_Data.dat"});
        } else {
            QCOMPARE(QFileInfo(settingsFolder()).isFile(), cause == "folder is a file");
        }
    }
};
ZEL_TEST(SettingsTest)
#include "tst_settings.moc"
