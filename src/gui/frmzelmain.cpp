#include "gui/frmzelmain.h"

#include "core/station/station.h"

#include "core/link/linkcontroller.h"
#include "core/session/monitorsession.h"
#include "gui/colours.h"
#include "gui/frmzelabout.h"
#include "gui/frmzelmodem.h"
#include "gui/indicator.h"
#include "gui/scaledstyle.h"
#include "gui/twips.h"

#include <QAbstractSlider>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QTimer>
#include <algorithm>
#include <iterator>

using zel::panelFont;
using zel::placeTwips;

namespace {

using namespace zel::colour;
constexpr QColor WindowColor = zel::colour::Window;

QString arrayName(const char* name, int index) {
    return QStringLiteral("%1(%2)").arg(QLatin1String(name)).arg(index);
}

QLabel* makeLabel(QWidget* parent, const QString& name, const QString& text, int l, int t, int w, int h,
                  const QFont& font, Qt::Alignment align = Qt::AlignHCenter | Qt::AlignTop) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setFont(font);
    label->setAlignment(align);
    label->setWordWrap(true);
    placeTwips(label, l, t, w, h);
    return label;
}

Indicator* makeShape(QWidget* parent, const QString& name, Indicator::Shape shape, const QColor& fill, int l,
                     int t, int w, int h) {
    auto* s = new Indicator(shape, fill, parent);
    s->setObjectName(name);
    placeTwips(s, l, t, w, h);
    return s;
}

void makeLine(QWidget* parent, const QString& name, int x1, int y1, int x2, int y2) {
    auto* line = new PanelLine(x1, y1, x2, y2, parent);
    line->setObjectName(name);
}

// 32 x 32 pictures of a speaker, sounding or crossed out.
QPixmap speakerPicture(bool on) {
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::black, 1.5));
    p.setBrush(QColor(64, 64, 64));
    QPainterPath body;
    body.moveTo(4, 12);
    body.lineTo(10, 12);
    body.lineTo(18, 5);
    body.lineTo(18, 27);
    body.lineTo(10, 20);
    body.lineTo(4, 20);
    body.closeSubpath();
    p.drawPath(body);
    p.setBrush(Qt::NoBrush);
    if (on) {
        p.setPen(QPen(QColor(0, 128, 0), 2));
        p.drawArc(QRectF(14, 10, 10, 12), -50 * 16, 100 * 16);
        p.drawArc(QRectF(13, 6, 16, 20), -50 * 16, 100 * 16);
    } else {
        p.setPen(QPen(QColor(200, 0, 0), 2.5));
        p.drawLine(21, 11, 29, 21);
        p.drawLine(29, 11, 21, 21);
    }
    return pm;
}

QIcon makeWindowIcon() {
    QPixmap pm(32, 32);
    pm.fill(QColor(208, 208, 208));
    QPainter p(&pm);
    const QColor colours[] = {Green, Green, Green, Green, Yellow, Yellow, Red};
    for (int i = 0; i < 7; ++i)
        p.fillRect(2 + i * 4, 24 - i * 3, 3, 6 + i * 3, colours[i]);
    p.setPen(Qt::black);
    p.drawRect(0, 0, 31, 31);
    return QIcon(pm);
}

// The panel's station: one monitor, named by the port it uses; the outputs
// as zel.conf asks. The settings record is applied to the session later, by
// restoreSettings().
zel::StationConfig panelStation() {
    zel::StationConfig config;
    config.alertsAlways = true; // the tray notification needs no command or webhook
    config.monitors.append(zel::monitorForPort(QString()));
    config.http.enabled = false;
    return config;
}

} // namespace

FrmZelMain::FrmZelMain(zel::MonitorSession* session, QWidget* parent)
    : QMainWindow(parent)
    , m_station(new zel::Station(panelStation(), this, session))
    , m_session(m_station->session(0)) {
    m_station->setObjectName(QStringLiteral("station"));
    m_session->setObjectName(QStringLiteral("session"));
    setObjectName(QStringLiteral("frmZelMain"));
    setWindowTitle(QStringLiteral("Zel - AM Broadcast Modulation Monitor"));
    setWindowIcon(makeWindowIcon());
    createPanel();
    createMenus();
    frmZelModem = new FrmZelModem(this);
    frmZelModem->setObjectName(QStringLiteral("frmZelModem"));
    createBarGraph();
    connectSession();
    restoreSettings();
    startServices();
}

