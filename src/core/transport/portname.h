#pragma once
// From the operator's port text to a device. "COM n" (any text ending in a
// digit 1 to 9) is port n: COMn on Windows, /dev/ttyS(n-1) on Linux; a text
// ending in a number of two digits or more ("COM 12") is refused rather than
// taken as its last digit. An absolute path is opened as it is. A short name
// of a device under /dev/tty* that fits the settings field's five characters
// ("USB0", "ACM0") names that device; USB, ACM, AMA and S names do so even
// while the device is unplugged, and this rule comes before the COM rule so
// "USB1" is /dev/ttyUSB1. "SIM" (any case) is the built-in stand-in monitor.
// Anything else is refused. Trailing blanks (restored texts keep their field
// padding) are ignored.
#include <QString>
#include <QStringList>

namespace zel {

struct PortTarget {
    enum class Kind { Invalid, Device, Simulator };
    Kind kind = Kind::Invalid;
    QString device; // the device path, for Kind::Device
    QString error;  // why the text names no port, for Kind::Invalid
};

PortTarget resolvePortText(const QString& text);

// What the port lists offer: "COM 1" to "COM 4", then the serial devices the
// system reports under their short names, the stable /dev/serial/by-id
// names, then "SIM".
QStringList availablePortTexts();
// The device links in `folder` (/dev/serial/by-id), as full paths.
QStringList stableDeviceNames(const QString& folder);

} // namespace zel
