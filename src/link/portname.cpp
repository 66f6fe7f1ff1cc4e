#include "link/portname.h"

namespace zel {

PortTarget resolvePortText(const QString& text) {
    PortTarget t;
    t.error = QStringLiteral("not yet implemented");
    Q_UNUSED(text);
    return t;
}

QStringList availablePortTexts() {
    return {QStringLiteral("COM 1"), QStringLiteral("COM 2"), QStringLiteral("COM 3"),
            QStringLiteral("COM 4"), QStringLiteral("SIM")};
}

} // namespace zel
