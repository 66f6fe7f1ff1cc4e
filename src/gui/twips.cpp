#include "gui/twips.h"

#include <QFont>

namespace zel {

QFont panelFont(const char* family, double pointSize, bool bold) {
    QFont f(QString::fromLatin1(family));
    f.setPointSizeF(pointSize);
    f.setBold(bold);
    return f;
}

} // namespace zel
