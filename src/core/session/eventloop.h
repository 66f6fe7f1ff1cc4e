#pragma once

namespace zel {

// Call before the QApplication is made. Chooses Qt's own event loop over
// the GLib one (unless QT_NO_GLIB is already set either way): the panel waits
// on one port and a few timers, and GLib's loop costs an extra wake-up write
// for every posted event and more work per pass, which adds up at 96 packets
// a second for days on end.
void preferLeanEventLoop();

} // namespace zel
