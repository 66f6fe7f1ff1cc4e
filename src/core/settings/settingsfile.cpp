#include "core/settings/settingsfile.h"

#include <QStandardPaths>

namespace zel {

QString settingsFilePath() {
#ifdef Q_OS_WIN
    return QStringLiteral("c:/Zel_Data.dat");
#else
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/zel/Zel_Data.dat");
#endif
}

} // namespace zel
