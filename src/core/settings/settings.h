#pragma once
// The operator's choices as values: how the monitor is reached and how the
// panel was left (speaker switch, thresholds). They are stored in the
// 111-byte record, whose layout existing files rely on, and what the record
// cannot hold (a port text longer than its five characters) in zel.conf
// beside it.
#include <QString>
#include <optional>

#include "core/protocol/modemdial.h"
#include "core/settings/diskfile.h"

namespace zel {

struct ConnectionSettings {
    bool directCable = true;
    bool modemLink = false;
    QString directPort = QStringLiteral("COM 1");
    bool toneDial = true;
    bool pulseDial = false;
    QString phoneNumber;
    int outsideLineOn = 0; // check state: 0 clear, 1 checked, 2 greyed
    QString outsideLineCode = QStringLiteral("9");
    int callWaitingOn = 0;
    QString callWaitingCode = QStringLiteral("*70");
    QString modemPort = QStringLiteral("COM 3");
    bool speakerOff = false;
    bool speakerLow = true;
    bool speakerLoud = false;
    int modemIniOn = 0;
    QString modemIni = QStringLiteral("AT");

    DialOptions dialOptions() const;
    bool operator==(const ConnectionSettings&) const = default;
};

struct PanelSettings {
    bool speakerOnShown = true;
    bool speakerOffShown = false;
    int positiveThreshold = 100;
    int negativeThreshold = 100;
    bool operator==(const PanelSettings&) const = default;
};

struct Settings {
    ConnectionSettings connection;
    PanelSettings panel;
    bool operator==(const Settings&) const = default;
};

// The record's values as settings; nothing when a value cannot be held (a
// check state other than 0 to 2, a threshold outside 70 to 130).
std::optional<Settings> settingsFromRecord(const DiskFileDefinition& record);
DiskFileDefinition recordFromSettings(const Settings& settings);

// The settings files: the record ($XDG_CONFIG_HOME/zel/Zel_Data.dat) and
// zel.conf beside it.
class SettingsStore {
public:
    static QString recordPath();
    static QString confPath();

    struct Loaded {
        std::optional<Settings> settings; // nothing: use the defaults
        QString problem;                  // why not, naming the file
    };
    // Reads both files. A missing record is created empty (so the next
    // start finds the folder), which is no record either.
    static Loaded load();
    // Writes both, each atomically; false with the reason in *error.
    static bool save(const Settings& settings, QString* error);
};

} // namespace zel
