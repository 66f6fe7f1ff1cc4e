// Saving and restoring through the real main window and the settings file.
#include "app/frmzelmain.h"
#include "dialogs/frmzelmodem.h"
#include "panel/indicator.h"
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
            zeltest::SeenBox seen;
            seen.shown = true;
            seen.title = box->windowTitle();
            seen.text = box->text();
            seen.icon = box->icon();
            seen.buttons = box->standardButtons();
            boxes.append(seen);
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

    void restoresTheSampleWithPadding() {
        writeSettingsFile(sampleRecord());
        BoxWatch watch;
        auto w = makeWindow();
        QCOMPARE(watch.boxes.size(), 0);
        FrmZelModem* d = w->frmZelModem;
        QVERIFY(d->isHidden());
        QVERIFY(d->optDirect->isChecked() && !d->optModem->isChecked());
        QCOMPARE(d->cmbPort->currentText(), QStringLiteral("COM 2"));
        QVERIFY(d->optTone->isChecked() && !d->optPulse->isChecked());
        QCOMPARE(d->txtPhoneNumber->text(), QStringLiteral("1234567") + QString(17, QLatin1Char(' ')));
        QCOMPARE(d->txt9->text(), QStringLiteral("9     "));
        QCOMPARE(d->txt70->text(), QStringLiteral("*70   "));
        QCOMPARE(d->txtModemIni->text(), QStringLiteral("AT") + QString(21, QLatin1Char(' ')));
        QVERIFY(d->optLow->isChecked() && !d->optOff->isChecked() && !d->optLoud->isChecked());
        QVERIFY(!w->imgSpeakerOn->isHidden() && w->imgSpeakerOff->isHidden());
        QCOMPARE(w->vsbPkPosLed->value(), 110);
        QCOMPARE(w->vsbPkNegLed->value(), 110);
        QCOMPARE(w->txtPkPosLed->text(), QStringLiteral("110"));
        // The loading ran the dialog's update: direct cable.
        QVERIFY(d->cmbPort->isEnabled());
        QVERIFY(!d->optTone->isEnabled() && !d->cmbModem->isEnabled());
        QCOMPARE(w->record.encode(), sampleRecord());
    }

    void roundTripRestoresEveryControl() {
        writeSettingsFile(sampleRecord());
        {
            BoxWatch watch;
            auto w = makeWindow();
            FrmZelModem* d = w->frmZelModem;
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
            w->imgSpeakerOn->hide();
            w->imgSpeakerOff->show();
            w->vsbPkPosLed->setValue(111);
            w->vsbPkNegLed->setValue(85);
            w->txtPkPosLed->setText(QStringLiteral("111"));
            w->txtPkNegLed->setText(QStringLiteral("85"));
            w->mnuSaveDefaults->trigger();
            QCOMPARE(watch.boxes.size(), 0);
        }
        const QByteArray on("\xFF\xFF", 2), off("\x00\x00", 2);
        QByteArray expected = off + on + "USB0 " + off + on + QByteArray("5551234").leftJustified(24, ' ') +
                              "1     " + "8     " + "2     " + "*71   " + "COM 4" + off + off + on +
                              "1     " + QByteArray("ATX0").leftJustified(23, ' ') + on + off + "111" + "85 ";
        QCOMPARE(readSettingsFile(), expected);

        BoxWatch watch;
        auto w = makeWindow();
        QCOMPARE(watch.boxes.size(), 0);
        FrmZelModem* d = w->frmZelModem;
        QVERIFY(!d->optDirect->isChecked() && d->optModem->isChecked());
        QCOMPARE(d->cmbPort->currentText(), QStringLiteral("USB0 "));
        QVERIFY(!d->optTone->isChecked() && d->optPulse->isChecked());
        QCOMPARE(d->txtPhoneNumber->text(), QStringLiteral("5551234").leftJustified(24));
        QCOMPARE(d->chkOutside->checkState(), Qt::Checked);
        QCOMPARE(d->txt9->text(), QStringLiteral("8     "));
        QCOMPARE(d->chkWaiting->checkState(), Qt::PartiallyChecked);
        QCOMPARE(d->txt70->text(), QStringLiteral("*71   "));
        QCOMPARE(d->cmbModem->currentText(), QStringLiteral("COM 4"));
        QVERIFY(!d->optOff->isChecked() && !d->optLow->isChecked() && d->optLoud->isChecked());
        QCOMPARE(d->chkModemIni->checkState(), Qt::Checked);
        QCOMPARE(d->txtModemIni->text(), QStringLiteral("ATX0").leftJustified(23));
        QVERIFY(w->imgSpeakerOn->isHidden() && !w->imgSpeakerOff->isHidden());
        QCOMPARE(w->vsbPkPosLed->value(), 111);
        QCOMPARE(w->vsbPkNegLed->value(), 85);
        // Enabled states follow the loaded values: modem, greyed is not checked.
        QVERIFY(!d->cmbPort->isEnabled());
        QVERIFY(d->txt9->isEnabled() && !d->txt70->isEnabled() && d->txtModemIni->isEnabled());
        // And saving again writes the same bytes back (the greyed state too).
        w->Save_Data();
        QCOMPARE(readSettingsFile().left(105), expected.left(105));
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
            FrmZelModem* d = w->frmZelModem;
            QVERIFY(d->optDirect->isChecked() && !d->optModem->isChecked());
            QCOMPARE(d->cmbPort->currentText(), QStringLiteral("COM 1"));
            QVERIFY(d->optTone->isChecked() && !d->optPulse->isChecked());
            QCOMPARE(d->txtPhoneNumber->text(), QString());
            QCOMPARE(d->chkOutside->checkState(), Qt::Unchecked);
            QCOMPARE(d->txt9->text(), QStringLiteral("9"));
            QCOMPARE(d->chkWaiting->checkState(), Qt::Unchecked);
            QCOMPARE(d->txt70->text(), QStringLiteral("*70"));
            QCOMPARE(d->cmbModem->currentText(), QStringLiteral("COM 3"));
            QVERIFY(!d->optOff->isChecked() && d->optLow->isChecked() && !d->optLoud->isChecked());
            QCOMPARE(d->chkModemIni->checkState(), Qt::Unchecked);
            QCOMPARE(d->txtModemIni->text(), QStringLiteral("AT"));
            QVERIFY(!w->imgSpeakerOn->isHidden() && w->imgSpeakerOff->isHidden());
            QCOMPARE(w->txtPkPosLed->text(), QStringLiteral("100"));
            QCOMPARE(w->txtPkNegLed->text(), QStringLiteral("100"));
            QCOMPARE(w->vsbPkPosLed->value(), 100);
            QCOMPARE(w->vsbPkNegLed->value(), 100);
            QVERIFY(d->cmbPort->isEnabled() && !d->optTone->isEnabled() && !d->txt9->isEnabled());
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
        QCOMPARE(w->frmZelModem->cmbPort->currentText(), QStringLiteral("COM 1"));
        QCOMPARE(w->frmZelModem->txt9->text(), QStringLiteral("9     "));
    }

    // Each damaged record falls back to every default, not only the field
    // at fault; the file itself is left as it was.
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
    }
    void damagedFilesFallBackEntirely() {
        QFETCH(QByteArray, bytes);
        writeSettingsFile(bytes);
        BoxWatch watch;
        auto w = makeWindow();
        QCOMPARE(watch.boxes.size(), 1);
        QCOMPARE(watch.boxes.first().text, ErrorText);
        FrmZelModem* d = w->frmZelModem;
        QVERIFY(d->optDirect->isChecked() && !d->optModem->isChecked());
        QCOMPARE(d->cmbPort->currentText(), QStringLiteral("COM 1"));
        QCOMPARE(d->txt9->text(), QStringLiteral("9"));
        QCOMPARE(d->txtModemIni->text(), QStringLiteral("AT"));
        QCOMPARE(w->vsbPkPosLed->value(), 100);
        QCOMPARE(w->vsbPkNegLed->value(), 100);
        QCOMPARE(w->txtPkPosLed->text(), QStringLiteral("100"));
        QCOMPARE(d->chkOutside->checkState(), Qt::Unchecked);
        QCOMPARE(d->chkModemIni->checkState(), Qt::Unchecked);
        // Enabled states agree with the defaults (direct cable).
        QVERIFY(d->cmbPort->isEnabled() && !d->cmbModem->isEnabled());
        QCOMPARE(readSettingsFile(), bytes);
    }

    void unreadableLocationGivesDefaults() {
        QVERIFY(QDir().mkpath(settingsPath()));
        BoxWatch watch;
        auto w = makeWindow();
        QCOMPARE(watch.boxes.size(), 1);
        QCOMPARE(watch.boxes.first().text, ErrorText);
        QVERIFY(w->frmZelModem->optDirect->isChecked());
        QVERIFY(QFileInfo(settingsPath()).isDir());
    }

    void acceptedVariants_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("outside");
        QTest::addColumn<int>("pos");
        QTest::newRow("checked") << with(sampleRecord(), 37, "1     ") << 1 << 110;
        QTest::newRow("greyed") << with(sampleRecord(), 37, "2     ") << 2 << 110;
        QTest::newRow("blanks around") << with(sampleRecord(), 37, "  1   ") << 1 << 110;
        QTest::newRow("lowest level") << with(sampleRecord(), 105, "70 ") << 0 << 70;
        QTest::newRow("highest level") << with(sampleRecord(), 105, "130") << 0 << 130;
        QTest::newRow("longer file") << sampleRecord() + QByteArray(64, '\xAA') << 0 << 110;
    }
    void acceptedVariants() {
        QFETCH(QByteArray, bytes);
        QFETCH(int, outside);
        QFETCH(int, pos);
        writeSettingsFile(bytes);
        BoxWatch watch;
        auto w = makeWindow();
        QCOMPARE(watch.boxes.size(), 0);
        const Qt::CheckState states[] = {Qt::Unchecked, Qt::Checked, Qt::PartiallyChecked};
        QCOMPARE(w->frmZelModem->chkOutside->checkState(), states[outside]);
        QCOMPARE(w->vsbPkPosLed->value(), pos);
        QCOMPARE(w->frmZelModem->cmbPort->currentText(), QStringLiteral("COM 2"));
    }

    void saveDefaultsWithTheDialogNeverOpened() {
        writeSettingsFile(sampleRecord() + "extra bytes of an older writer");
        BoxWatch watch;
        auto w = makeWindow();
        QVERIFY(w->frmZelModem->isHidden());
        w->mnuSaveDefaults->trigger();
        QVERIFY(w->frmZelModem->isHidden());
        QCOMPARE(watch.boxes.size(), 0);
        QCOMPARE(readSettingsFile(), sampleRecord());
    }

    void dialogButtonsSaveOrNot() {
        writeSettingsFile(sampleRecord());
        BoxWatch watch;
        auto w = makeWindow();
        FrmZelModem* d = w->frmZelModem;
        w->mnuModemSettings->trigger();
        d->txtPhoneNumber->setText(QStringLiteral("999"));
        d->cmdClose->click();
        QCOMPARE(readSettingsFile(), sampleRecord()); // Close saves nothing
        QCOMPARE(d->txtPhoneNumber->text(), QStringLiteral("999"));
        w->mnuModemSettings->trigger();
        d->cmdOk->click();
        QVERIFY(!d->isHidden());
        QCOMPARE(readSettingsFile().mid(13, 24), QByteArray("999").leftJustified(24, ' '));
        d->txtPhoneNumber->setText(QStringLiteral("777"));
        d->cmdApply->click();
        QVERIFY(d->isHidden());
        QCOMPARE(readSettingsFile().mid(13, 24), QByteArray("777").leftJustified(24, ' '));
        QCOMPARE(watch.boxes.size(), 0);
    }

    void unwritableLocationIsReported_data() {
        QTest::addColumn<bool>("folderIsAFile");
        QTest::newRow("target is a folder") << false;
        QTest::newRow("folder is a file") << true;
    }
    void unwritableLocationIsReported() {
        QFETCH(bool, folderIsAFile);
        writeSettingsFile(sampleRecord());
        BoxWatch watch;
        auto w = makeWindow();
        QCOMPARE(watch.boxes.size(), 0);
        QDir(settingsFolder()).removeRecursively();
        if (folderIsAFile) {
            QFile blocker(settingsFolder());
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        } else {
            QVERIFY(QDir().mkpath(settingsPath()));
        }
        const QString before = w->frmZelModem->txtPhoneNumber->text();
        w->mnuSaveDefaults->trigger();
        QCOMPARE(watch.boxes.size(), 1);
        const zeltest::SeenBox& box = watch.boxes.first();
        QCOMPARE(box.title, QStringLiteral("FILE ERROR"));
        QCOMPARE(box.icon, QMessageBox::Warning);
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QVERIFY(box.text.contains(QStringLiteral("could not be saved")));
        QVERIFY(box.text.contains(QDir::toNativeSeparators(settingsPath())));
        // Nothing else changes.
        QCOMPARE(w->frmZelModem->txtPhoneNumber->text(), before);
        QCOMPARE(QFileInfo(settingsFolder()).isFile(), folderIsAFile);
        QCOMPARE(QFileInfo(settingsPath()).isDir(), !folderIsAFile);
    }

#ifdef Q_OS_LINUX
    // A save cut short (here by a file-size limit, which binds root too)
    // leaves the last good file whole.
    void failedSaveKeepsTheGoodFile() {
        writeSettingsFile(sampleRecord());
        BoxWatch watch;
        auto w = makeWindow();
        w->frmZelModem->txtPhoneNumber->setText(QStringLiteral("5550000"));
        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit tight = old;
        tight.rlim_cur = 40;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &tight), 0);
        w->Save_Data();
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
        QCOMPARE(watch.boxes.size(), 1);
        QCOMPARE(watch.boxes.first().title, QStringLiteral("FILE ERROR"));
        QCOMPARE(readSettingsFile(), sampleRecord());
        QCOMPARE(QDir(settingsFolder()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("Zel_Data.dat")});
    }
#endif
};
ZEL_TEST(SaveDataTest)
#include "tst_savedata.moc"
