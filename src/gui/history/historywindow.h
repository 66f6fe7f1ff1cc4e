#pragma once
// View > History: the trend charts of the chosen range beside the event
// table, with export of what is in view. Reads the store, and writes only
// what an operator adds to the record: a note on an event (right click >
// Add Note…) and the sign-off of a period; the recorders keep writing
// meanwhile. Its dialogs are opened with open(), never a nested exec().
#include <QTimer>
#include <QWidget>
#include <functional>

class QChartView;
class QComboBox;
class QDateTimeEdit;
class QLabel;
class QPushButton;
class QTableWidget;

namespace zel {

class HistoryStore;
enum class CsvTable;

class HistoryWindow : public QWidget {
    Q_OBJECT

public:
    enum Range { LastHour, LastDay, LastWeek, Last30Days, Custom };
    // Rows the event table shows at most (newest first).
    static constexpr int MaxTableRows = 2000;

    explicit HistoryWindow(HistoryStore* store, QWidget* parent = nullptr);

    // UTC ms; the wall clock unless replaced (tests).
    void setClock(std::function<qint64()> clock) { m_clock = std::move(clock); }
    void setRange(Range range);
    void setCustomRange(qint64 fromMs, qint64 toMs);
    // The time span the charts show (zoom included) and the table lists.
    qint64 viewFrom() const { return m_viewFrom; }
    qint64 viewTo() const { return m_viewTo; }
    // Moves Last hour and Last day on with the clock while the window shows
    // (tmrFollow); a zoomed view stays where it is.
    const QTimer& followTimer() const { return m_follow; }
    static constexpr int FollowHourMs = 10'000;
    static constexpr int FollowDayMs = 60'000;

public slots:
    void refresh();
    void resetZoom();
    // Write what is in view; the buttons ask for the file first.
    bool exportEventsTo(const QString& path);
    bool exportMinutesTo(const QString& path);
    bool exportNotesTo(const QString& path);
    // The dialogs (noteDialog, signOffDialog); the sign-off's period is the
    // one in view unless changed there.
    void askNote(qint64 eventId);
    void askSignOff();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void follow();
    void updateFollowTimer();
    void rangeChosen();
    void zoomed(qint64 fromMs, qint64 toMs);
    void loadTable();
    QStringList chosenKinds() const;
    QString chosenMonitor() const;
    void showStatus(const QString& text, bool failure);
    void askAndExport(CsvTable table);
    void showEventMenu(const QPoint& at);

    HistoryStore* m_store;
    std::function<qint64()> m_clock;
    qint64 m_rangeFrom = 0;
    qint64 m_rangeTo = 0;
    qint64 m_viewFrom = 0;
    qint64 m_viewTo = 0;
    bool m_filling = false;
    bool m_zooming = false;
    QTimer m_follow;
    QString m_lastBy; // the name the last note or sign-off was written by

    QComboBox* m_rangeCombo;
    QDateTimeEdit* m_fromEdit;
    QDateTimeEdit* m_toEdit;
    QComboBox* m_monitorCombo;
    QComboBox* m_kindCombo;
    QChartView* m_peakView;
    QChartView* m_carrierView;
    QTableWidget* m_table;
    QLabel* m_status;
};

} // namespace zel
