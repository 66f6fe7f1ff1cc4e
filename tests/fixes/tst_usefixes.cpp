// Faults and rough edges found by using the panel: each case failed before its mend.
#include "core/monitor/monitormodel.h"
#include "core/session/monitorsession.h"
#include "core/settings/settings.h"
#include "core/transport/portname.h"
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
#include <QMenuBar>
#include <QMessageBox>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStyleOptionSlider>
#include <QTemporaryDir>
#include <QTimer>

namespace {

// A session dialling through fake transports; a window handed it owns it.
struct ModemRig {
    QPointer<zel::MonitorSession> session = new zel::MonitorSession;
    QPointer<FakeTransport> line;
    ModemRig() { useFakeTransports(session->link(), &line); }
    ~ModemRig() {
        if (session && !session->parent()) delete session;
    }
    QTimer* delayTimer() const { return session->findChild<QTimer*>("tmrDelay"); }
    void tick(const char* slot) const { QMetaObject::invokeMethod(session->link(), slot); }
    void dial() {
        zel::ConnectionSettings modem;
        std::tie(modem.directCable, modem.modemLink, modem.phoneNumber) = std::tuple(false, true, "5551234");
        session->setConnectionSettings(modem);
        session->connectLink();
        tick("onDelayTimer");
    }
};

// Where a label's text is painted, in its parent's coordinates.
QRect textRect(const QLabel* l) {
    return QFontMetrics(l->font())
        .boundingRect(l->rect(), int(l->alignment()), l->text())
        .translated(l->pos());
}

std::unique_ptr<FrmZelMain> window(zel::MonitorSession* session = nullptr) {
    zeltest::writeSettingsFile(zeltest::sampleRecord());
    auto w = std::make_unique<FrmZelMain>(session);
    w->show();
    return w;
}

} // namespace

class UseFixesTest : public QObject {
    Q_OBJECT

private slots:
    void init() { QFile::remove(zel::SettingsStore::confPath()); }

    // A hang-up, asked for or on a timeout, drops DTR at once and holds it low until the port closes.
    void modemHangUpHoldsDtrLow() {
        for (bool timeout : {true, false}) {
            ModemRig rig;
            rig.dial();
            QVERIFY(rig.line && rig.line->isOpen() && (rig.line->dtr.isEmpty() || rig.line->dtr.last()));
            if (timeout) rig.tick("onModemTimeout");
            if (!timeout) rig.line->receive("\r\nCONNECT 9600\r\n");
            if (!timeout) rig.session->disconnectLink();
            QCOMPARE(rig.session->linkState(),
                     timeout ? zel::LinkState::NoDialTone : zel::LinkState::HangingUp);
            QVERIFY(!rig.line->dtr.isEmpty() && !rig.line->dtr.last() && rig.line->isOpen());
            QVERIFY(rig.delayTimer()->interval() >= 500);
            rig.tick("onDelayTimer");
            QVERIFY(!rig.line || !rig.line->isOpen());
            QCOMPARE(rig.session->linkState(), zel::LinkState::OffLine);
        }
    }

    // The modem's words are the status's tooltip and a diagnostic line, one
    // line per entry with <CR>/<LF> marks, scrolled to the newest.
    void modemWordsAreShownOneLineEach() {
        ModemRig rig;
        auto w = window(rig.session);
        w->resize(w->width(), w->maximumHeight());
        rig.dial();
        rig.line->receive("\r\nNO CARRIER\r\n");
        QVERIFY(!w->lblNoDialTone->isHidden());
        QCOMPARE(w->lblNoDialTone->toolTip() + w->picshow->item(w->picshow->count() - 1)->text(),
                 "NO CARRIERNO CARRIER");
        for (int i = 0; i < 20; ++i) {
            rig.dial();
            rig.line->receive("\r\nBUSY\r\n");
            rig.tick("onDelayTimer");
        }
        QCoreApplication::processEvents();
        for (int i = 0; i < w->picshow->count(); ++i)
            QVERIFY(!w->picshow->item(i)->text().contains(QRegularExpression("[\r\n]")));
        QVERIFY(!w->picshow->findItems("000000000<CR><LF>BUSY<CR><LF>", Qt::MatchExactly).isEmpty());
        QScrollBar* bar = w->picshow->verticalScrollBar();
        QVERIFY(bar->maximum() > 0);
        QCOMPARE(bar->value(), bar->maximum());
    }

