#pragma once
#include <QString>

namespace zel {

// Where the settings record lives: the fixed c:\Zel_Data.dat on Windows, so
// existing files keep working; elsewhere $XDG_CONFIG_HOME/zel/Zel_Data.dat.
QString settingsFilePath();

} // namespace zel
