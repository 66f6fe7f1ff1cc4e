// Faults and rough edges found by using the panel: each case failed before
// its mend.
#include "core/link/linkcontroller.h"
#include "core/session/monitorsession.h"
#include "core/settings/settings.h"
#include "core/transport/portname.h"
#include "core/transport/transport.h"
#include "gui/frmzelabout.h"
#include "gui/frmzelmain.h"
#include "gui/indicator.h"
#include "gui/twips.h"
#include "support/faketransport.h"
#include "support/testmain.h"
#include "support/testsupport.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QScrollBar>
#include <QSettings>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTemporaryDir>
#include <QTimer>

namespace {

// A session whose link dials through scripted transports.
struct ModemRig {
    zel::MonitorSession* session = new zel::MonitorSession;
    QPointer<FakeTransport> line;
    ModemRig() {
        session->link()->setTransportFactory([this](const QString&, QString*) {
            auto t = std::make_unique<FakeTransport>(QStringLiteral("scripted"));
            line = t.get();
            return std::unique_ptr<zel::Transport>(std::move(t));
        });
        modem.directCable = false;
        modem.modemLink = true;
        modem.phoneNumber = QStringLiteral("5551234");
        session->setConnectionSettings(modem);
    }
    zel::ConnectionSettings modem;
    // A session handed to a window belongs to the window.
    ~ModemRig() {
        if (!session->parent()) delete session;
    }
    QTimer* timer(const char* name) const { return session->findChild<QTimer*>(QString::fromLatin1(name)); }
    // Connect, through the one-second initialisation, to the dial.
    void dial() {
        session->setConnectionSettings(modem);
        session->connectLink();
        QMetaObject::invokeMethod(session->link(), "onDelayTimer");
    }
};

// Where a label's text is painted, in its parent's coordinates.
QRect textRect(const QLabel* l) {
    const QRect r = QFontMetrics(l->font()).boundingRect(l->rect(), int(l->alignment()), l->text());
    return r.translated(l->pos());
}

} // namespace

class UseFixesTest : public QObject {
    Q_OBJECT

    std::unique_ptr<FrmZelMain> window(zel::MonitorSession* session = nullptr) {
        zeltest::writeSettingsFile(zeltest::sampleRecord());
        return std::make_unique<FrmZelMain>(session);
    }

private slots:
    void init() { QFile::remove(zel::SettingsStore::confPath()); }

    void modemWaitThatRunsOutHangsUp() {
        ModemRig rig;
        rig.dial();
        QVERIFY(rig.line && rig.line->isOpen() && (rig.line->dtr.isEmpty() || rig.line->dtr.last()));
        QMetaObject::invokeMethod(rig.session->link(), "onModemTimeout");
        QCOMPARE(rig.session->linkState(), zel::LinkState::NoDialTone);
        // DTR drops at once and stays low while the status shows, then the
        // port closes: a late CONNECT cannot keep the call up.
        QVERIFY(!rig.line->dtr.isEmpty() && !rig.line->dtr.last());
        QVERIFY(rig.timer("tmrDelay")->interval() >= 500);
        QMetaObject::invokeMethod(rig.session->link(), "onDelayTimer");
        QVERIFY(!rig.line || !rig.line->isOpen());
        QCOMPARE(rig.session->linkState(), zel::LinkState::OffLine);
    }

    void modemHangUpHoldsDtrLow() {
        ModemRig rig;
        rig.dial();
        rig.line->receive("\r\nCONNECT 9600\r\n");
        QCOMPARE(rig.session->linkState(), zel::LinkState::Connected);
        FakeTransport* line = rig.line;
        rig.session->disconnectLink();
        QCOMPARE(rig.session->linkState(), zel::LinkState::HangingUp);
        QVERIFY(!line->dtr.isEmpty() && !line->dtr.last());
        QVERIFY(line->isOpen());
        QVERIFY(rig.timer("tmrDelay")->interval() >= 500);
        QMetaObject::invokeMethod(rig.session->link(), "onDelayTimer");
        QCOMPARE(rig.session->linkState(), zel::LinkState::OffLine);
    }

    void modemWordsAreShown() {
        auto* rig = new ModemRig;
        auto w = window(rig->session);
        rig->dial();
        rig->line->receive("\r\nNO CARRIER\r\n");
        QVERIFY(!w->lblNoDialTone->isHidden());
        QCOMPARE(w->lblNoDialTone->toolTip(), QStringLiteral("NO CARRIER"));
        QCOMPARE(w->picshow->item(w->picshow->count() - 1)->text(), QStringLiteral("NO CARRIER"));
        delete rig;
    }

