#pragma once
// The main window: the live replica of the monitor's front panel, a view of
// one MonitorSession. It builds the named controls (control-array elements
// as "picLed(12)"), shows what the session's signals carry and turns clicks
// into calls on the session; it owns the session as a child object, so every
// named timer is found from the window. Nothing is read back from a widget.
#include <QByteArray>
#include <QMainWindow>
#include <QPointer>
#include <QVector>

#include "core/monitor/bargraph.h"
#include "core/settings/settings.h"
#include "core/types/types.h"
#include "gui/spanregions.h"

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

class QSystemTrayIcon;

namespace zel {
class Station;
class HistoryStore;
class HistoryWindow;
class MonitorSession;
class StatusServer;
} // namespace zel

class FrmZelMain : public QMainWindow {
    Q_OBJECT
public:
    // The window owns its station: one monitor from the settings record, its
    // outputs from zel.conf. `session`, when given, is that monitor's session
    // made beforehand (tests pass one with a stand-in transport); the window
    // takes it. Settings are restored before the constructor returns.
    explicit FrmZelMain(zel::MonitorSession* session = nullptr, QWidget* parent = nullptr);
    ~FrmZelMain() override;

    static constexpr int ClientWidthTwips = 9480;
    static constexpr int ClientHeightTwips = 2445;
    // The panel including the diagnostic area below the visible client area.
    static constexpr int FullHeightTwips = 6660;
    // The diagnostic list keeps this many recent lines.
    static constexpr int ModemLogLimit = 3000;

    zel::MonitorSession* session() const { return m_session; }
    zel::Station* station() const { return m_station; }

    FrmZelModem* frmZelModem = nullptr;
    QPointer<FrmZelAbout> frmZelAbout; // created on first showing, gone when closed

    // Bar graph
    QVector<Indicator*> picLed; // 0..56
    QVector<Indicator*> picDot; // 0..56
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
    ColorLabel* lblReconnecting = nullptr;
    ColorLabel* lblNoData = nullptr;
    ClickableImage* imgSpeakerOn = nullptr;
    ClickableImage* imgSpeakerOff = nullptr;
    QLabel* lblRcvdat = nullptr;
    QLabel* lblPollStats = nullptr;
    QListWidget* picshow = nullptr;
    // Menus
    QMenu* mnuFile = nullptr;
    QAction* mnuSaveDefaults = nullptr;
    QAction* mnuDailyReport = nullptr;
    QAction* mnuComplianceReport = nullptr;
    QAction* mnuHistory = nullptr;
    QAction* mnuLine1 = nullptr;
    QAction* mnuExit = nullptr;
    QMenu* mnuModem = nullptr;
    QAction* mnuModemSettings = nullptr;
    QMenu* mnuView = nullptr;
    QMenu* mnuHelp = nullptr;
    QAction* mnuAbout = nullptr;

    bool isExiting() const { return m_exiting; }
    static constexpr int ZoomLevels[] = {100, 150, 200};
    int zoom() const { return m_zoom; }

signals:
    // Every sounded beep, so tests can count them.
    void beeped();
    // A packet was decoded and shown (benchmarks stamp it).
    void packetShown();
    // The exit was confirmed: the window is closed and idle; main() ends the
    // program on this.
    void programEnded();

public slots:
    void exitProgram();
    void showAbout();
    void showModemSettings();
    // File > Save Defaults, and Ok / Apply in the settings dialog.
    void saveSettings();
    // Scales the whole panel, fonts included (100, 150 or 200 %), and
    // remembers it in zel.conf. stepZoom: +1 / -1 a level, 0 back to 100 %.
    void setZoom(int percent);
    // View > History and File > Daily Report.
    void showHistory();
    void writeReport();
    // File > Compliance Report...: asks without blocking, then writes the PDF.
    void writeComplianceReport();
    void stepZoom(int step);

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    void createPanel();
    void createMenus();
    void createBarGraph();
    void connectSession();
    void restoreSettings();
    void centreOnScreen();
    void beep();
    // Session to view
    void showLinkEvent(const zel::LinkEvent& e);
    void showLinkStatus(const zel::LinkStatus& status);
    void showStatus();
    void showActive(bool active, bool settingsEnabled);
    void showBarGraph(const zel::BarGraph::Bits& leds, const zel::BarGraph::Bits& dots);
    void showFlasher(zel::AlarmKind kind, bool lit);
    void showCarrierAlarm(bool on);
    void showAudioAlarm(bool on);
    void showSelection(int selection);
    void showThresholds(int positive, int negative);
    void showSpeaker(bool onShown, bool offShown);
    void showRawRead(const QByteArray& data);
    void showPollStats(int depth, double roundTripMs);
    void logModem(const QString& line);
    void showModemWords(const QString& words);
    void showPortError(const QString& port, const QString& reason);

    // The station's record, alerts and the status page, as zel.conf asks.
    void startServices();
    void showProblem(const QString& title, const QString& text);

    zel::Station* m_station = nullptr;
    zel::MonitorSession* m_session = nullptr; // the station's one monitor
    QPointer<zel::HistoryWindow> m_historyWindow;
    QSystemTrayIcon* m_tray = nullptr;
    QStringList m_problemsShown;
    QWidget* m_panel = nullptr;
    bool m_exiting = false;
    int m_zoom = 100;
    QString m_modemWords;
    zel::LinkState m_linkState = zel::LinkState::OffLine;
    bool m_noData = false;
    zel::BarGraph::Bits m_shownLeds;
    zel::BarGraph::Bits m_shownDots;
    zel::SpanRegions m_barSpans; // repaint regions of runs of bar columns
};
