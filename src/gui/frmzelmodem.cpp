#include "gui/frmzelmodem.h"

#include "core/transport/portname.h"
#include "gui/twips.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTabBar>
#include <QTabWidget>
#include <QValidator>

using zel::placeTwips;

namespace {

const QColor BackColor(192, 192, 192);

// The help texts as the operator's tip frames carry them. The long runs of
// blanks only start a new line in the word-wrapped label.
const char ConnectionTip[] =
    "Pick which way you are going to connect your computer to the Model Zel.  If by a "
    "direct cable, pick which COM port you are going to use.  (Usually COM1 or COM2)";
const char DialingTip[] =
    "Select which mode your modem will use in dialing on an outside line.                 "
    "                 If you need to dial a 9 (or other number) to get an outside line, "
    "check that box.               To disable call waiting while connected to the Zel, "
    "check that box.";
const char ModemSetupTip[] =
    "Pick which ComPort your modem is connected to and what the volume level you want through your modem's "
    "speakers.         If you need to send any additional commands to your modem, use the area provided and "
    "check the Ini. String box.";
const char SpeakerHeading[] = "Modem Speaker            Volume";

QFont controlFont() {
    return zel::panelFont("Arial", 8.25);
}

// A run of several blanks becomes a line break; the double blank after a
// full stop stays as it is.
QString withLineBreaks(const char* text) {
    static const QRegularExpression run(QStringLiteral(" {5,}"));
    return QString::fromLatin1(text).replace(run, QStringLiteral("\n"));
}

// The operator toggles between clear and checked; a greyed state comes only
// from a restored setting and is left by a click to checked.
class TwoStateCheckBox : public QCheckBox {
public:
    using QCheckBox::QCheckBox;

protected:
    void nextCheckState() override {
        setCheckState(checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
    }
};

// Limits what the operator types, not what the program sets: a restored
// text keeps its field padding and may be one blank longer than the limit
// (setMaxLength would cut it). A text the program set, unedited since, is
// acceptable whatever its length, since QLineEdit refuses an invalid edit
// only when the text before it was acceptable. An edit that leaves the text
// over the limit is refused unless it shortens the text.
class TypingLimit : public QValidator {
public:
    TypingLimit(int limit, QLineEdit* edit)
        : QValidator(edit)
        , m_limit(limit)
        , m_edit(edit)
        , m_length(edit->text().size()) {
        // Runs after each change has been validated: the length before the
        // next one.
        connect(edit, &QLineEdit::textChanged, this, [this](const QString& now) { m_length = now.size(); });
    }