    void longPortTextsSurviveARestart() {
        zeltest::writeSettingsFile(zeltest::sampleRecord());
        zel::Settings s = *zel::SettingsStore::load().settings;
        const QString byId = QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_A1B2C3-if00-port0");
        s.connection.directPort = byId;
        s.connection.modemPort = QStringLiteral("/dev/pts/17");
        QString why;
        QVERIFY2(zel::SettingsStore::save(s, &why), qPrintable(why));
        // The record keeps five characters, as other readers expect.
        QCOMPARE(zeltest::readSettingsFile().mid(4, 5), QByteArray("/dev/"));
        const zel::Settings back = *zel::SettingsStore::load().settings;
        QCOMPARE(back.connection.directPort, byId);
        QCOMPARE(back.connection.modemPort, QStringLiteral("/dev/pts/17"));
        // A record changed by something else since wins over zel.conf.
        QByteArray record = zeltest::readSettingsFile();
        record.replace(4, 5, "COM 2");
        zeltest::writeSettingsFile(record);
        QCOMPARE(zel::SettingsStore::load().settings->connection.directPort, QStringLiteral("COM 2"));

        QTemporaryDir byIdDir;
        QVERIFY(QFile::link(QStringLiteral("/dev/null"), byIdDir.filePath(QStringLiteral("usb-X-if00"))));
        QCOMPARE(zel::stableDeviceNames(byIdDir.path()),
                 QStringList{byIdDir.filePath(QStringLiteral("usb-X-if00"))});
    }

    void upperArrowRaisesTheThreshold() {
        auto w = window();
        w->show();
        for (QScrollBar* bar : {w->vsbPkPosLed, w->vsbPkNegLed}) {
            bar->setValue(100);
            QStyleOptionSlider opt;
            opt.initFrom(bar);
            opt.subControls = QStyle::SC_All;
            opt.orientation = bar->orientation();
            opt.minimum = bar->minimum();
            opt.maximum = bar->maximum();
            opt.sliderPosition = opt.sliderValue = bar->value();
            opt.upsideDown = bar->invertedAppearance();
            const QRect up =
                bar->style()->subControlRect(QStyle::CC_ScrollBar, &opt, QStyle::SC_ScrollBarSubLine, bar);
            const QRect down =
                bar->style()->subControlRect(QStyle::CC_ScrollBar, &opt, QStyle::SC_ScrollBarAddLine, bar);
            const QRect upper = up.top() < down.top() ? up : down;
            const QRect lower = up.top() < down.top() ? down : up;
            QTest::mouseClick(bar, Qt::LeftButton, {}, upper.center());
            QCOMPARE(bar->value(), 101);
            QTest::mouseClick(bar, Qt::LeftButton, {}, lower.center());
            QTest::mouseClick(bar, Qt::LeftButton, {}, lower.center());
            QCOMPARE(bar->value(), 99);
        }
        QCOMPARE(w->session()->model()->positiveThreshold(), 99);
        QCOMPARE(w->txtPkNegLed->text(), QStringLiteral("99"));
    }

    void legendsAndMarginsReadWhole() {
        auto w = window();
        w->show();
        for (int percent : FrmZelMain::ZoomLevels) {
            w->setZoom(percent);
            const auto label = [&](const char* name) {
                return w->findChild<QLabel*>(QString::fromLatin1(name));
            };
            const QRect rf = textRect(label("Label4(6)")), neg = textRect(label("Label4(4)")),
                        pos = textRect(label("Label4(5)"));
            QVERIFY2(!rf.intersects(neg) && !neg.intersects(pos) && !rf.intersects(pos),
                     qPrintable(QStringLiteral("legends run together at %1 %").arg(percent)));
            // "+125%" ends clear of its block's border; "Pk Presets" inside its box.
            const QRect block = w->findChild<Indicator*>(QStringLiteral("Shape4"))->geometry();
            QVERIFY(textRect(label("Label4(0)")).right() <= block.right() - 4 * percent / 100);
            const QRect presetsBox = w->findChild<Indicator*>(QStringLiteral("Shape3(0)"))->geometry();
            const QRect presets = textRect(label("Label11(11)"));
            QVERIFY(presets.left() >= presetsBox.left() + 4 && presets.right() <= presetsBox.right() - 4);
            // No caption of the panel is cut by its own label.
            for (QLabel* l : w->findChildren<QLabel*>()) {
                if (l->text().isEmpty() || l->isHidden() || l == w->lblRcvdat) continue;
                const QRect need = QFontMetrics(l->font()).boundingRect(
                    l->rect(), int(l->alignment()) | (l->wordWrap() ? Qt::TextWordWrap : 0), l->text());
                QVERIFY2(need.width() <= l->width() + 1 && need.height() <= l->height() + 2,
                         qPrintable(QStringLiteral("%1 \"%2\" at %3 %: needs %4x%5, has %6x%7")
                                        .arg(l->objectName(), l->text())
                                        .arg(percent)
                                        .arg(need.width())
                                        .arg(need.height())
                                        .arg(l->width())
                                        .arg(l->height())));
            }
        }
    }

