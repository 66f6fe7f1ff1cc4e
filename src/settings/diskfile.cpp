#include "settings/diskfile.h"

namespace zel {
QByteArray DiskFileDefinition::encode() const {
    return {};
}
std::optional<DiskFileDefinition> DiskFileDefinition::decode(const QByteArray&) {
    return std::nullopt;
}
QByteArray fieldText(const QString& text, int width) {
    return text.toLatin1().leftJustified(width, ' ', true);
}
QByteArray checkStateText(int value) {
    return QByteArray::number(value);
}
std::optional<short> checkStateValue(const QByteArray&) {
    return std::nullopt;
}
std::optional<short> levelValue(const QByteArray&) {
    return std::nullopt;
}
bool writeFileAtomically(const QString&, const QByteArray&, QString*) {
    return false;
}
} // namespace zel