    State validate(QString& input, int&) const override {
        if (!m_edit->isModified() || input.size() <= m_limit || input.size() < m_length) return Acceptable;
        return Invalid;
    }

private:
    int m_limit;
    QLineEdit* m_edit;
    qsizetype m_length;
};

template <class W> W* named(W* w, const char* name, int left, int top, int width, int height) {
    w->setObjectName(QString::fromLatin1(name));
    w->setFont(controlFont());
    placeTwips(w, left, top, width, height);
    return w;
}

QRadioButton* makeOption(QWidget* parent, const char* name, const char* caption, int l, int t, int w, int h) {
    return named(new QRadioButton(QString::fromLatin1(caption), parent), name, l, t, w, h);
}

QCheckBox* makeCheck(QWidget* parent, const char* name, const char* caption, int l, int t, int w, int h) {
    QCheckBox* box = named(new TwoStateCheckBox(QString::fromLatin1(caption), parent), name, l, t, w, h);
    // A caption wider than its place (another font, another style) would be
    // cut off: the box grows to the right, into the gap beside it.
    if (box->sizeHint().width() > box->width()) box->resize(box->sizeHint().width(), box->height());
    return box;
}

QGroupBox* makeFrame(QWidget* parent, const char* name, const char* caption, int l, int t, int w, int h) {
    return named(new QGroupBox(QString::fromLatin1(caption), parent), name, l, t, w, h);
}

QLabel* makeLabel(QWidget* parent, const char* name, const QString& text, int l, int t, int w, int h,
                  Qt::Alignment align = Qt::AlignLeft | Qt::AlignTop) {
    auto* label = named(new QLabel(text, parent), name, l, t, w, h);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setAlignment(align);
    return label;
}

QLineEdit* makeText(QWidget* parent, const char* name, const char* text, int limit, int l, int t, int w,
                    int h) {
    auto* edit = named(new QLineEdit(QString::fromLatin1(text), parent), name, l, t, w, h);
    edit->setValidator(new TypingLimit(limit, edit));
    return edit;
}

QComboBox* makePortList(QWidget* parent, const char* name, const char* text, int l, int t, int w, int h) {
    auto* combo = named(new QComboBox(parent), name, l, t, w, h);
    combo->setEditable(true);
    // Typed text is a port of its own, not a new list item.
    combo->setInsertPolicy(QComboBox::NoInsert);
    combo->addItems(zel::availablePortTexts());
    const int index = combo->findText(QString::fromLatin1(text));
    if (index >= 0) combo->setCurrentIndex(index);
    combo->setEditText(QString::fromLatin1(text));
    return combo;
}

} // namespace

FrmZelModem::FrmZelModem(QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("frmZelModem"));
    setWindowTitle(QStringLiteral("Modem Settings"));
    setFont(controlFont());
    QPalette pal = palette();
    pal.setColor(QPalette::Window, BackColor);
    pal.setColor(QPalette::Button, BackColor);
    // Disabled captions must stay readable on the grey background.
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        pal.setColor(QPalette::Disabled, role, QColor(128, 128, 128));
    pal.setColor(QPalette::Disabled, QPalette::Light, BackColor);
    setPalette(pal);
    setFixedSize(zel::px(4260), zel::px(5760));

    tabs = new QTabWidget(this);
    tabs->setObjectName(QStringLiteral("SSTab1"));
    tabs->setFont(controlFont());
    placeTwips(tabs, 0, 0, 4245, 5535);
    buildConnectionTab(addTab(QStringLiteral("Connection"), QStringLiteral("tabConnection")));
    buildDialingTab(addTab(QStringLiteral("Dialing"), QStringLiteral("tabDialing")));
    buildModemSetupTab(addTab(QStringLiteral("Modem Setup"), QStringLiteral("tabModemSetup")));
    buildAlertsTab();
    // Wide enough for every tab's caption: the Alerts tab came after the
    // first three, which alone filled the row.
    const int captions = tabs->tabBar()->sizeHint().width() + zel::px(60);
    if (captions > tabs->width()) {
        tabs->resize(captions, tabs->height());
        setFixedSize(captions + (width() - zel::px(4245)), height());
    }
    tabs->setCurrentIndex(0);

    // In front of the tab control, whichever tab is shown.
    auto makeButton = [this](const char* name, const char* caption, int left) {
        auto* b = named(new QPushButton(QString::fromLatin1(caption), this), name, left, 4920, 1095, 495);
        b->raise();
        return b;
    };
    cmdOk = makeButton("cmdOk", "&Ok", 240);
    cmdApply = makeButton("cmdApply", "&Apply", 1560);
    cmdClose = makeButton("cmdClose", "&Close", 2880);
    cmdOk->setDefault(true);

    connect(cmdOk, &QPushButton::clicked, this, &FrmZelModem::okClicked);
    connect(cmdApply, &QPushButton::clicked, this, &FrmZelModem::applyClicked);
    connect(cmdClose, &QPushButton::clicked, this, &FrmZelModem::closeClicked);
    // Option changes by the operator or by the settings being loaded.
    connect(optDirect, &QRadioButton::toggled, this, &FrmZelModem::updateControls);
    connect(optModem, &QRadioButton::toggled, this, &FrmZelModem::updateControls);
    for (QCheckBox* c : {chkOutside, chkWaiting, chkModemIni})
        connect(c, &QCheckBox::stateChanged, this, &FrmZelModem::updateControls);
    connect(tabs, &QTabWidget::tabBarClicked, this, &FrmZelModem::updateControls);

