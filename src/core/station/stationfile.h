#pragma once
// A logger's config file (INI): [site] with id and name, one [monitor.ID] per
// monitor with name, port and its connection keys, and the outputs' sections
// as in zel.conf ([history], [alerts], [http]).
#include "core/station/stationconfig.h"

#include <QStringList>

namespace zel {

// Reads `path` into `config` (monitors are appended). A fault that makes the
// file unusable (unreadable, a monitor without a port or with a port text the
// program refuses, a malformed or duplicate id) gives false and one line in
// `error`: "FILE:LINE: what". An unknown key or a value that cannot be used
// is a warning, "FILE:LINE: what", and the default holds.
bool readStationFile(const QString& path, StationConfig* config, QStringList* warnings, QString* error);

} // namespace zel
