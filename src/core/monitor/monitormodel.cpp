#include "core/monitor/monitormodel.h"

#include "core/monitor/flashers.h"

#include <QDateTime>
#include <QTimer>

namespace zel {

namespace {

void enable(QTimer* t) {
    if (!t->isActive()) t->start();
}

constexpr AlarmKind FlasherKinds[] = {AlarmKind::PosVariable, AlarmKind::NegVariable, AlarmKind::Pos125,
                                      AlarmKind::Neg100};

} // namespace

MonitorModel::MonitorModel(QObject* parent)
    : QObject(parent) {
    auto make = [this](const char* name, int interval) {
        auto* t = new QTimer(this);
        t->setObjectName(QString::fromLatin1(name));
        t->setInterval(interval);
        // Coarse timers cost fewer wake-ups; the hold times need no better.
        t->setTimerType(Qt::CoarseTimer);
        return t;
    };
    m_hold[PosVar] = make("tmrPkPosVar", 1000);
    m_hold[NegVar] = make("tmrPkNegVar", 1000);
    m_hold[Pos125] = make("tmrPkPos125", 1000);
    m_hold[Neg100] = make("tmrPkNeg100", 1000);
    m_secBeep = make("tmrSecBeep", 1000);
    m_audio = make("tmrAudio", 15000);
    for (int f = 0; f < FlasherCount; ++f)
        connect(m_hold[f], &QTimer::timeout, this, [this, f] { onFlasherTimer(Flasher(f)); });
    connect(m_secBeep, &QTimer::timeout, this, &MonitorModel::secBeep);
    connect(m_audio, &QTimer::timeout, this, &MonitorModel::onAudioTimer);
    // Enabled from the start, as the panel has always had them.
    m_hold[Neg100]->start();
    m_hold[Pos125]->start();
}

void MonitorModel::showReadings(const Readings& r) {
    m_readings = r;
    peakUpdate();
    barUpdate();
}

void MonitorModel::peakUpdate() {
    // A flasher is only ever lit here; its hold timer puts it out. One beep
    // for each flasher lit, with every packet that lights it.
    const FlasherHits hits =
        evaluateFlashers(m_readings.posPeak, m_readings.negPeak, m_posThreshold, m_negThreshold);
    const bool hit[FlasherCount] = {hits.posVar, hits.negVar, hits.pos125, hits.neg100};
    for (int f = 0; f < FlasherCount; ++f) {
        if (!hit[f]) continue;
        setFlasher(Flasher(f), true);
        enable(m_hold[f]);
        secBeep();
    }
    if (m_linkOpen && !carrierInWindow(m_readings.carrierLevel)) {
        setCarrierAlarm(true);
        enable(m_secBeep);
    } else {
        setCarrierAlarm(false);
        m_secBeep->stop();
    }
}

void MonitorModel::barUpdate() {
    const float shown[] = {m_readings.posPeak, m_readings.negPeak, m_readings.carrierLevel};
    m_bar.update(int(shown[m_select]));
    emit barChanged();
    // Audio supervision: both peaks silent starts the delay once; any
    // audible peak cancels it and puts the alarm out.
    if (m_readings.posPeak >= 1 || m_readings.negPeak >= 1) {
        m_audio->stop();
        setAudioAlarm(false);
    } else {
        enable(m_audio);
    }
}

void MonitorModel::clearDisplay() {
    m_bar.clear();
    emit barChanged();
}

void MonitorModel::onAudioTimer() {
    if (m_linkOpen) {
        secBeep();
        setAudioAlarm(true);
        secBeep();
    } else {
        // Disconnected: put the alarm out and silence the carrier beeper; the
        // delay keeps running until audio is seen again.
        setAudioAlarm(false);
        m_secBeep->stop();
    }
}

void MonitorModel::onFlasherTimer(Flasher f) {
    setFlasher(f, false);
    m_hold[f]->stop();
}

void MonitorModel::secBeep() {
    if (m_linkOpen && m_speakerOnShown) emit beep();
}

void MonitorModel::selectNext() {
    m_select = m_select >= 2 ? 0 : m_select + 1;
    // The bar follows with the next packet; the peak hold is kept.
    emit selectionChanged(m_select);
}

void MonitorModel::setPositiveThreshold(int percent) {
    percent = qBound(ThresholdMin, percent, ThresholdMax);
    if (percent == m_posThreshold) return;
    m_posThreshold = percent;
    emit thresholdsChanged(m_posThreshold, m_negThreshold);
    peakUpdate();
}

void MonitorModel::setNegativeThreshold(int percent) {
    percent = qBound(ThresholdMin, percent, ThresholdMax);
    if (percent == m_negThreshold) return;
    m_negThreshold = percent;
    emit thresholdsChanged(m_posThreshold, m_negThreshold);
    peakUpdate();
}

void MonitorModel::toggleSpeaker() {
    if (!m_speakerOffShown)
        setSpeakerShown(false, true);
    else
        setSpeakerShown(true, false);
}

void MonitorModel::setSpeakerShown(bool onShown, bool offShown) {
    if (onShown == m_speakerOnShown && offShown == m_speakerOffShown) return;
    m_speakerOnShown = onShown;
    m_speakerOffShown = offShown;
    emit speakerChanged(onShown, offShown);
}

void MonitorModel::setLinkOpen(bool open) {
    m_linkOpen = open;
}

void MonitorModel::setFlasher(Flasher f, bool lit) {
    if (m_flasher[f] == lit) return;
    m_flasher[f] = lit;
    emit flasherChanged(f, lit);
    report(FlasherKinds[f], lit);
}

void MonitorModel::setCarrierAlarm(bool on) {
    if (m_carrierAlarm == on) return;
    m_carrierAlarm = on;
    emit carrierAlarmChanged(on);
    report(AlarmKind::Carrier, on);
}

void MonitorModel::setAudioAlarm(bool on) {
    if (m_audioAlarm == on) return;
    m_audioAlarm = on;
    emit audioAlarmChanged(on);
    report(AlarmKind::AudioLoss, on);
}

void MonitorModel::report(AlarmKind kind, bool on) {
    if (receivers(SIGNAL(alarmEvent(zel::AlarmEvent))) == 0) return;
    emit alarmEvent({kind, on, QDateTime::currentMSecsSinceEpoch(), m_readings});
}

} // namespace zel
