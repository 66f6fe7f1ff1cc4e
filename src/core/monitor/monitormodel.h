#pragma once
// The monitor's indicators without widgets: the bar graph and its peak hold,
// the four peak flashers and their hold timers, the carrier and audio-loss
// alarms, the display selector, the two variable thresholds and the speaker
// switch. Fed one Readings per packet; reports every change as a signal, and
// every sounded beep as beep().
//
// The timers keep the panel's names (tmrPkPos125, tmrAudio, ...) so a front
// end or a test finds them by name. "Enabling" a timer starts it only when it
// is stopped: the hold times and the audio-loss delay depend on it.
#include <QObject>

#include "core/monitor/bargraph.h"
#include "core/types/types.h"

class QTimer;

namespace zel {

class MonitorModel : public QObject {
    Q_OBJECT
public:
    enum Flasher { PosVar, NegVar, Pos125, Neg100, FlasherCount };
    static constexpr int ThresholdMin = 70;
    static constexpr int ThresholdMax = 130;

    explicit MonitorModel(QObject* parent = nullptr);

    const BarGraph& barGraph() const { return m_bar; }
    const Readings& readings() const { return m_readings; }
    int selection() const { return m_select; } // 0 positive, 1 negative, 2 carrier
    int positiveThreshold() const { return m_posThreshold; }
    int negativeThreshold() const { return m_negThreshold; }
    bool flasherLit(Flasher f) const { return m_flasher[f]; }
    bool carrierAlarm() const { return m_carrierAlarm; }
    bool audioAlarm() const { return m_audioAlarm; }
    // The speaker switch as its two pictures show it; beeps sound while the
    // "on" picture shows.
    bool speakerOnShown() const { return m_speakerOnShown; }
    bool speakerOffShown() const { return m_speakerOffShown; }
    bool linkOpen() const { return m_linkOpen; }

public slots:
    // One decoded packet: flashers and carrier alarm, then the bar graph and
    // the audio supervision.
    void showReadings(const zel::Readings& r);
    // The bar and markers dark; the peak hold is kept.
    void clearDisplay();
    void selectNext();
    // Out-of-range values are held to 70..130.
    void setPositiveThreshold(int percent);
    void setNegativeThreshold(int percent);
    void toggleSpeaker();
    void setSpeakerShown(bool onShown, bool offShown);
    // Whether the port is open: alarms sound and the carrier is judged only
    // while it is.
    void setLinkOpen(bool open);
    // Sounds one beep if the link is open and the speaker on.
    void secBeep();
    // Timer slots, public so tests can run them.
    void onAudioTimer();
    void onFlasherTimer(zel::MonitorModel::Flasher f);

signals:
    void barChanged();
    void flasherChanged(zel::MonitorModel::Flasher f, bool lit);
    void carrierAlarmChanged(bool on);
    void audioAlarmChanged(bool on);
    void selectionChanged(int selection);
    void thresholdsChanged(int positive, int negative);
    void speakerChanged(bool onShown, bool offShown);
    void beep();
    // Carrier and audio alarms, and flashers lighting and going out.
    void alarmEvent(const zel::AlarmEvent& e);

private:
    void peakUpdate();
    void barUpdate();
    void setFlasher(Flasher f, bool lit);
    void setCarrierAlarm(bool on);
    void setAudioAlarm(bool on);
    void report(AlarmKind kind, bool on);

    BarGraph m_bar;
    Readings m_readings;
    int m_select = 0;
    int m_posThreshold = 110;
    int m_negThreshold = 96;
    bool m_flasher[FlasherCount] = {};
    bool m_carrierAlarm = false;
    bool m_audioAlarm = false;
    bool m_speakerOnShown = true;
    bool m_speakerOffShown = false;
    bool m_linkOpen = false;
    QTimer* m_hold[FlasherCount] = {};
    QTimer* m_secBeep = nullptr;
    QTimer* m_audio = nullptr;
};

} // namespace zel
