#include "core/outputs/compliance/compliancesettings.h"

#include <QSettings>
#include <optional>

namespace zel {

namespace {

// A whole number within [low, high], or no value.
std::optional<int> wholeNumber(const QString& text, int low, int high) {
    bool ok = false;
    const int v = text.trimmed().toInt(&ok);
    if (!ok || v < low || v > high) return std::nullopt;
    return v;
}

} // namespace

QSet<QString> complianceKeys() {
    return {QStringLiteral("negRecurrence"), QStringLiteral("lowPercent"), QStringLiteral("paper")};
}

QString paperName(ComplianceSettings::Paper paper) {
    return paper == ComplianceSettings::Paper::Letter ? QStringLiteral("Letter") : QStringLiteral("A4");
}

ComplianceSettings readComplianceSettings(QSettings& ini, QStringList* problems) {
    ComplianceSettings s;
    const auto text = [&](const char* key) {
        return ini.value(QStringLiteral("compliance/") + QLatin1String(key)).toString().trimmed();
    };
    if (ini.contains(QStringLiteral("compliance/negRecurrence"))) {
        // At most a minute's readings at the line's rate.
        if (const auto v = wholeNumber(text("negRecurrence"), 1, 5760))
            s.negRecurrence = *v;
        else
            problems->append(QStringLiteral("compliance/negRecurrence: \"%1\" is not a count from 1 to 5760; "
                                            "the default holds")
                                 .arg(text("negRecurrence")));
    }
    if (ini.contains(QStringLiteral("compliance/lowPercent"))) {
        if (const auto v = wholeNumber(text("lowPercent"), 20, 125))
            s.lowPercent = *v;
        else
            problems->append(QStringLiteral("compliance/lowPercent: \"%1\" is not a percent from 20 to 125; "
                                            "the default holds")
                                 .arg(text("lowPercent")));
    }
    if (ini.contains(QStringLiteral("compliance/paper"))) {
        const QString paper = text("paper");
        if (paper.compare(QLatin1String("A4"), Qt::CaseInsensitive) == 0)
            s.paper = ComplianceSettings::Paper::A4;
        else if (paper.compare(QLatin1String("Letter"), Qt::CaseInsensitive) == 0)
            s.paper = ComplianceSettings::Paper::Letter;
        else
            problems->append(
                QStringLiteral("compliance/paper: \"%1\" is neither A4 nor Letter; the default holds")
                    .arg(paper));
    }
    return s;
}

} // namespace zel