    // Every edit reaches the session at once: Connect uses what the dialog
    // shows, applied or not.
    for (QRadioButton* r : {optDirect, optModem, optTone, optPulse, optOff, optLow, optLoud})
        connect(r, &QRadioButton::toggled, this, &FrmZelModem::settingsEdited);
    for (QCheckBox* c : {chkOutside, chkWaiting, chkModemIni})
        connect(c, &QCheckBox::stateChanged, this, &FrmZelModem::settingsEdited);
    for (QLineEdit* t : {txtPhoneNumber, txtOutsideLine, txtCallWaiting, txtModemIni})
        connect(t, &QLineEdit::textChanged, this, &FrmZelModem::settingsEdited);
    for (QComboBox* b : {cmbPort, cmbModem})
        connect(b, &QComboBox::currentTextChanged, this, &FrmZelModem::settingsEdited);

    alignTabCanvases();
    updateControls();
}

namespace {

int checkValue(const QCheckBox* box) {
    switch (box->checkState()) {
    case Qt::Checked:
        return 1;
    case Qt::PartiallyChecked:
        return 2;
    default:
        return 0;
    }
}

void setCheckValue(QCheckBox* box, int v) {
    box->setCheckState(v == 1 ? Qt::Checked : v == 2 ? Qt::PartiallyChecked : Qt::Unchecked);
}

// A port box shows the stored text as it is; the list follows when the text
// is one of its items.
void setPortText(QComboBox* box, const QString& port) {
    const int index = box->findText(port);
    if (index >= 0) box->setCurrentIndex(index);
    box->setEditText(port);
}

// The alert kinds of the Alerts tab, in the order of its check boxes.
struct AlertKindBox {
    zel::AlarmKind kind;
    const char* caption;
    const char* name;
};
constexpr AlertKindBox AlertKindBoxes[] = {
    {zel::AlarmKind::Carrier, "Carrier alarm", "chkAlertCarrier"},
    {zel::AlarmKind::AudioLoss, "Audio loss", "chkAlertAudio"},
    {zel::AlarmKind::LinkLost, "Link lost", "chkAlertLink"},
    {zel::AlarmKind::NoData, "No data", "chkAlertNoData"},
    {zel::AlarmKind::Pos125, "+125% peaks", "chkAlertPos125"},
    {zel::AlarmKind::Neg100, "-100% peaks", "chkAlertNeg100"},
};

} // namespace