    // The stable names under /dev/serial/by-id are offered as ports.
    void byIdNamesAreListed() {
        QTemporaryDir byIdDir;
        const QString link = byIdDir.filePath("usb-X-if00");
        QVERIFY(QFile::link("/dev/null", link));
        QCOMPARE(zel::stableDeviceNames(byIdDir.path()), QStringList{link});
    }

    void upperArrowRaisesTheThreshold() {
        auto w = window();
        for (QScrollBar* bar : {w->vsbPkPosLed, w->vsbPkNegLed}) {
            bar->setValue(100);
            const QPoint upper(bar->width() / 2, 3), lower(bar->width() / 2, bar->height() - 4);
            QTest::mouseClick(bar, Qt::LeftButton, {}, upper);
            QCOMPARE(bar->value(), 101);
            QTest::mouseClick(bar, Qt::LeftButton, {}, lower);
            QTest::mouseClick(bar, Qt::LeftButton, {}, lower);
            QCOMPARE(bar->value(), 99);
        }
        QCOMPARE(w->session()->model()->positiveThreshold(), 99);
        QCOMPARE(w->txtPkNegLed->text(), "99");
    }

    // At every zoom the RF/NEG./POS. legends read apart, "+125%" and "Pk Presets"
    // stay inside their boxes, and no caption is cut.
    void legendsAndCaptionsReadWhole() {
        auto w = window();
        const auto label = [&](const char* name) { return w->findChild<QLabel*>(QString::fromLatin1(name)); };
        for (int percent : FrmZelMain::ZoomLevels) {
            w->setZoom(percent);
            const QRect rf = textRect(label("Label4(6)")), neg = textRect(label("Label4(4)")),
                        pos = textRect(label("Label4(5)"));
            QVERIFY2(!rf.intersects(neg) && !neg.intersects(pos) && !rf.intersects(pos),
                     qPrintable(QStringLiteral("legends run together at %1 %").arg(percent)));
            const QRect block = w->findChild<Indicator*>("Shape4")->geometry();
            QVERIFY(textRect(label("Label4(0)")).right() <= block.right() - 4 * percent / 100);
            const QRect presetsBox = w->findChild<Indicator*>("Shape3(0)")->geometry();
            const QRect presets = textRect(label("Label11(11)"));
            QVERIFY(presets.left() >= presetsBox.left() + 4 && presets.right() <= presetsBox.right() - 4);
            for (QLabel* l : w->findChildren<QLabel*>()) {
                if (l->text().isEmpty() || l->isHidden() || l == w->lblRcvdat) continue;
                const QRect need = QFontMetrics(l->font()).boundingRect(
                    l->rect(), int(l->alignment()) | (l->wordWrap() ? Qt::TextWordWrap : 0), l->text());
                QVERIFY2(
                    need.width() <= l->width() + 1 && need.height() <= l->height() + 2,
                    qPrintable(
                        QStringLiteral("%1 \"%2\" at %3 %").arg(l->objectName(), l->text()).arg(percent)));
            }
        }
    }

    // One box however often asked for, centred on the panel, every line whole.
    void aboutBoxShowsEveryLineWhole() {
        auto w = window();
        w->mnuAbout->trigger();
        w->mnuAbout->trigger();
        QCOMPARE(w->findChildren<FrmZelAbout*>().size(), 1);
        FrmZelAbout* about = w->frmZelAbout;
        QVERIFY(about && !about->isHidden());
        for (QLabel* l : about->findChildren<QLabel*>())
            QVERIFY2(l->width() >= l->sizeHint().width(), qPrintable(l->text()));
        const auto text = [about](const char* name) { return about->findChild<QLabel*>(name)->text(); };
        QVERIFY(text("Label1").endsWith("Model Zel"));
        QCOMPARE(about->windowTitle() + text("Label2"), QStringLiteral("About ZelVersion - " ZEL_VERSION));
        QVERIFY((about->geometry().center() - w->geometry().center()).manhattanLength() <= 4);
        QVERIFY(about->grab().save(QStringLiteral(ZEL_TEST_OUTPUT_DIR "/about.png")));
    }

