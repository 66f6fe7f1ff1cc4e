#pragma once
// What the alerts send and when: which alarms, how long an alarm must last
// before it is sent (and how long it must be gone before its end is sent),
// the command to run and the webhook to post to. Kept in the [alerts] group
// of zel.conf.
#include <QString>
#include <QStringList>

#include "core/types/types.h"

class QSettings;

namespace zel {

struct AlertSettings {
    static constexpr int DefaultOnDelayS = 10;
    static constexpr int DefaultOffDelayS = 30;
    static constexpr int MaxDelayS = 24 * 3600;

    bool carrier = true;
    bool audioLoss = true;
    bool linkLost = true;
    bool noData = true;
    bool pos125 = false; // episodes of the +125 % flasher
    bool neg100 = false; // episodes of the -100 % flasher
    int onDelayS = DefaultOnDelayS;
    int offDelayS = DefaultOffDelayS;
    QString command;    // program and arguments, split like a shell would, run without one
    QString webhookUrl; // http:// or https://

    bool isEnabled(AlarmKind kind) const;
    void setEnabled(AlarmKind kind, bool on);

    // Values missing from the file or out of range keep their defaults.
    void load(QSettings& settings);
    void save(QSettings& settings) const;

    // "ON" or "ON,OFF" in whole seconds, as given on the command line.
    // False with a reason when the text is not that.
    bool parseDelays(const QString& text, QString* error = nullptr);

    // Empty when the webhook URL is usable (or empty), else why not.
    QString webhookProblem() const;

    // Whether a command text can be run: false with the reason (an unclosed
    // quote) when not. An empty or blank text is no command, and fine. For
    // whoever takes the text from a user, so that a fault shows when it is
    // set, not when an alarm fires.
    static bool checkCommand(const QString& command, QString* error = nullptr);

    // The webhook URL kept in a file (it holds a secret: on the command line
    // any local user could read it): the file's first line, trimmed. False
    // with the reason when the file is missing, unreadable or that line is
    // empty; true with a warning in *error when others than its owner may
    // read the file.
    bool loadWebhookFile(const QString& path, QString* error);

    bool operator==(const AlertSettings&) const = default;
};

// A command text split into words the way a POSIX shell splits them, without
// expanding anything: blanks separate words, '...' is literal, "..." keeps
// blanks and takes \ escapes of " \ $ `, a backslash outside quotes escapes the
// next character. Empty with a reason in *error when a quote is not closed.
QStringList splitCommandLine(const QString& text, QString* error = nullptr);

} // namespace zel