FrmZelMain::~FrmZelMain() = default;

void FrmZelMain::createPanel() {
    m_panel = new QWidget(this);
    m_panel->setObjectName(QStringLiteral("panel"));
    m_panel->setAutoFillBackground(true);
    QPalette pal = m_panel->palette();
    pal.setColor(QPalette::Window, WindowColor);
    pal.setColor(QPalette::WindowText, Qt::black);
    m_panel->setPalette(pal);
    m_panel->setFixedSize(zel::px(ClientWidthTwips), zel::px(FullHeightTwips));
    QWidget* w = m_panel;

    // Painted back to front: bands and boxes first, then what stands on them.
    Indicator* s =
        makeShape(w, "Shape1", Indicator::Shape::RoundedRectangle, WindowColor, 60, 60, 6975, 1575);
    s->setTransparentFill(true);
    s->setBorderWidth(2);
    s = makeShape(w, "Shape3(0)", Indicator::Shape::RoundedRectangle, WindowColor, 7200, 60, 1050, 1575);
    s->setTransparentFill(true);
    s->setBorderWidth(2);
    s = makeShape(w, "Shape4", Indicator::Shape::RoundedRectangle, WindowColor, 8400, 60, 1050, 1575);
    s->setTransparentFill(true);
    s->setBorderWidth(2);
    makeShape(w, arrayName("Shape6", 0), Indicator::Shape::Rectangle, DimGreen, 240, 600, 4215, 270);
    makeShape(w, arrayName("Shape6", 1), Indicator::Shape::Rectangle, DimYellow, 4440, 600, 1095, 270);
    makeShape(w, arrayName("Shape6", 2), Indicator::Shape::Rectangle, DimRed, 5520, 600, 495, 270);

    // Bar graph templates; Form_Load creates elements 1 to 56.
    picLed.append(
        makeShape(w, arrayName("picLed", 0), Indicator::Shape::Rectangle, WindowColor, 120, 600, 85, 255));
    picDot.append(
        makeShape(w, arrayName("picDot", 0), Indicator::Shape::Rectangle, WindowColor, 120, 600, 85, 255));

    // Scale.
    const QFont scaleFont = panelFont("Arial", 8.25, true);
    struct ScaleLabel {
        int index;
        const char* text;
        int left;
    };
    const ScaleLabel percent[] = {{0, "30%", 480},   {1, "40%", 960},  {2, "50%", 1560}, {3, "60%", 2040},
                                  {4, "70%", 2520},  {5, "90%", 3600}, {6, "80%", 3000}, {7, "120%", 5160},
                                  {8, "130%", 5760}, {9, "110%", 4680}};
    for (const auto& l : percent)
        makeLabel(w, arrayName("Label11", l.index), QString::fromLatin1(l.text), l.left, 240, 495, 255,
                  scaleFont);
    makeLabel(w, "Label1", "100%", 4080, 120, 615, 255, panelFont("Arial", 9.75, true));
    const ScaleLabel decibel[] = {{13, "-10", 600}, {14, "-6", 1560},  {15, "-3", 2520}, {16, "-2", 3120},
                                  {17, "-1", 3600}, {18, "0dB", 4200}, {19, "+1", 4800}, {20, "+2", 5520}};
    for (const auto& l : decibel)
        makeLabel(w, arrayName("Label11", l.index), QString::fromLatin1(l.text), l.left, 960, 495, 255,
                  l.index == 18 ? panelFont("Arial", 9, true) : scaleFont);
    const struct {
        const char* name;
        int x;
    } ticks[] = {{"Line3", 688},  {"Line4", 1213},  {"Line6", 1738},  {"Line7", 2263},  {"Line8", 2788},
                 {"Line9", 3313}, {"Line10", 3838}, {"Line11", 4920}, {"Line12", 5413}, {"Line13", 5938}};
    for (const auto& t : ticks)
        makeLine(w, QString::fromLatin1(t.name), t.x, 450, t.x, 600);
    makeLine(w, "Line1", 4363, 360, 4363, 590);
    const int shortTicks[] = {793, 1003, 1213, 1423, 1738, 2368, 2788, 3313, 3838, 4363, 4993, 5728};
    for (int i = 0; i < 12; ++i)
        makeLine(w, arrayName("Line15", i), shortTicks[i], 840, shortTicks[i], 980);

    // Decoration.
    makeLabel(w, "Label2", "M O D U L A T I O N", 1440, 1250, 3255, 495, panelFont("Arial", 15.75));
    makeLine(w, "Line14", 240, 1420, 1320, 1420);
    makeLine(w, "Line5", 4920, 1420, 6000, 1420);
    makeLine(w, "Line16", 0, 0, 9500, 0);

    // Selector.
    cmdSelect = new QPushButton(w);
    cmdSelect->setObjectName(QStringLiteral("cmdSelect"));
    cmdSelect->setFont(scaleFont);
    placeTwips(cmdSelect, 6360, 960, 495, 255);
    makeLabel(w, "Label3", "SELECT", 6240, 1250, 735, 255, scaleFont);
    const int selectLeft[] = {6750, 6525, 6300};
    for (int i = 0; i < 3; ++i)
        shpSelectLed[i] = makeShape(w, arrayName("shpSelectLed", i), Indicator::Shape::Circle,
                                    i == 0 ? Green : DimGreen, selectLeft[i], 600, 150, 255);
    // Legends centred over their LEDs.
    const QFont tiny = panelFont("Arial", 6);
    // The LEDs stand 15 pixels apart, narrower than "NEG." at this size:
    // the middle legend sits a row higher so the three read apart.
    makeLabel(w, arrayName("Label4", 5), "POS.", 6675, 480, 300, 135, tiny);
    makeLabel(w, arrayName("Label4", 4), "NEG.", 6450, 300, 300, 135, tiny);
    makeLabel(w, arrayName("Label4", 6), "RF", 6225, 480, 300, 135, tiny);
    makeLine(w, "Line2", 6600, 810, 6600, 940);

    // Variable peak thresholds. Their arrows grow with the zoom (setZoom).
    auto* thresholdStyle = new zel::ScaledStyle(this);
    auto makeThreshold = [&](const char* name, int top, int value) {
        auto* sb = new QScrollBar(Qt::Vertical, w);
        sb->setObjectName(QString::fromLatin1(name));
        sb->setStyle(thresholdStyle);
        sb->setRange(70, 130);
        sb->setSingleStep(1);
        sb->setPageStep(1);
        // The highest threshold at the top, and the upper arrow raises it:
        // a scroll bar's upper arrow always steps down, so each step is
        // turned round before it takes effect.
        sb->setInvertedAppearance(true);
        sb->setInvertedControls(false);
        connect(sb, &QAbstractSlider::actionTriggered, sb, [sb](int action) {
            switch (action) {
            case QAbstractSlider::SliderSingleStepAdd:
            case QAbstractSlider::SliderPageStepAdd:
                sb->setSliderPosition(sb->value() - sb->singleStep());
                break;
            case QAbstractSlider::SliderSingleStepSub:
            case QAbstractSlider::SliderPageStepSub:
                sb->setSliderPosition(sb->value() + sb->singleStep());
                break;
            default:
                break;
            }
        });
        sb->setValue(value);
        placeTwips(sb, 8040, top, 135, 285);
        return sb;
    };
    vsbPkPosLed = makeThreshold("vsbPkPosLed", 240, 110);
    vsbPkNegLed = makeThreshold("vsbPkNegLed", 840, 96);
    auto makeLevelBox = [&](const char* name, int top) {
        auto* t = new QLineEdit(QStringLiteral("000"), w);
        t->setObjectName(QString::fromLatin1(name));
        t->setReadOnly(true);
        t->setFrame(false);
        t->setAlignment(Qt::AlignCenter);
        t->setFocusPolicy(Qt::NoFocus);
        t->setFont(panelFont("Arial", 8.25, true));
        t->setTextMargins(0, 0, 0, 0);
        placeTwips(t, 7560, top, 495, 285);
        return t;
    };
    txtPkPosLed = makeLevelBox("txtPkPosLed", 240);
    txtPkNegLed = makeLevelBox("txtPkNegLed", 840);
    shpPkPosLed = makeShape(w, "shpPkPosLed", Indicator::Shape::Circle, DimYellow, 7320, 240, 150, 255);
    shpPkNegLed = makeShape(w, "shpPkNegLed", Indicator::Shape::Circle, DimYellow, 7320, 840, 150, 255);
    makeLabel(w, arrayName("Label11", 12), "POS. PK", 7200, 540, 975, 135, panelFont("Arial", 6.75, true));
    makeLabel(w, arrayName("Label11", 10), "NEG. PK", 7200, 1140, 975, 135, panelFont("Arial", 6.75, true));
    makeLabel(w, arrayName("Label11", 11), "Pk Presets", 7200, 1350, 1050, 255,
              panelFont("Arial", 8.25, true));

    // Fixed peak and alarm LEDs.
    shpPkPos125Led = makeShape(w, "shpPkPos125Led", Indicator::Shape::Circle, DimRed, 8520, 160, 255, 255);
    shpPkNeg100Led = makeShape(w, "shpPkNeg100Led", Indicator::Shape::Circle, DimRed, 8520, 523, 255, 255);
    shpCarrierLed = makeShape(w, "shpCarrierLed", Indicator::Shape::Circle, DimRed, 8520, 886, 255, 255);
    shpAudioLed = makeShape(w, "shpAudioLed", Indicator::Shape::Circle, DimRed, 8520, 1250, 255, 255);
    const QFont legend = panelFont("Arial", 8.25);
    // Legends start clear of their LEDs and end clear of the block's border.
    makeLabel(w, arrayName("Label4", 0), "+125%", 8820, 160, 570, 255, legend,
              Qt::AlignLeft | Qt::AlignVCenter);
    makeLabel(w, arrayName("Label4", 1), "-100%", 8820, 523, 570, 255, legend,
              Qt::AlignLeft | Qt::AlignVCenter);
    makeLabel(w, arrayName("Label4", 2), "CARRIER ALARM", 8800, 886, 600, 255, tiny, Qt::AlignCenter);
    makeLabel(w, arrayName("Label4", 3), "AUDIO LOSS", 8800, 1250, 600, 255, tiny, Qt::AlignCenter);

    // Connection status labels, one visible at a time.
    auto makeStatus = [&](const char* name, const char* text, const QColor& back) {
        auto* l = new ColorLabel(QString::fromLatin1(text), back, w);
        l->setObjectName(QString::fromLatin1(name));
        l->setAlignment(Qt::AlignCenter);
        l->setFont(panelFont("Arial", 8.25, true));
        placeTwips(l, 1560, 1920, 4575, 255);
        l->hide();
        return l;
    };
    lblOffLine = makeStatus("lblOffLine", "Off Line", QColor(255, 128, 0));
    lblNoDialTone = makeStatus("lblNoDialTone", "No Dial Tone", QColor(255, 128, 128));
    lblInitializing = makeStatus("lblInitializing", "Initializing", QColor(128, 255, 255));
    lblHanging = makeStatus("lblHanging", "Hanging Up", QColor(255, 255, 0));
    lblDialing = makeStatus("lblDialing", "Dialing", QColor(128, 255, 255));
    lblConnected = makeStatus("lblConnected", "Connected", QColor(128, 255, 128));
    lblBusy = makeStatus("lblBusy", "Busy", QColor(255, 128, 128));
    lblReconnecting = makeStatus("lblReconnecting", "Reconnecting", QColor(255, 200, 0));
    lblNoData = makeStatus("lblNoData", "No Data", QColor(255, 160, 160));
    lblDialing->show();

    // Speaker switch.
    auto makeSpeaker = [&](const char* name, bool on) {
        auto* img = new ClickableImage(w);
        img->setObjectName(QString::fromLatin1(name));
        img->setPixmap(speakerPicture(on));
        img->setAlignment(Qt::AlignCenter);
        img->setCursor(Qt::PointingHandCursor);
        img->setToolTip(on ? QStringLiteral("Alarm sound on") : QStringLiteral("Alarm sound off"));
        placeTwips(img, 240, 1800, 480, 480);
        return img;
    };
    imgSpeakerOn = makeSpeaker("imgSpeakerOn", true);
    imgSpeakerOff = makeSpeaker("imgSpeakerOff", false);
    imgSpeakerOff->hide();

    // Buttons.
    cmdConnect = new QPushButton(QStringLiteral("&Connect"), w);
    cmdConnect->setObjectName(QStringLiteral("cmdConnect"));
    cmdConnect->setFont(panelFont("Arial", 8.25));
    placeTwips(cmdConnect, 7200, 1800, 975, 375);
    cmdExit = new QPushButton(QStringLiteral("E&xit"), w);
    cmdExit->setObjectName(QStringLiteral("cmdExit"));
    cmdExit->setFont(panelFont("Arial", 8.25));
    placeTwips(cmdExit, 8400, 1800, 975, 375);

    // Diagnostic area, below the visible client area.
    auto* heading = new ColorLabel(QStringLiteral("Diagnostic Area - Not for standard use"), Red, w);
    heading->setObjectName(QStringLiteral("Label5"));
    heading->setAlignment(Qt::AlignCenter);
    heading->setFont(panelFont("Arial", 8.25, true));
    placeTwips(heading, 120, 2760, 9255, 375);
    lblRcvdat =
        makeLabel(w, "lblRcvdat", "EMPTY", 120, 3360, 2415, 255, panelFont("Arial", 8.25), Qt::AlignCenter);
    lblRcvdat->setWordWrap(false);
    lblRcvdat->setFrameShape(QFrame::Box);
    lblRcvdat->setTextFormat(Qt::PlainText);
    // Its text changes with every packet; a fixed size spares the parent a
    // layout request each time.
    lblRcvdat->setFixedSize(lblRcvdat->size());
    // The poll's depth and round trip, under the raw read.
    lblPollStats =
        makeLabel(w, "lblPollStats", "", 120, 3660, 2415, 255, panelFont("Arial", 8.25), Qt::AlignCenter);
    lblPollStats->setTextFormat(Qt::PlainText);
    picshow = new QListWidget(w);
    picshow->setObjectName(QStringLiteral("picshow"));
    picshow->setFont(panelFont("Arial", 8.25));
    placeTwips(picshow, 2760, 3360, 6615, 3180);

    setCentralWidget(m_panel);
}