void FrmZelModem::buildAlertsTab() {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("tabAlerts"));
    page->setAutoFillBackground(true);
    auto* form = new QFormLayout(page);
    form->setContentsMargins(6, 6, 6, 6);
    form->setVerticalSpacing(3);
    auto* kinds = new QGridLayout;
    kinds->setSpacing(2);
    for (int i = 0; i < 6; ++i) {
        chkAlert[i] = new QCheckBox(QString::fromLatin1(AlertKindBoxes[i].caption), page);
        chkAlert[i]->setObjectName(QString::fromLatin1(AlertKindBoxes[i].name));
        kinds->addWidget(chkAlert[i], i / 2, i % 2);
    }
    form->addRow(kinds);
    auto spin = [page](const char* name, int max) {
        auto* b = new QSpinBox(page);
        b->setObjectName(QString::fromLatin1(name));
        b->setRange(0, max);
        return b;
    };
    spnAlertOn = spin("spnAlertOn", zel::AlertSettings::MaxDelayS);
    spnAlertOff = spin("spnAlertOff", zel::AlertSettings::MaxDelayS);
    auto* delays = new QHBoxLayout;
    delays->addWidget(spnAlertOn);
    delays->addWidget(new QLabel(QStringLiteral("off"), page));
    delays->addWidget(spnAlertOff);
    form->addRow(QStringLiteral("Delay on (s)"), delays);
    auto line = [page](const char* name, const char* hint) {
        auto* e = new QLineEdit(page);
        e->setObjectName(QString::fromLatin1(name));
        e->setPlaceholderText(QString::fromLatin1(hint));
        return e;
    };
    txtAlertCommand = line("txtAlertCommand", "program and arguments");
    txtWebhook = line("txtWebhook", "https://...");
    form->addRow(QStringLiteral("Command"), txtAlertCommand);
    lblAlertCommandProblem = new QLabel(page);
    lblAlertCommandProblem->setObjectName(QStringLiteral("lblAlertCommandProblem"));
    lblAlertCommandProblem->setWordWrap(true);
    lblAlertCommandProblem->setTextFormat(Qt::PlainText);
    QPalette warning = lblAlertCommandProblem->palette();
    warning.setColor(QPalette::WindowText, QColor(176, 0, 0));
    lblAlertCommandProblem->setPalette(warning);
    lblAlertCommandProblem->hide();
    form->addRow(lblAlertCommandProblem);
    // Checked when the operator leaves the field; an edit clears the message.
    connect(txtAlertCommand, &QLineEdit::editingFinished, this, &FrmZelModem::checkAlertCommand);
    connect(txtAlertCommand, &QLineEdit::textEdited, lblAlertCommandProblem, &QLabel::hide);
    form->addRow(QStringLiteral("Webhook"), txtWebhook);
    cmdTestAlert = new QPushButton(QStringLiteral("Send test alert"), page);
    cmdTestAlert->setObjectName(QStringLiteral("cmdTestAlert"));
    lblTestAlertResult = new QLabel(page);
    lblTestAlertResult->setObjectName(QStringLiteral("lblTestAlertResult"));
    lblTestAlertResult->setWordWrap(true);
    lblTestAlertResult->setTextFormat(Qt::PlainText);
    auto* test = new QHBoxLayout;
    test->addWidget(cmdTestAlert, 0, Qt::AlignTop);
    test->addWidget(lblTestAlertResult, 1);
    form->addRow(test);
    connect(cmdTestAlert, &QPushButton::clicked, this, &FrmZelModem::testAlertClicked);
    chkStatusPage = new QCheckBox(QStringLiteral("Serve the status page"), page);
    chkStatusPage->setObjectName(QStringLiteral("chkStatusPage"));
    chkStatusPage->setToolTip(QStringLiteral("Takes effect at the next start of the panel."));
    form->addRow(chkStatusPage);
    txtStatusAddress = line("txtStatusAddress", "127.0.0.1");
    spnStatusPort = spin("spnStatusPort", 65535);
    spnStatusPort->setMinimum(1);
    auto* where = new QHBoxLayout;
    where->addWidget(txtStatusAddress, 3);
    where->addWidget(spnStatusPort, 2);
    form->addRow(QStringLiteral("Address"), where);
    txtStatusToken = line("txtStatusToken", "needed off this computer");
    form->addRow(QStringLiteral("Token"), txtStatusToken);
    tabs->addTab(page, QStringLiteral("Alerts"));
    const zel::AlertSettings defaults;
    for (int i = 0; i < 6; ++i)
        chkAlert[i]->setChecked(defaults.isEnabled(AlertKindBoxes[i].kind));
    spnAlertOn->setValue(defaults.onDelayS);
    spnAlertOff->setValue(defaults.offDelayS);
    txtStatusAddress->setText(QStringLiteral("127.0.0.1"));
    spnStatusPort->setValue(8080);
}

zel::AlertSettings FrmZelModem::alertSettings() const {
    zel::AlertSettings a;
    for (int i = 0; i < 6; ++i)
        a.setEnabled(AlertKindBoxes[i].kind, chkAlert[i]->isChecked());
    a.onDelayS = spnAlertOn->value();
    a.offDelayS = spnAlertOff->value();
    a.command = txtAlertCommand->text();
    a.webhookUrl = txtWebhook->text().trimmed();
    return a;
}

