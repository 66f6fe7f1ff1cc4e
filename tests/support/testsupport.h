#pragma once
// Helpers shared by the test programs.
#include <QByteArray>
#include <QMessageBox>
#include <QString>

namespace zeltest {

// What a message box showed before the test answered it.
struct SeenBox {
    bool shown = false;
    QString title, text;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
};

// Answers the next modal message box (within 5 s) with `answer`, recording it in `*seen`.
void answerNextMessageBox(QMessageBox::StandardButton answer, SeenBox* seen = nullptr);

// The settings file the program uses under the test's XDG_CONFIG_HOME.
QString settingsPath();
void writeSettingsFile(const QByteArray& bytes);
QByteArray readSettingsFile();
void removeSettingsFile();

// A valid 111-byte record: direct on "COM 2", tone, 1234567, no prefixes,
// modem on "COM 3", speaker low, no ini string, speaker on, thresholds 110.
QByteArray sampleRecord();

} // namespace zeltest