void FrmZelMain::createMenus() {
    QMenuBar* bar = menuBar();
    bar->setNativeMenuBar(false);
    mnuFile = bar->addMenu(QStringLiteral("&File"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    mnuSaveDefaults = mnuFile->addAction(QStringLiteral("&Save Defaults"));
    mnuSaveDefaults->setObjectName(QStringLiteral("mnuSaveDefaults"));
    mnuDailyReport = mnuFile->addAction(QStringLiteral("Daily &Report..."));
    mnuDailyReport->setObjectName(QStringLiteral("mnuDailyReport"));
    mnuComplianceReport = mnuFile->addAction(QStringLiteral("&Compliance Report\u2026"));
    mnuComplianceReport->setObjectName(QStringLiteral("mnuComplianceReport"));
    connect(mnuComplianceReport, &QAction::triggered, this, &FrmZelMain::writeComplianceReport);
    mnuLine1 = mnuFile->addSeparator();
    mnuLine1->setObjectName(QStringLiteral("mnuLine1"));
    mnuExit = mnuFile->addAction(QStringLiteral("E&xit"));
    mnuExit->setObjectName(QStringLiteral("mnuExit"));
    mnuModem = bar->addMenu(QStringLiteral("&Modem"));
    mnuModem->setObjectName(QStringLiteral("mnuModem"));
    mnuModemSettings = mnuModem->addAction(QStringLiteral("&Modem Settings"));
    mnuModemSettings->setObjectName(QStringLiteral("mnuModemSettings"));
    mnuView = bar->addMenu(QStringLiteral("&View"));
    mnuView->setObjectName(QStringLiteral("mnuView"));
    mnuHistory = mnuView->addAction(QStringLiteral("&History"));
    mnuHistory->setObjectName(QStringLiteral("mnuHistory"));
    QMenu* zoom = mnuView->addMenu(QStringLiteral("&Zoom"));
    zoom->setObjectName(QStringLiteral("mnuZoom"));
    auto* levels = new QActionGroup(this);
    for (int percent : ZoomLevels) {
        QAction* a = zoom->addAction(QStringLiteral("%1 %").arg(percent));
        a->setObjectName(QStringLiteral("mnuZoom%1").arg(percent));
        a->setCheckable(true);
        a->setData(percent);
        levels->addAction(a);
        connect(a, &QAction::triggered, this, [this, percent] { setZoom(percent); });
    }
    zoom->addSeparator();
    auto addStep = [&](const char* name, const QString& text, const QList<QKeySequence>& keys, int step) {
        QAction* a = zoom->addAction(text);
        a->setObjectName(QString::fromLatin1(name));
        a->setShortcuts(keys);
        connect(a, &QAction::triggered, this, [this, step] { stepZoom(step); });
    };
    addStep("mnuZoomIn", QStringLiteral("Zoom &In"),
            {QKeySequence(Qt::CTRL | Qt::Key_Plus), QKeySequence(Qt::CTRL | Qt::Key_Equal)}, 1);
    addStep("mnuZoomOut", QStringLiteral("Zoom &Out"), {QKeySequence(Qt::CTRL | Qt::Key_Minus)}, -1);
    addStep("mnuZoomReset", QStringLiteral("&Actual Size"), {QKeySequence(Qt::CTRL | Qt::Key_0)}, 0);
    mnuHelp = bar->addMenu(QStringLiteral("&Help"));
    mnuHelp->setObjectName(QStringLiteral("mnuHelp"));
    mnuAbout = mnuHelp->addAction(QStringLiteral("&About"));
    mnuAbout->setObjectName(QStringLiteral("mnuAbout"));
}

void FrmZelMain::stepZoom(int step) {
    if (step == 0) {
        setZoom(100);
        return;
    }
    const int* at = std::find(std::begin(ZoomLevels), std::end(ZoomLevels), m_zoom);
    const int index = int(at - std::begin(ZoomLevels)) + step;
    if (index >= 0 && index < int(std::size(ZoomLevels))) setZoom(ZoomLevels[index]);
}

void FrmZelMain::setZoom(int percent) {
    if (std::find(std::begin(ZoomLevels), std::end(ZoomLevels), percent) == std::end(ZoomLevels))
        percent = 100;
    const double f = percent / 100.0;
    // Every control of the panel from its place and font at 100 %, kept on
    // the first zoom, so repeated zooming never accumulates rounding.
    for (QWidget* c : m_panel->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (!c->property("zelBaseGeometry").isValid()) {
            c->setProperty("zelBaseGeometry", c->geometry());
            c->setProperty("zelBaseFontSize", c->font().pointSizeF());
        }
        const QRect b = c->property("zelBaseGeometry").toRect();
        const QRect r(qRound(b.x() * f), qRound(b.y() * f), qMax(1, qRound(b.width() * f)),
                      qMax(1, qRound(b.height() * f)));
        if (c->minimumSize() == c->maximumSize()) c->setFixedSize(r.size());
        c->setGeometry(r);
        QFont font = c->font();
        font.setPointSizeF(c->property("zelBaseFontSize").toDouble() * f);
        c->setFont(font);
        // Type does not grow quite in step with the pixels: a caption whose
        // line came out taller than its place gets the height it needs.
        if (auto* label = qobject_cast<QLabel*>(c); label && !label->text().isEmpty() && percent != 100) {
            const int flags = int(label->alignment()) | (label->wordWrap() ? Qt::TextWordWrap : 0);
            const int need = QFontMetrics(font).boundingRect(label->rect(), flags, label->text()).height();
            if (need > label->height()) label->resize(label->width(), need);
        }
    }
    for (ClickableImage* img : {imgSpeakerOn, imgSpeakerOff})
        img->setScaledContents(percent != 100);
    if (auto* style = dynamic_cast<zel::ScaledStyle*>(vsbPkPosLed->style())) style->setScale(f);
    std::vector<QRect> columns;
    for (int i = 0; i < zel::BarGraph::Elements; ++i)
        columns.push_back(picLed[i]->geometry() | picDot[i]->geometry());
    m_barSpans = zel::SpanRegions(std::move(columns));

    const double shownPart = m_zoom > 0 ? double(height() - menuBar()->sizeHint().height()) /
                                              (zel::px(FullHeightTwips) * m_zoom / 100.0)
                                        : 0;
    // The menu bar and its menus (separate windows, so not reached by the
    // bar's font) grow with the panel.
    QList<QWidget*> menus{menuBar()};
    for (QMenu* m : menuBar()->findChildren<QMenu*>())
        menus.append(m);
    for (QWidget* m : menus) {
        if (!m->property("zelBaseFontSize").isValid())
            m->setProperty("zelBaseFontSize", m->font().pointSizeF());
        QFont font = m->font();
        font.setPointSizeF(m->property("zelBaseFontSize").toDouble() * f);
        m->setFont(font);
    }
    const int menuHeight = menuBar()->sizeHint().height();
    m_panel->setFixedSize(qRound(zel::px(ClientWidthTwips) * f), qRound(zel::px(FullHeightTwips) * f));
    setFixedWidth(qRound(zel::px(ClientWidthTwips) * f));
    setMinimumHeight(menuHeight + qRound(zel::px(ClientHeightTwips) * f));
    setMaximumHeight(menuHeight + qRound(zel::px(FullHeightTwips) * f));
    // The diagnostic area stays as far open as it was.
    const int client = qRound(zel::px(FullHeightTwips) * f * shownPart);
    resize(width(), menuHeight + qMax(qRound(zel::px(ClientHeightTwips) * f), client));
    m_zoom = percent;
    for (QAction* a : menuBar()->findChildren<QAction*>())
        if (a->isCheckable() && a->data().isValid()) a->setChecked(a->data().toInt() == percent);
    QSettings conf(zel::SettingsStore::confPath(), QSettings::IniFormat);
    if (conf.value(QStringLiteral("view/zoom"), 100).toInt() != percent)
        conf.setValue(QStringLiteral("view/zoom"), percent);
}

void FrmZelMain::createBarGraph() {
    // The window opens at its design client size; its width is fixed and its
    // height may be pulled down to reveal the diagnostic area.
    const int menuHeight = menuBar()->sizeHint().height();
    setFixedWidth(zel::px(ClientWidthTwips));
    setMinimumHeight(menuHeight + zel::px(ClientHeightTwips));
    setMaximumHeight(menuHeight + zel::px(FullHeightTwips));
    resize(zel::px(ClientWidthTwips), menuHeight + zel::px(ClientHeightTwips));
    centreOnScreen();

    for (int i = 1; i <= 56; ++i) {
        const QColor c = i <= 40 ? Green : i <= 50 ? Yellow : Red;
        for (QVector<Indicator*>* array : {&picLed, &picDot}) {
            Indicator* tmpl = array->at(0);
            const bool led = array == &picLed;
            auto* e = new Indicator(Indicator::Shape::Rectangle, c, m_panel);
            e->setObjectName(arrayName(led ? "picLed" : "picDot", i));
            const QRect prev = array->at(i - 1)->geometry();
            e->setGeometry(prev.x() + zel::px(85 + 20), tmpl->y(), tmpl->width(), tmpl->height());
            // A "hidden" segment is a dark one (see Indicator).
            e->setLit(false);
            // Segments and markers stand above the bands.
            e->raise();
            array->append(e);
        }
    }
    std::vector<QRect> columns;
    for (int i = 0; i < zel::BarGraph::Elements; ++i)
        columns.push_back(picLed[i]->geometry() | picDot[i]->geometry());
    m_barSpans = zel::SpanRegions(std::move(columns));
    picLed[0]->hide();
    picLed[56]->hide();
    picDot[0]->hide();
    picDot[56]->hide();
    lblOffLine->show();
    lblDialing->hide();
    m_zoom = 100;
    const int zoom = QSettings(zel::SettingsStore::confPath(), QSettings::IniFormat)
                         .value(QStringLiteral("view/zoom"), 100)
                         .toInt();
    setZoom(zoom);
}

void FrmZelMain::centreOnScreen() {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    const QSize outer = frameGeometry().size().expandedTo(size());
    const QRect s = screen->geometry();
    // Not clamped: on a screen smaller than the window it sits partly off it.
    const float left = float(s.width() - outer.width()) / 2.0f;
    const float top = float(s.height() - outer.height()) / 2.0f;
    move(s.x() + int(left), s.y() + int(top));
}
