#pragma once
// The compliance report: `zel --compliance FROM TO --output FILE.pdf` and
// File > Compliance Report... A period of local days of one monitor as a PDF
// for an inspector or the chief operator: the limits in force, coverage,
// every episode past +125 %, the days' counts, the alarms, the operators'
// notes and the reviews. Needs a QApplication (offscreen will do).
#include "core/outputs/compliance/compliancesettings.h"

#include <QDate>
#include <QDialog>

class QComboBox;
class QDateEdit;
class QLineEdit;
class QPushButton;

namespace zel {

class HistoryStore;

struct ComplianceReportRequest {
    QDate from;
    QDate to;
    QString monitor; // its id in the record
    QString path;    // the PDF
};

// Writes the report of local days from..to of `monitor` to `pdfPath`
// (replaced only when complete). `monitorName` is printed beside the id
// when it says more. False with a message in *error.
bool writeComplianceReport(const HistoryStore& store, const ComplianceReportRequest& request,
                           const ComplianceSettings& settings, const QString& stationName,
                           const QString& monitorName, QString* error);

// Asks for the period, the monitor and the file; hands the choice back as a
// value (requested) when Ok is pressed. Never modal to the program: open()
// it and let it delete itself.
class ComplianceReportDialog : public QDialog {
    Q_OBJECT
public:
    ComplianceReportDialog(const QStringList& monitors, const QString& current, QWidget* parent = nullptr);

signals:
    void requested(const zel::ComplianceReportRequest& request);

private:
    void check();
    void browse();

    QDateEdit* m_from = nullptr;
    QDateEdit* m_to = nullptr;
    QComboBox* m_monitor = nullptr;
    QLineEdit* m_path = nullptr;
    QPushButton* m_ok = nullptr;
};

} // namespace zel