    void exitBoxFitsItsTitle() {
        auto w = window();
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

    // A broken record: a box says where and why, defaults are used, the record is kept.
    void startupFileErrorSaysWhereAndWhy() {
        zeltest::writeSettingsFile("short");
        QString title, details;
        QTimer::singleShot(100, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                title = box->windowTitle();
                details = box->detailedText();
                box->accept();
            }
        });
        FrmZelMain w;
        QCOMPARE(title, "FILE ERROR");
        QVERIFY2(details.contains(zeltest::settingsPath()) && details.contains("fewer than the 111"),
                 qPrintable(details));
        QCOMPARE(w.txtPkNegLed->text(), "100");
        QCOMPARE(zeltest::readSettingsFile(), QByteArray("short"));
    }

    void zoomScalesThePanelAndIsRemembered() {
        auto w = window();
        const int width100 = w->width();
        const double font100 = w->lblConnected->font().pointSizeF();
        // The threshold's upper arrow as its style lays it out for drawing and clicks.
        const auto arrow = [](QScrollBar* bar) {
            QStyleOptionSlider o;
            o.initFrom(bar);
            o.orientation = bar->orientation();
            std::tie(o.minimum, o.maximum, o.sliderPosition, o.sliderValue) =
                std::tuple(bar->minimum(), bar->maximum(), bar->value(), bar->value());
            std::tie(o.singleStep, o.pageStep, o.upsideDown) =
                std::tuple(bar->singleStep(), bar->pageStep(), bar->invertedAppearance());
            o.subControls = QStyle::SC_All;
            return bar->style()->subControlRect(QStyle::CC_ScrollBar, &o, QStyle::SC_ScrollBarSubLine, bar);
        };
        const QRect arrow100 = arrow(w->vsbPkPosLed);
        const int menu100 = w->menuBar()->sizeHint().height();
        QApplication::setActiveWindow(w.get());
        QTest::keyClick(w.get(), Qt::Key_Plus, Qt::ControlModifier);
        QCOMPARE(w->zoom(), 150);
        w->findChild<QAction*>("mnuZoom200")->trigger();
        QVERIFY(w->zoom() == 200 && qAbs(w->width() - 2 * width100) <= 2);
        QCOMPARE(std::pair(w->lblConnected->font().pointSizeF(), w->picLed[30]->width()),
                 std::pair(2 * font100, 2 * zel::px(85)));
        // The menu bar and the threshold arrows grow too.
        const QRect arrow200 = arrow(w->vsbPkPosLed);
        QVERIFY2(qAbs(arrow200.width() - 2 * arrow100.width()) <= 1 &&
                     qAbs(arrow200.height() - 2 * arrow100.height()) <= 1,
                 qPrintable(QStringLiteral("%1x%2 at 100 %, %3x%4 at 200 %")
                                .arg(arrow100.width())
                                .arg(arrow100.height())
                                .arg(arrow200.width())
                                .arg(arrow200.height())));
        QVERIFY2(w->menuBar()->sizeHint().height() >= menu100 * 3 / 2,
                 qPrintable(QStringLiteral("%1 / %2").arg(menu100).arg(w->menuBar()->sizeHint().height())));
        w->session()->model()->showReadings({30, 10, 40});
        QCoreApplication::processEvents();
        QVERIFY(w->grab().save(QStringLiteral(ZEL_TEST_OUTPUT_DIR "/panel-200.png")));
        auto again = window();
        QCOMPARE(again->zoom(), 200);
        QApplication::setActiveWindow(again.get());
        QTest::keyClick(again.get(), Qt::Key_0, Qt::ControlModifier);
        QCOMPARE(std::pair(again->zoom(), again->width()), std::pair(100, width100));
    }
};

ZEL_TEST(UseFixesTest)
#include "tst_usefixes.moc"