void FrmZelModem::loadExtras(QSettings& conf) {
    zel::AlertSettings a;
    a.load(conf);
    for (int i = 0; i < 6; ++i)
        chkAlert[i]->setChecked(a.isEnabled(AlertKindBoxes[i].kind));
    spnAlertOn->setValue(a.onDelayS);
    spnAlertOff->setValue(a.offDelayS);
    txtAlertCommand->setText(a.command);
    checkAlertCommand(); // one edited into zel.conf: the tab says so when opened
    txtWebhook->setText(a.webhookUrl);
    chkStatusPage->setChecked(conf.value(QStringLiteral("http/enabled"), false).toBool());
    txtStatusAddress->setText(
        conf.value(QStringLiteral("http/address"), QStringLiteral("127.0.0.1")).toString());
    spnStatusPort->setValue(conf.value(QStringLiteral("http/port"), 8080).toInt());
    txtStatusToken->setText(conf.value(QStringLiteral("http/token")).toString());
    txtStationName->setText(conf.value(QStringLiteral("site/name")).toString());
}

void FrmZelModem::saveExtras(QSettings& conf) const {
    alertSettings().save(conf);
    conf.setValue(QStringLiteral("http/enabled"), chkStatusPage->isChecked());
    conf.setValue(QStringLiteral("http/address"), txtStatusAddress->text().trimmed());
    conf.setValue(QStringLiteral("http/port"), spnStatusPort->value());
    conf.setValue(QStringLiteral("http/token"), txtStatusToken->text());
    conf.setValue(QStringLiteral("site/name"), txtStationName->text().trimmed());
}

zel::ConnectionSettings FrmZelModem::settings() const {
    zel::ConnectionSettings s;
    s.directCable = optDirect->isChecked();
    s.modemLink = optModem->isChecked();
    s.directPort = cmbPort->currentText();
    s.toneDial = optTone->isChecked();
    s.pulseDial = optPulse->isChecked();
    s.phoneNumber = txtPhoneNumber->text();
    s.outsideLineOn = checkValue(chkOutside);
    s.outsideLineCode = txtOutsideLine->text();
    s.callWaitingOn = checkValue(chkWaiting);
    s.callWaitingCode = txtCallWaiting->text();
    s.modemPort = cmbModem->currentText();
    s.speakerOff = optOff->isChecked();
    s.speakerLow = optLow->isChecked();
    s.speakerLoud = optLoud->isChecked();
    s.modemIniOn = checkValue(chkModemIni);
    s.modemIni = txtModemIni->text();
    return s;
}

void FrmZelModem::setSettings(const zel::ConnectionSettings& s) {
    setOption(optDirect, s.directCable);
    setOption(optModem, s.modemLink);
    setPortText(cmbPort, s.directPort);
    setOption(optTone, s.toneDial);
    setOption(optPulse, s.pulseDial);
    txtPhoneNumber->setText(s.phoneNumber);
    setCheckValue(chkOutside, s.outsideLineOn);
    txtOutsideLine->setText(s.outsideLineCode);
    setCheckValue(chkWaiting, s.callWaitingOn);
    txtCallWaiting->setText(s.callWaitingCode);
    setPortText(cmbModem, s.modemPort);
    setOption(optOff, s.speakerOff);
    setOption(optLow, s.speakerLow);
    setOption(optLoud, s.speakerLoud);
    setCheckValue(chkModemIni, s.modemIniOn);
    txtModemIni->setText(s.modemIni);
    updateControls();
}

QWidget* FrmZelModem::addTab(const QString& caption, const QString& name) {
    auto* page = new QWidget;
    page->setObjectName(name);
    page->setAutoFillBackground(true);
    tabs->addTab(page, caption);
    auto* canvas = new QWidget(page);
    canvas->setObjectName(name + QStringLiteral("Canvas"));
    m_tabCanvases.append(canvas);
    // The pages move when the tab control lays itself out.
    page->installEventFilter(this);
    if (QWidget* stack = page->parentWidget()) stack->installEventFilter(this);
    return canvas;
}

