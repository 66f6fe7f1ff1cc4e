// Saving and restoring through the real main window and the settings file.
#include "gui/frmzelmain.h"
#include "gui/frmzelmodem.h"
#include "gui/indicator.h"
#include "support/fakeserial.h"
#include "support/testmain.h"
#include "support/testsupport.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTimer>
#include <memory>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/resource.h>
#endif

using zeltest::readSettingsFile;
using zeltest::sampleRecord;
using zeltest::settingsPath;
using zeltest::writeSettingsFile;

namespace {

// Answers every message box that appears while it lives with OK and keeps
// what each showed.
class BoxWatch {
public:
    BoxWatch() {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || box->property("zelSeen").toBool()) return;
            box->setProperty("zelSeen", true);
            boxes.append({true, box->windowTitle(), box->text(), box->icon(), box->standardButtons()});
            box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click() : box->reject();
        });
        m_timer.start();
    }
    QList<zeltest::SeenBox> boxes;

private:
    QTimer m_timer;
};

std::unique_ptr<FrmZelMain> makeWindow() {
    return std::make_unique<FrmZelMain>(new FakeSerial);
}

QByteArray with(QByteArray record, int offset, const QByteArray& bytes) {
    return record.replace(offset, bytes.size(), bytes);
}

QString pad(const char* text, int width) {
    return QString::fromLatin1(text).leftJustified(width);
}
QString joined(const QStringList& fields) {
    return fields.join(QLatin1Char('|'));
}

// Every control the file restores, in record order, joined by '|': option
// groups as one digit per button, check boxes as stored (0 clear, 1 checked,
// 2 greyed), the speaker pictures shown (off, on), scroll bars, texts.
QString controls(const FrmZelMain& w) {
    const FrmZelModem* d = w.frmZelModem;
    auto on = [](std::initializer_list<const QRadioButton*> group) {
        QString s;
        for (const QRadioButton* b : group)
            s += b->isChecked() ? '1' : '0';
        return s;
    };
    auto check = [](const QCheckBox* c) { return QString(QLatin1Char("021"[c->checkState()])); };
    const QString speaker =
        QString::number(!w.imgSpeakerOff->isHidden()) + QString::number(!w.imgSpeakerOn->isHidden());
    return joined({on({d->optDirect, d->optModem}), d->cmbPort->currentText(), on({d->optTone, d->optPulse}),
                   d->txtPhoneNumber->text(), check(d->chkOutside), d->txt9->text(), check(d->chkWaiting),
                   d->txt70->text(), d->cmbModem->currentText(), on({d->optOff, d->optLow, d->optLoud}),
                   check(d->chkModemIni), d->txtModemIni->text(), speaker,
                   QString::number(w.vsbPkPosLed->value()), QString::number(w.vsbPkNegLed->value()),
                   w.txtPkPosLed->text(), w.txtPkNegLed->text()});
}

const QString Defaults = QStringLiteral("10|COM 1|10||0|9|0|*70|COM 3|010|0|AT|01|100|100|100|100");
const QString Sample = joined({"10", "COM 2", "10", pad("1234567", 24), "0", pad("9", 6), "0", pad("*70", 6),
                               "COM 3", "010", "0", pad("AT", 23), "01", "110", "110", "110", "110"});
const QString ErrorText = QStringLiteral("Error Loading Custom Settings ... Will use Zel Defaults.     ");

QString settingsFolder() {
    return QFileInfo(settingsPath()).absolutePath();
}

} // namespace

class SaveDataTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        // Whatever the last test left where the file or its folder belongs.
        QFileInfo folder(settingsFolder());
        if (folder.isFile()) QFile::remove(folder.filePath());
        QDir(settingsPath()).removeRecursively();
        zeltest::removeSettingsFile();
    }

    // The sample restores every control with its padding and the enabled
    // states of a direct cable; changed, saved and restored, every control
    // comes back.
    void roundTripRestoresEveryControl() {
        writeSettingsFile(sampleRecord());
        {
            BoxWatch watch;
            auto w = makeWindow();
            QCOMPARE(watch.boxes.size(), 0);
            QCOMPARE(controls(*w), Sample);
            QCOMPARE(w->record.encode(), sampleRecord());
            FrmZelModem* d = w->frmZelModem;
            QVERIFY(d->isHidden());
            QVERIFY(d->cmbPort->isEnabled() && !d->cmbModem->isEnabled());
            d->optModem->click();
            d->cmbPort->setEditText(QStringLiteral("USB0"));
            d->optPulse->click();
            d->txtPhoneNumber->setText(QStringLiteral("5551234"));
            d->chkOutside->setCheckState(Qt::Checked);
            d->txt9->setText(QStringLiteral("8"));
            d->chkWaiting->setCheckState(Qt::PartiallyChecked);
            d->txt70->setText(QStringLiteral("*71"));
            d->cmbModem->setEditText(QStringLiteral("COM 4"));
            d->optLoud->click();
            d->chkModemIni->setCheckState(Qt::Checked);
            d->txtModemIni->setText(QStringLiteral("ATX0"));
            w->imgSpeakerOn_Click();
            w->vsbPkPosLed->setValue(111);
            w->vsbPkNegLed->setValue(85);
            w->mnuModemSettings->trigger();
            d->cmdOk->click(); // saves like Save Defaults
            QCOMPARE(watch.boxes.size(), 0);
        }
        const QByteArray on("\xFF\xFF", 2), off("\x00\x00", 2);
        const QByteArray expected = off + on + "USB0 " + off + on +
                                    QByteArray("5551234").leftJustified(24, ' ') + "1     " + "8     " +
                                    "2     " + "*71   " + "COM 4" + off + off + on + "1     " +
                                    QByteArray("ATX0").leftJustified(23, ' ') + on + off + "111" + "85 ";
        QCOMPARE(readSettingsFile(), expected);

        BoxWatch watch;
        auto w = makeWindow();
        QCOMPARE(watch.boxes.size(), 0);
        QCOMPARE(controls(*w),
                 joined({"01", "USB0 ", "01", pad("5551234", 24), "1", pad("8", 6), "2", pad("*71", 6),
                         "COM 4", "001", "1", pad("ATX0", 23), "10", "111", "85", "111", "85"}));
        // Enabled states follow the loaded values: modem, greyed is not checked.
        FrmZelModem* d = w->frmZelModem;
        QVERIFY(!d->cmbPort->isEnabled());
        QVERIFY(d->txt9->isEnabled() && !d->txt70->isEnabled() && d->txtModemIni->isEnabled());
        // Saving again writes the same bytes back, the greyed state too.
        w->Save_Data();
        QCOMPARE(readSettingsFile(), expected);
    }

    void noFileGivesDefaultsAndAnEmptyFile() {
        QDir(settingsFolder()).removeRecursively();
        {
            BoxWatch watch;
            auto w = makeWindow();
            QCOMPARE(watch.boxes.size(), 1);
            const zeltest::SeenBox& box = watch.boxes.first();
            QCOMPARE(box.title, QStringLiteral("FILE ERROR"));
            QCOMPARE(box.text, ErrorText);
            QCOMPARE(box.icon, QMessageBox::Warning);
            QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
            QCOMPARE(controls(*w), Defaults);
            QVERIFY(w->frmZelModem->cmbPort->isEnabled() && !w->frmZelModem->txt9->isEnabled());
            QVERIFY(QFileInfo(settingsPath()).isFile());
            QCOMPARE(QFileInfo(settingsPath()).size(), 0);
        }
        {
            // The empty file fails again until a save.
            BoxWatch watch;
            auto w = makeWindow();
            QCOMPARE(watch.boxes.size(), 1);
            w->mnuSaveDefaults->trigger();
            QCOMPARE(readSettingsFile().size(), 111);
        }
        BoxWatch watch;
        auto w = makeWindow();
        QCOMPARE(watch.boxes.size(), 0);
        QCOMPARE(w->frmZelModem->txt9->text(), QStringLiteral("9     "));
    }

    // A damaged record falls back to every default, not only the field at
    // fault; the file itself is left as it was.
    void damagedFilesFallBackEntirely_data() {
        QTest::addColumn<QByteArray>("bytes");
        // Non-default connection choices, so a partial restore would show.
        const QByteArray modem = with(sampleRecord(), 0, QByteArray("\x00\x00\xFF\xFF", 4));
        QTest::newRow("short") << modem.left(110);
        QTest::newRow("level 200") << with(modem, 105, "200");
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
            QVERIFY(QDir().mkpath(settingsPath()));
        else
            writeSettingsFile(bytes);
        BoxWatch watch;
        auto w = makeWindow();
        QCOMPARE(watch.boxes.size(), 1);
        QCOMPARE(watch.boxes.first().text, ErrorText);
        QCOMPARE(controls(*w), Defaults);
        // Enabled states agree with the defaults (direct cable).
        QVERIFY(w->frmZelModem->cmbPort->isEnabled() && !w->frmZelModem->cmbModem->isEnabled());
        if (bytes.isEmpty())
            QVERIFY(QFileInfo(settingsPath()).isDir());
        else
            QCOMPARE(readSettingsFile(), bytes);
    }

    void acceptedVariants_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<Qt::CheckState>("outside");
        QTest::addColumn<int>("pos");
        QTest::newRow("greyed") << with(sampleRecord(), 37, "2     ") << Qt::PartiallyChecked << 110;
        QTest::newRow("blanks around") << with(sampleRecord(), 37, "  1   ") << Qt::Checked << 110;
        QTest::newRow("lowest level") << with(sampleRecord(), 105, "70 ") << Qt::Unchecked << 70;
        QTest::newRow("highest level") << with(sampleRecord(), 105, "130") << Qt::Unchecked << 130;
        QTest::newRow("longer file") << sampleRecord() + QByteArray(64, '\xAA') << Qt::Unchecked << 110;
    }
    void acceptedVariants() {
        QFETCH(QByteArray, bytes);
        writeSettingsFile(bytes);
        BoxWatch watch;
        auto w = makeWindow();
        QCOMPARE(watch.boxes.size(), 0);
        QTEST(w->frmZelModem->chkOutside->checkState(), "outside");
        QTEST(w->vsbPkPosLed->value(), "pos");
        QCOMPARE(w->frmZelModem->cmbPort->currentText(), QStringLiteral("COM 2"));
    }

    // A save that fails is reported, changes no control and leaves the last
    // good file whole: the file or its folder in the way, or a write cut
    // short (here by a file-size limit, which binds root too).
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
        BoxWatch watch;
        auto w = makeWindow();
        w->frmZelModem->txtPhoneNumber->setText(QStringLiteral("5550000"));
        const QString changed = controls(*w);
        if (cause == QLatin1String("target is a folder")) {
            zeltest::removeSettingsFile();
            QVERIFY(QDir().mkpath(settingsPath()));
        } else if (cause == QLatin1String("folder is a file")) {
            QDir(settingsFolder()).removeRecursively();
            QFile blocker(settingsFolder());
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        }
#ifdef Q_OS_LINUX
        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit tight = old;
        tight.rlim_cur = cause == QLatin1String("short write") ? 40 : old.rlim_cur;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &tight), 0);
#endif
        w->mnuSaveDefaults->trigger();
#ifdef Q_OS_LINUX
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
#endif
        QCOMPARE(watch.boxes.size(), 1);
        const zeltest::SeenBox& box = watch.boxes.first();
        QCOMPARE(box.title, QStringLiteral("FILE ERROR"));
        QCOMPARE(box.icon, QMessageBox::Warning);
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QVERIFY(box.text.contains(QStringLiteral("could not be saved")));
        QVERIFY(box.text.contains(QDir::toNativeSeparators(settingsPath())));
        QCOMPARE(controls(*w), changed);
        if (cause == QLatin1String("short write")) {
            QCOMPARE(readSettingsFile(), sampleRecord());
            QCOMPARE(QDir(settingsFolder()).entryList(QDir::Files | QDir::Hidden),
                     QStringList{QStringLiteral("Zel_Data.dat")});
        } else {
            QCOMPARE(QFileInfo(settingsFolder()).isFile(), cause == QLatin1String("folder is a file"));
        }
    }
};
ZEL_TEST(SaveDataTest)
#include "tst_savedata.moc"
