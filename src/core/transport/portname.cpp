#include "core/transport/portname.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPortInfo>

namespace zel {

namespace {

constexpr int ShortNameLength = 5; // the settings record's port field

// Driver prefixes of the serial devices people actually plug in. A short name
// with one of these prefixes names its device even while it is unplugged, so
// "USB1" never quietly falls back to COM 1.
const QStringList& knownPrefixes() {
    static const QStringList prefixes = {QStringLiteral("USB"), QStringLiteral("ACM"), QStringLiteral("AMA"),
                                         QStringLiteral("S")};
    return prefixes;
}

QString stripTrailingBlanks(const QString& text) {
    qsizetype end = text.size();
    while (end > 0) {
        const QChar c = text.at(end - 1);
        if (c != u' ' && c != u'\t' && c != QChar(0)) break;
        --end;
    }
    return text.left(end);
}

QString comDevice(int n) {
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(n);
#else
    return QStringLiteral("/dev/ttyS%1").arg(n - 1);
#endif
}

// "USB0", "ACM1": letters then digits, five characters at most. The device
// path keeps the known prefixes in their canonical (upper) case.
QString shortNameDevice(const QString& name) {
#ifdef Q_OS_WIN
    Q_UNUSED(name);
    return {};
#else
    static const QRegularExpression shape(QStringLiteral("^([A-Za-z]{1,4})([0-9]{1,4})$"));
    if (name.size() > ShortNameLength) return {};
    const auto m = shape.match(name);
    if (!m.hasMatch()) return {};
    const QString prefix = m.captured(1);
    if (prefix.compare(u"COM", Qt::CaseInsensitive) == 0) return {};
    for (const QString& known : knownPrefixes()) {
        if (prefix.compare(known, Qt::CaseInsensitive) == 0)
            return QStringLiteral("/dev/tty") + known + m.captured(2);
    }
    const QString device = QStringLiteral("/dev/tty") + name;
    return QFileInfo::exists(device) ? device : QString();
#endif
}

} // namespace

PortTarget resolvePortText(const QString& text) {
    PortTarget t;
    const QString name = stripTrailingBlanks(text).trimmed();
    if (name.isEmpty()) {
        t.error = QStringLiteral("No serial port is chosen.");
        return t;
    }
    if (name.compare(u"SIM", Qt::CaseInsensitive) == 0) {
        t.kind = PortTarget::Kind::Simulator;
        return t;
    }
    const bool absolute =
#ifdef Q_OS_WIN
        name.startsWith(QStringLiteral("\\\\.\\"));
#else
        name.startsWith(u'/');
#endif
    if (absolute) {
        t.kind = PortTarget::Kind::Device;
        t.device = name;
        return t;
    }
    if (const QString device = shortNameDevice(name); !device.isEmpty()) {
        t.kind = PortTarget::Kind::Device;
        t.device = device;
        return t;
    }
    const QChar last = name.back();
    if (last >= u'1' && last <= u'9') {
        // A number of two or more digits ("COM 12") would otherwise open port
        // 2: refuse it rather than open the wrong line.
        if (name.size() >= 2 && name.at(name.size() - 2).isDigit()) {
            t.error = QStringLiteral("\"%1\" is not a serial port this program can open: "
                                     "port numbers go from COM 1 to COM 9.")
                          .arg(name);
            return t;
        }
        t.kind = PortTarget::Kind::Device;
        t.device = comDevice(last.digitValue());
        return t;
    }
    t.error = QStringLiteral("\"%1\" does not name a serial port. Use COM 1 to COM 9, a device such as "
                             "USB0 or /dev/ttyUSB0, or SIM for the built-in stand-in monitor.")
                  .arg(name);
    return t;
}

QStringList stableDeviceNames(const QString& folder) {
    QStringList names;
    const QDir dir(folder);
    for (const QString& entry : dir.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name))
        names.append(dir.filePath(entry));
    return names;
}

QStringList availablePortTexts() {
    QStringList texts = {QStringLiteral("COM 1"), QStringLiteral("COM 2"), QStringLiteral("COM 3"),
                         QStringLiteral("COM 4")};
    QStringList found;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo& info : ports) {
        QString name = info.portName();
#ifdef Q_OS_WIN
        // COM5 and up; COM 1 to COM 4 are listed already.
        static const QRegularExpression com(QStringLiteral("^COM([5-9])$"));
        const auto m = com.match(name);
        if (!m.hasMatch()) continue;
        name = QStringLiteral("COM ") + m.captured(1);
#else
        if (!name.startsWith(QStringLiteral("tty"))) continue;
        name = name.mid(3);
        // ttyS* are the COM ports.
        static const QRegularExpression comPort(QStringLiteral("^S[0-9]+$"));
        if (comPort.match(name).hasMatch()) continue;
        // Offer only names that fit the settings field and come back to the
        // same device.
        const PortTarget back = resolvePortText(name);
        if (name.size() > ShortNameLength || back.kind != PortTarget::Kind::Device ||
            back.device != info.systemLocation())
            continue;
#endif
        if (!found.contains(name)) found.append(name);
    }
    found.sort();
    texts += found;
#ifndef Q_OS_WIN
    // The stable names: an adapter keeps its by-id name whichever socket or
    // order it is plugged in, where ttyUSB0 and ttyUSB1 may swap.
    texts += stableDeviceNames(QStringLiteral("/dev/serial/by-id"));
#endif
    texts.append(QStringLiteral("SIM"));
    return texts;
}

} // namespace zel
