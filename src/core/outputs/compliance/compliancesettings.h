#pragma once
// The `[compliance]` section of zel.conf and of a logger's config file: what
// makes a minute of the record `over` or `low`, and the report's paper.
#include <QSet>
#include <QString>
#include <QStringList>

class QSettings;

namespace zel {

struct ComplianceSettings {
    // Readings past -100 % in one minute that make it `over`: negative peaks
    // of frequent recurrence, not a lone click (see the README for why 10).
    static constexpr int DefaultNegRecurrence = 10;
    static constexpr int DefaultLowPercent = 85;
    enum class Paper { A4, Letter };

    int negRecurrence = DefaultNegRecurrence;
    // A monitored minute whose highest positive peak is below this is `low`.
    int lowPercent = DefaultLowPercent;
    Paper paper = Paper::A4;
};

// The keys of [compliance], for a config file's check of unknown keys.
QSet<QString> complianceKeys();

// Reads [compliance] from `ini`. A value that cannot be used is a problem
// ("compliance/KEY: ...; the default holds") appended to `problems`, and
// that key keeps its default.
ComplianceSettings readComplianceSettings(QSettings& ini, QStringList* problems);

QString paperName(ComplianceSettings::Paper paper);

} // namespace zel