void FrmZelModem::alignTabCanvases() {
    for (QWidget* canvas : m_tabCanvases) {
        const QPoint origin = canvas->parentWidget()->mapTo(tabs, QPoint(0, 0));
        canvas->setGeometry(-origin.x(), -origin.y(), tabs->width(), tabs->height());
    }
}

bool FrmZelModem::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Move || event->type() == QEvent::Resize) alignTabCanvases();
    return QDialog::eventFilter(watched, event);
}

void FrmZelModem::buildConnectionTab(QWidget* tab) {
    connectionFrame = makeFrame(tab, "Frame4", "", 240, 480, 3735, 1095);
    optDirect = makeOption(connectionFrame, "optDirect", "Direct Cable", 240, 240, 1455, 255);
    optModem = makeOption(connectionFrame, "optModem", "Modem", 240, 720, 1095, 255);
    cmbPort = makePortList(connectionFrame, "cmbPort", "COM 1", 1800, 240, 1695, 315);
    // The station's name heads the reports and the status page and goes with
    // every alert (zel.conf's [site] name).
    stationNameLabel = makeLabel(tab, "lblStationName", QStringLiteral("Station name"), 240, 1920, 1335, 255);
    txtStationName = makeText(tab, "txtStationName", "", 80, 1560, 1860, 2415, 315);
    txtStationName->setPlaceholderText(QStringLiteral("WZEL 1230 AM"));
    connectionTipFrame = makeFrame(tab, "Frame1", "Tip", 240, 2880, 3735, 1935);
    connectionTip =
        makeLabel(connectionTipFrame, "Label2", withLineBreaks(ConnectionTip), 360, 480, 3255, 975);
}

void FrmZelModem::buildDialingTab(QWidget* tab) {
    dialingFrame = makeFrame(tab, "Frame5", "", 240, 480, 3735, 1095);
    optTone = makeOption(dialingFrame, "optTone", "Tone", 240, 240, 975, 255);
    optPulse = makeOption(dialingFrame, "optPulse", "Pulse", 240, 720, 1095, 195);
    dialingModeLabel = makeLabel(dialingFrame, "Label5", QStringLiteral("Dialing Mode / Number"), 1200, 240,
                                 2295, 255, Qt::AlignHCenter | Qt::AlignTop);
    txtPhoneNumber = makeText(dialingFrame, "txtPhoneNumber", "", 24, 1200, 600, 2295, 285);
    chkOutside = makeCheck(tab, "chkOutside", "Dial for outside line.", 480, 1920, 1695, 375);
    txtOutsideLine = makeText(tab, "txt9", "9", 5, 3120, 1920, 615, 285);
    chkWaiting = makeCheck(tab, "chkWaiting", "Disable Call waiting.", 480, 2400, 1815, 375);
    txtCallWaiting = makeText(tab, "txt70", "*70", 5, 3120, 2400, 615, 285);
    dialingTipFrame = makeFrame(tab, "Frame2", "Tip", 240, 2880, 3735, 1935);
    dialingTip = makeLabel(dialingTipFrame, "Label3", withLineBreaks(DialingTip), 360, 360, 3255, 1335);
}

