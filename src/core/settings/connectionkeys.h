#pragma once
// How a monitor is reached, as keys of a config file's [monitor.ID] section:
//
//   link=direct|modem      direct cable (or device server), or a dialled modem
//   port=TEXT              the port: the monitor's, or the modem's
//   number=TEXT            the number dialled (at most 24 characters)
//   dialMode=tone|pulse    ATDT or ATDP
//   outsideLine=TEXT       dialled first, then a pause (",,"); empty: none
//   callWaiting=TEXT       the code that disables call waiting, then a pause;
//                          empty: none
//   speaker=off|low|loud|default   ATM0, ATM1L1, ATM1L3, or no command
//   init=TEXT              an extra set-up command sent before the dial,
//                          as written (e.g. AT&D2V1X4); empty: none
//
// Values are those of the settings dialog, with its limits (5 characters for
// the codes, 23 for init), so the panel and the logger can hold the same
// monitor alike. Keys are written as shown; the words may be in any case.
#include <QString>
#include <QStringList>

#include "core/settings/settings.h"

namespace zel {

// The keys applyMonitorKey() knows.
QStringList monitorKeys();

// Applies one key. False, with the reason in *error (naming the key), for a
// key it does not know or a value it cannot take; `settings` is then as it
// was.
bool applyMonitorKey(ConnectionSettings& settings, const QString& key, const QString& value, QString* error);

} // namespace zel