    void aboutBoxShowsEveryLineWhole() {
        auto w = window();
        w->show();
        w->showAbout();
        FrmZelAbout* about = w->frmZelAbout;
        QVERIFY(about);
        QCOMPARE(about->windowTitle(), QStringLiteral("About Zel"));
        for (QLabel* l : about->findChildren<QLabel*>())
            QVERIFY2(l->width() >= l->sizeHint().width(), qPrintable(l->text()));
        QVERIFY(about->findChild<QLabel*>(QStringLiteral("Label1"))
                    ->text()
                    .endsWith(QStringLiteral("Model Zel")));
        QVERIFY((about->geometry().center() - w->geometry().center()).manhattanLength() <= 4);
        about->grab().save(QStringLiteral(ZEL_TEST_OUTPUT_DIR "/about.png"));
    }

    void exitBoxFitsItsTitle() {
        auto w = window();
        w->show();
        int boxWidth = 0, titleWidth = 0;
        QTimer::singleShot(100, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            boxWidth = box->width();
            QFont f = box->font();
            f.setBold(true);
            titleWidth = QFontMetrics(f).horizontalAdvance(box->windowTitle());
            box->grab().save(QStringLiteral(ZEL_TEST_OUTPUT_DIR "/exit-box.png"));
            box->button(QMessageBox::No)->click();
        });
        w->exitProgram();
        QVERIFY(titleWidth > 0);
        QVERIFY2(boxWidth >= titleWidth + 100,
                 qPrintable(QStringLiteral("%1 < %2").arg(boxWidth).arg(titleWidth)));
    }

    void diagnosticListShowsNewestOnOneLine() {
        auto* rig = new ModemRig;
        auto w = window(rig->session);
        w->resize(w->width(), w->maximumHeight());
        w->show();
        for (int i = 0; i < 20; ++i) {
            rig->dial();
            rig->line->receive("\r\nBUSY\r\n");
            QMetaObject::invokeMethod(rig->session->link(), "onDelayTimer");
        }
        QCoreApplication::processEvents();
        for (int i = 0; i < w->picshow->count(); ++i)
            QVERIFY(!w->picshow->item(i)->text().contains(u'\n') &&
                    !w->picshow->item(i)->text().contains(u'\r'));
        QVERIFY(
            w->picshow->findItems(QStringLiteral("000000000<CR><LF>BUSY<CR><LF>"), Qt::MatchExactly).size() >
            0);
        QScrollBar* bar = w->picshow->verticalScrollBar();
        QVERIFY(bar->maximum() > 0);
        QCOMPARE(bar->value(), bar->maximum());
        delete rig;
    }

    void startupFileErrorSaysWhereAndWhy() {
        zeltest::writeSettingsFile("short");
        QString details;
        QTimer::singleShot(100, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                details = box->detailedText();
                box->accept();
            }
        });
        FrmZelMain w;
        QVERIFY2(details.contains(zeltest::settingsPath()), qPrintable(details));
        QVERIFY(details.contains(QStringLiteral("fewer than the 111")));
    }

    void zoomScalesThePanelAndIsRemembered() {
        auto w = window();
        w->show();
        const int width100 = w->width();
        const double font100 = w->lblConnected->font().pointSizeF();
        QApplication::setActiveWindow(w.get());
        QTest::keyClick(w.get(), Qt::Key_Plus, Qt::ControlModifier);
        QCOMPARE(w->zoom(), 150);
        w->findChild<QAction*>(QStringLiteral("mnuZoom200"))->trigger();
        QCOMPARE(w->zoom(), 200);
        QVERIFY(qAbs(w->width() - 2 * width100) <= 2);
        QCOMPARE(w->lblConnected->font().pointSizeF(), 2 * font100);
        QCOMPARE(w->picLed[30]->width(), 2 * zel::px(85));
        w->session()->model()->showReadings({30, 10, 40});
        QCoreApplication::processEvents();
        w->grab().save(QStringLiteral(ZEL_TEST_OUTPUT_DIR "/panel-200.png"));
        QCOMPARE(QSettings(zel::SettingsStore::confPath(), QSettings::IniFormat).value("view/zoom").toInt(),
                 200);
        auto again = window();
        QCOMPARE(again->zoom(), 200);
        again->show();
        QApplication::setActiveWindow(again.get());
        QTest::keyClick(again.get(), Qt::Key_0, Qt::ControlModifier);
        QCOMPARE(again->zoom(), 100);
        QCOMPARE(again->width(), width100);
    }
};

ZEL_TEST(UseFixesTest)
#include "tst_usefixes.moc"