void FrmZelModem::buildModemSetupTab(QWidget* tab) {
    modemPortLabel = makeLabel(tab, "Label6", QStringLiteral("Modem Port"), 480, 720, 1335, 255);
    cmbModem = makePortList(tab, "cmbModem", "COM 3", 2040, 720, 1695, 315);
    speakerFrame = makeFrame(tab, "Frame6", "", 240, 1080, 3735, 1335);
    optOff = makeOption(speakerFrame, "optOff", "Off", 240, 120, 1095, 375);
    optLow = makeOption(speakerFrame, "optLow", "Low", 240, 480, 1095, 375);
    optLoud = makeOption(speakerFrame, "optLoud", "Loud", 240, 840, 1095, 375);
    speakerLabel = makeLabel(speakerFrame, "Label7", withLineBreaks(SpeakerHeading), 2040, 480, 1335, 495);
    chkModemIni = makeCheck(tab, "chkModemIni", "Ini. String", 480, 2475, 975, 375);
    txtModemIni = makeText(tab, "txtModemIni", "AT", 23, 1560, 2520, 2175, 315);
    modemSetupTipFrame = makeFrame(tab, "Frame3", "Tip", 240, 2880, 3735, 1935);
    modemSetupTip =
        makeLabel(modemSetupTipFrame, "Label4", withLineBreaks(ModemSetupTip), 360, 480, 3255, 1335);
}

void FrmZelModem::setOption(QRadioButton* button, bool on) {
    if (on) {
        button->setChecked(true);
        return;
    }
    if (!button->isChecked()) return;
    // An exclusive button cannot be cleared directly; its group is left
    // without a selection, as a stored flag may demand.
    const bool exclusive = button->autoExclusive();
    button->setAutoExclusive(false);
    button->setChecked(false);
    button->setAutoExclusive(exclusive);
}

void FrmZelModem::updateControls() {
    const bool direct = optDirect->isChecked();
    const bool modem = !direct; // neither option selected behaves as Modem
    cmbPort->setEnabled(direct);
    for (QWidget* w :
         std::initializer_list<QWidget*>{optTone, optPulse, txtPhoneNumber, chkOutside, chkWaiting, cmbModem,
                                         optOff, optLow, optLoud, chkModemIni})
        w->setEnabled(modem);
    // Only state 1 (checked) counts; greyed does not.
    txtOutsideLine->setEnabled(modem && chkOutside->checkState() == Qt::Checked);
    txtCallWaiting->setEnabled(modem && chkWaiting->checkState() == Qt::Checked);
    txtModemIni->setEnabled(modem && chkModemIni->checkState() == Qt::Checked);
}

bool FrmZelModem::checkAlertCommand() {
    // The alerts run the command split by this same rule: a command it
    // refuses would only fail when an alarm fires, at night.
    QString problem;
    if (txtAlertCommand->text().trimmed().isEmpty() ||
        !zel::splitCommandLine(txtAlertCommand->text(), &problem).isEmpty()) {
        lblAlertCommandProblem->hide();
        return true;
    }
    lblAlertCommandProblem->setText(QStringLiteral("This command cannot be run: %1.").arg(problem));
    lblAlertCommandProblem->show();
    tabs->setCurrentWidget(txtAlertCommand->parentWidget());
    return false;
}

void FrmZelModem::testAlertClicked() {
    m_testAlertResults.clear();
    if (!checkAlertCommand()) {
        showTestAlertResult(QStringLiteral("Not sent: the command cannot be run."));
        return;
    }
    lblTestAlertResult->setText(QStringLiteral("Sending..."));
    emit testAlertRequested();
}

void FrmZelModem::showTestAlertResult(const QString& text) {
    m_testAlertResults.append(text);
    lblTestAlertResult->setText(m_testAlertResults.join(u'\n'));
}

void FrmZelModem::okClicked() {
    if (!checkAlertCommand()) return;
    emit saveRequested();
}

void FrmZelModem::applyClicked() {
    if (!checkAlertCommand()) return;
    emit saveRequested();
    hide();
    emit mainWindowRequested();
}

void FrmZelModem::closeClicked() {
    hide();
    emit mainWindowRequested();
}

void FrmZelModem::reject() {
    closeClicked();
}

void FrmZelModem::closeEvent(QCloseEvent* e) {
    // The dialog holds the settings in force: the frame's close button only
    // hides it, like Close.
    e->ignore();
    if (!isHidden()) closeClicked();
}
