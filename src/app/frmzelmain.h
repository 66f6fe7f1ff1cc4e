#pragma once
// The main window: the live replica of the monitor's front panel and the
// owner of everything the program does. Controls carry their names as
// objectName (control-array elements as "picLed(12)"); event procedures are
// slots so they can be invoked by name. The procedures are spread over the
// folders of their subsystem: start-up, menus and exit here in app/, the link
// in link/, the poll and decoding in telemetry/, the indicators in panel/,
// the settings file in settings/.
#include <QByteArray>
#include <QMainWindow>
#include <QPointer>
#include <QVector>
#include <functional>

#include "panel/bargraph.h"
#include "panel/spanregions.h"
#include "settings/diskfile.h"
#include "telemetry/packetframer.h"

class ClickableImage;
class ColorLabel;
class FrmZelAbout;
class FrmZelModem;
class Indicator;
class QAction;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPushButton;
class QScrollBar;
class QTimer;
class SerialIo;

class FrmZelMain : public QMainWindow {
    Q_OBJECT
public:
    // `port` replaces the real serial port (tests pass a fake); the window
    // takes ownership. Form_Load runs before the constructor returns.
    explicit FrmZelMain(SerialIo* port = nullptr, QWidget* parent = nullptr);
    ~FrmZelMain() override;

    static constexpr int ClientWidthTwips = 9480;
    static constexpr int ClientHeightTwips = 2445;
    // The panel including the diagnostic area below the visible client area.
    static constexpr int FullHeightTwips = 6660;

    SerialIo* MSComm1 = nullptr;
    FrmZelModem* frmZelModem = nullptr;
    QPointer<FrmZelAbout> frmZelAbout; // created on first showing, gone when closed

    // Bar graph
    QVector<Indicator*> picLed; // 0..56
    QVector<Indicator*> picDot; // 0..56
    // Indicators and controls used by the procedures
    QPushButton* cmdSelect = nullptr;
    QPushButton* cmdConnect = nullptr;
    QPushButton* cmdExit = nullptr;
    Indicator* shpSelectLed[3] = {};
    Indicator* shpPkPosLed = nullptr;
    Indicator* shpPkNegLed = nullptr;
    Indicator* shpPkPos125Led = nullptr;
    Indicator* shpPkNeg100Led = nullptr;
    Indicator* shpCarrierLed = nullptr;
    Indicator* shpAudioLed = nullptr;
    QScrollBar* vsbPkPosLed = nullptr;
    QScrollBar* vsbPkNegLed = nullptr;
    QLineEdit* txtPkPosLed = nullptr;
    QLineEdit* txtPkNegLed = nullptr;
    ColorLabel* lblOffLine = nullptr;
    ColorLabel* lblNoDialTone = nullptr;
    ColorLabel* lblInitializing = nullptr;
    ColorLabel* lblHanging = nullptr;
    ColorLabel* lblDialing = nullptr;
    ColorLabel* lblConnected = nullptr;
    ColorLabel* lblBusy = nullptr;
    ClickableImage* imgSpeakerOn = nullptr;
    ClickableImage* imgSpeakerOff = nullptr;
    QLabel* lblRcvdat = nullptr;
    QListWidget* picshow = nullptr;
    // Timers
    QTimer* tmrXmit = nullptr;
    QTimer* tmrDelay = nullptr;
    QTimer* tmrSecBeep = nullptr;
    QTimer* tmrPkNeg100 = nullptr;
    QTimer* tmrPkPos125 = nullptr;
    QTimer* tmrPkNegVar = nullptr;
    QTimer* tmrPkPosVar = nullptr;
    QTimer* tmrAudio = nullptr;
    // Menus
    QMenu* mnuFile = nullptr;
    QAction* mnuSaveDefaults = nullptr;
    QAction* mnuLine1 = nullptr;
    QAction* mnuExit = nullptr;
    QMenu* mnuModem = nullptr;
    QAction* mnuModemSettings = nullptr;
    QMenu* mnuHelp = nullptr;
    QAction* mnuAbout = nullptr;

