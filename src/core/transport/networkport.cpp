#include "core/transport/networkport.h"

#include "core/transport/networktransport.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QUrl>

namespace zel {

namespace {

// A DNS name after IDNA: labels of letters, digits, '-' and '_', 1 to 63
// characters, not starting or ending with '-', 253 in all; one trailing dot.
bool isHostName(const QString& ace) {
    QString name = ace;
    if (name.endsWith(QLatin1Char('.'))) name.chop(1);
    if (name.isEmpty() || name.size() > 253) return false;
    static const QRegularExpression label(
        QStringLiteral("^[A-Za-z0-9_](?:[A-Za-z0-9_-]{0,61}[A-Za-z0-9_])?$"));
    for (const QString& part : name.split(QLatin1Char('.')))
        if (!label.match(part).hasMatch()) return false;
    // A name of digits and dots only is a mistyped IPv4 address.
    static const QRegularExpression numeric(QStringLiteral("^[0-9.]+$"));
    return !numeric.match(name).hasMatch();
}

bool isIpv4(const QString& host) {
    static const QRegularExpression dotted(
        QStringLiteral("^(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})$"));
    const auto m = dotted.match(host);
    if (!m.hasMatch()) return false;
    for (int i = 1; i <= 4; ++i)
        if (m.captured(i).toInt() > 255) return false;
    return true;
}

} // namespace

QString NetworkPort::endpoint() const {
    const bool v6 = host.contains(QLatin1Char(':'));
    return (v6 ? QLatin1Char('[') + host + QLatin1Char(']') : host) + QLatin1Char(':') +
           QString::number(port);
}

bool isNetworkPortText(const QString& text) {
    static const QRegularExpression scheme(QStringLiteral("^\\s*[A-Za-z][A-Za-z0-9+.-]*://"));
    return scheme.match(text).hasMatch();
}

std::optional<NetworkPort> parseNetworkPort(const QString& text, QString* error) {
    const QString t = text.trimmed();
    const auto fail = [&](const QString& why) -> std::optional<NetworkPort> {
        if (error) *error = why;
        return std::nullopt;
    };
    const qsizetype sep = t.indexOf(QLatin1String("://"));
    if (sep <= 0)
        return fail(
            QStringLiteral("%1 is not a network port (tcp://HOST:PORT or rfc2217://HOST:PORT)").arg(t));
    NetworkPort p;
    const QString scheme = t.left(sep).toLower();
    if (scheme == QLatin1String("tcp"))
        p.kind = NetworkPort::Kind::Tcp;
    else if (scheme == QLatin1String("rfc2217"))
        p.kind = NetworkPort::Kind::Rfc2217;
    else
        return fail(
            QStringLiteral("%1: unknown link type \"%2://\" (use tcp:// or rfc2217://)").arg(t, t.left(sep)));
    const QString rest = t.mid(sep + 3);
    if (rest.isEmpty()) return fail(QStringLiteral("%1 has no host").arg(t));

    QString host, portText;
    bool hasPort = false;
    if (rest.startsWith(QLatin1Char('['))) {
        const qsizetype close = rest.indexOf(QLatin1Char(']'));
        if (close < 0) return fail(QStringLiteral("%1: the IPv6 address has no closing \"]\"").arg(t));
        host = rest.mid(1, close - 1);
        const QString after = rest.mid(close + 1);
        if (!after.isEmpty() && !after.startsWith(QLatin1Char(':')))
            return fail(QStringLiteral("%1: \":PORT\" must follow the \"]\"").arg(t));
        hasPort = !after.isEmpty();
        portText = after.mid(1);
        QHostAddress address;
        if (host.isEmpty() || !address.setAddress(host) ||
            address.protocol() != QAbstractSocket::IPv6Protocol)
            return fail(QStringLiteral("%1: [%2] is not a valid IPv6 address").arg(t, host));
    } else {
        const qsizetype colon = rest.lastIndexOf(QLatin1Char(':'));
        host = colon < 0 ? rest : rest.left(colon);
        hasPort = colon >= 0;
        portText = rest.mid(colon + 1);
        if (host.contains(QLatin1Char(':')))
            return fail(
                QStringLiteral("%1: an IPv6 address goes in brackets, as in tcp://[::1]:PORT").arg(t));
        if (host.isEmpty()) return fail(QStringLiteral("%1 has no host").arg(t));
        if (host.contains(QLatin1Char('/')) || host.contains(QLatin1Char('@')))
            return fail(QStringLiteral("%1: only HOST:PORT may follow \"://\"").arg(t));
        if (!isIpv4(host)) {
            static const QRegularExpression numeric(QStringLiteral("^[0-9.]+$"));
            if (numeric.match(host).hasMatch())
                return fail(QStringLiteral("%1: %2 is not a valid IPv4 address").arg(t, host));
            const QString ace = QString::fromLatin1(QUrl::toAce(host));
            if (!isHostName(ace)) return fail(QStringLiteral("%1: %2 is not a valid host name").arg(t, host));
            host = ace;
        }
    }
    if (!hasPort || portText.isEmpty()) return fail(QStringLiteral("%1 has no port number").arg(t));
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
    if (!digits.match(portText).hasMatch()) {
        if (portText.contains(QLatin1Char('/')))
            return fail(QStringLiteral("%1: only HOST:PORT may follow \"://\"").arg(t));
        return fail(QStringLiteral("%1: \"%2\" is not a port number").arg(t, portText));
    }
    const int port = portText.toInt();
    if (port < 1 || port > 65535)
        return fail(QStringLiteral("%1: port %2 is not between 1 and 65535").arg(t, portText));
    p.host = host;
    p.port = quint16(port);
    return p;
}

std::unique_ptr<Transport> makeNetworkTransport(const QString& text, QString* error) {
    if (error) error->clear();
    if (!isNetworkPortText(text)) return nullptr;
    const std::optional<NetworkPort> port = parseNetworkPort(text, error);
    if (!port) return nullptr;
    if (port->kind == NetworkPort::Kind::Rfc2217) return std::make_unique<Rfc2217Transport>(text, *port);
    return std::make_unique<TcpTransport>(text, *port);
}

} // namespace zel
