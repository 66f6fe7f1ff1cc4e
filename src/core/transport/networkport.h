#pragma once
// Port texts that name a serial device server on the network:
//   tcp://HOST:PORT       raw TCP, the serial line's bytes as they are
//   rfc2217://HOST:PORT   Telnet with COM-PORT-OPTION (RFC 2217)
// HOST is a host name, an IPv4 address or an IPv6 address in brackets
// ([::1], [fe80::1%eth0]); PORT is 1 to 65535. The scheme is read in any case.
#include <QString>
#include <memory>
#include <optional>

namespace zel {

class Transport;

struct NetworkPort {
    enum class Kind { Tcp, Rfc2217 };
    Kind kind = Kind::Tcp;
    QString host; // without brackets
    quint16 port = 0;

    // HOST:PORT as the operator reads it ("[::1]:2000" for IPv6).
    QString endpoint() const;
};

// Whether `text` asks for a network link at all: it has the form
// "scheme://...". Serial port texts never do.
bool isNetworkPortText(const QString& text);

// Reads a network port text. A text that cannot be a valid address gives
// nullopt and the reason in `*error` ("tcp://host: has no port number").
std::optional<NetworkPort> parseNetworkPort(const QString& text, QString* error);

// The transport for a network port text, closed; openLink() starts it.
// Returns null with `*error` empty when the text is no network text (the
// caller tries serial port texts next), and null with the reason in `*error`
// when it is one but is not valid.
std::unique_ptr<Transport> makeNetworkTransport(const QString& text, QString* error);

} // namespace zel