    // Window-level variables shared by the procedures.
    QByteArray InputString;
    float PosPeak = 0;
    float NegPeak = 0;
    float CarrierLevel = 0;
    short BarSelect = 0;
    zel::BarGraph barGraph; // HoldPeak, HoldIndex, HoldCount and what is lit
    QByteArray ModemResponse;
    QString ModemPort;
    bool DelayFlag = false;
    zel::PacketFramer framer;
    zel::DiskFileDefinition record; // the record Restore_Data reads into

    // Retry interval of the poll when a request went unanswered.
    static constexpr int PollRetryMs = 50;
    // Replies between fresh starts of the poll: about two seconds at 9600 baud.
    static constexpr int PollRestartReplies = 200;
    // Bound on the modem reply wait and on the text it gathers.
    static constexpr int ModemReplyTimeoutMs = 60000;
    static constexpr int ModemTextLimit = 4096;

signals:
    // Every sounded beep, so tests can count them.
    void beeped();
    // A packet was decoded and shown (benchmarks stamp it).
    void packetShown();
    // Exit_Program was confirmed: the window is closed and idle; main()
    // ends the program on this.
    void programEnded();

public slots:
    // app/
    void Form_Load();
    void cmdExit_Click();
    void mnuExit_Click();
    void mnuAbout_Click();
    void mnuModemSettings_Click();
    void Exit_Program();
    // link/
    void cmdConnect_Click();
    void tmrDelay_Timer();
    void Modem_status();
    // The modem reply wait ran out (no answer within ModemReplyTimeoutMs).
    void tmrModemTimeout();
    // telemetry/
    void tmrXmit_Timer();
    void RecData();
    void ConvertInputString();
    // panel/
    void BarUpdate();
    void PeakUpdate();
    void ClearDisplay();
    void SecBeep();
    void cmdSelect_Click();
    void vsbPkPosLed_Change();
    void vsbPkNegLed_Change();
    void imgSpeakerOn_Click();
    void imgSpeakerOff_Click();
    void tmrAudio_Timer();
    void tmrSecBeep_Timer();
    void tmrPkPos125_Timer();
    void tmrPkNeg100_Timer();
    void tmrPkPosVar_Timer();
    void tmrPkNegVar_Timer();
    // settings/
    void mnuSaveDefaults_Click();
    void Save_Data();
    void Restore_Data();

public:
    // Waits `t` ms without blocking: tmrDelay ticks once and runs `then`.
    // A Disconnect cancels what is pending (cancelDelay).
    void Delay(float t, std::function<void()> then);
    void cancelDelay();
    bool isExiting() const { return m_exiting; }
    // Sounds the system beep (when allowed by SecBeep's rules, the callers'
    // business) and emits beeped().
    void beep();

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    void createPanel();
    void createMenus();
    void createTimers();
    void connectEvents();
    void centreOnScreen();
    // link/
    void connectDirect();
    // Opens the port named by `portText`; on failure reports it and goes
    // Off Line.
    bool openPort(const QString& portText);
    void connectModem();
    void connectTail();
    void disconnectLink();
    void disconnectTail();
    // Shows one connection status label and hides the other six.
    void showStatus(ColorLabel* label);
    void onPortFailed(const QString& reason);
    void onReadyRead();
    void onReplyOverdue(int arrived);
    void startPolling();
    void sendPoll();
    void askForReplies();
    void awaitNextReply();
    int charactersToComplete() const;
    void showPortError(const QString& port, const QString& reason);
    // panel/
    void applyBarGraph();
    // Modem dialling (link/)
    void dialAndWait();
    void onModemReply();
    void endModemWait();
    void modemFailed(ColorLabel* label);
    void logModem(const QString& line);

    QWidget* m_panel = nullptr;
    QTimer* m_modemTimeout = nullptr;
    std::function<void()> m_delayThen;
    bool m_exiting = false;
    bool m_modemWaiting = false;
    int m_inFlight = 0;         // requests not yet answered, as far as is known
    bool m_draining = false;    // asking for nothing until the line is idle
    int m_repliesToRestart = 0; // replies until the poll starts afresh
    zel::BarGraph::Bits m_shownLeds;
    zel::BarGraph::Bits m_shownDots;
    zel::SpanRegions m_barSpans; // repaint regions of runs of bar columns
};
