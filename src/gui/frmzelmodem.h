#pragma once
// The connection settings dialog. It hands back the choices its controls
// show as a ConnectionSettings value, and says when they change, so the
// session always dials what the dialog shows. Created hidden at start-up,
// hidden (never destroyed) by Close, Apply and Escape.
#include <QDialog>
#include <QStringList>

#include "core/outputs/alerts/alertsettings.h"
#include "core/settings/settings.h"

class QSettings;
class QSpinBox;

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;

class FrmZelModem : public QDialog {
    Q_OBJECT
public:
    explicit FrmZelModem(QWidget* parent = nullptr);

    // Sets an option button the way a stored flag does: true selects it (and
    // clears its group mates), false clears it even when selected.
    static void setOption(QRadioButton* button, bool on);

    QTabWidget* tabs = nullptr;
    QPushButton* cmdOk = nullptr;
    QPushButton* cmdApply = nullptr;
    QPushButton* cmdClose = nullptr;
    // Connection
    QGroupBox* connectionFrame = nullptr;
    QRadioButton* optDirect = nullptr;
    QRadioButton* optModem = nullptr;
    QComboBox* cmbPort = nullptr;
    QGroupBox* connectionTipFrame = nullptr;
    QLabel* connectionTip = nullptr;
    // Dialing
    QGroupBox* dialingFrame = nullptr;
    QRadioButton* optTone = nullptr;
    QRadioButton* optPulse = nullptr;
    QLabel* dialingModeLabel = nullptr;
    QLineEdit* txtPhoneNumber = nullptr;
    QCheckBox* chkOutside = nullptr;
    QLineEdit* txtOutsideLine = nullptr;
    QCheckBox* chkWaiting = nullptr;
    QLineEdit* txtCallWaiting = nullptr;
    QGroupBox* dialingTipFrame = nullptr;
    QLabel* dialingTip = nullptr;
    // Modem Setup
    QLabel* modemPortLabel = nullptr;
    QComboBox* cmbModem = nullptr;
    QGroupBox* speakerFrame = nullptr;
    QRadioButton* optOff = nullptr;
    QRadioButton* optLow = nullptr;
    QRadioButton* optLoud = nullptr;
    QLabel* speakerLabel = nullptr;
    QCheckBox* chkModemIni = nullptr;
    QLineEdit* txtModemIni = nullptr;
    QGroupBox* modemSetupTipFrame = nullptr;
    QLabel* modemSetupTip = nullptr;

    // The connection choices the controls show, and setting them as a
    // restore does (each control in record order, running its handlers).
    zel::ConnectionSettings settings() const;
    void setSettings(const zel::ConnectionSettings& settings);

    // The Alerts tab: the alerts and the status page, kept in zel.conf.
    zel::AlertSettings alertSettings() const;
    void loadExtras(QSettings& conf);
    void saveExtras(QSettings& conf) const;

    QCheckBox* chkAlert[6] = {};
    QSpinBox* spnAlertOn = nullptr;
    QSpinBox* spnAlertOff = nullptr;
    QLineEdit* txtAlertCommand = nullptr;
    QLineEdit* txtWebhook = nullptr;
    QPushButton* cmdTestAlert = nullptr;
    QLabel* lblTestAlertResult = nullptr;     // beside the button: sent, or why not
    QLabel* lblAlertCommandProblem = nullptr; // under the command: why it cannot be used
    QCheckBox* chkStatusPage = nullptr;
    QLineEdit* txtStatusAddress = nullptr;
    QSpinBox* spnStatusPort = nullptr;
    QLineEdit* txtStatusToken = nullptr;
    QLabel* stationNameLabel = nullptr;
    QLineEdit* txtStationName = nullptr;

signals:
    // "Send test alert" with the alerts as the tab shows them.
    void testAlertRequested();
    // Any connection choice changed, by the operator or by setSettings().
    void settingsEdited();
    // Ok and Apply: the main window writes the settings files.
    void saveRequested();
    // Apply and Close: bring the main window forward.
    void mainWindowRequested();

public slots:
    void updateControls();
    // One outcome of the test alert (a test may go out by command and by
    // webhook: each adds a line until the next test).
    void showTestAlertResult(const QString& text);
    void okClicked();
    void applyClicked();
    void closeClicked();
    // Escape and the frame's close button hide the dialog like Close.
    void reject() override;

protected:
    void closeEvent(QCloseEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* addTab(const QString& caption, const QString& name);
    void buildConnectionTab(QWidget* tab);
    void buildDialingTab(QWidget* tab);
    void buildModemSetupTab(QWidget* tab);
    void buildAlertsTab();
    void alignTabCanvases();
    // False when the alert command cannot be run (an unclosed quote): the
    // reason is shown under it and the Alerts tab brought forward.
    bool checkAlertCommand();
    void testAlertClicked();

    // One canvas per tab page, the size of the tab control and shifted so that its
    // origin is the tab control's top-left corner: the controls of a tab are
    // placed relative to the whole tab control, tab row included.
    QList<QWidget*> m_tabCanvases;
    QStringList m_testAlertResults;
};
