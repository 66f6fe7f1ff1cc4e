#pragma once
// Text from the far end (a modem's words, a server's goodbye, an OS error
// about a device) is shown and stored only with its control characters
// made visible, so it can neither move a terminal's cursor nor break a line
// of a log, a table or a CSV file.
#include <QString>

namespace zel {

// Control characters (C0, DEL, C1) as C-style escapes: \t \n \r, the rest
// as \xHH ("\x1b[2J"). Everything else, backslashes included, is kept.
QString escapeControl(const QString& text);

} // namespace zel
