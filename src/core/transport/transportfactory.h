#pragma once
// From the operator's port text to the transport that reaches it.
#include <QString>
#include <memory>

namespace zel {

class Transport;

// The transport for `portText`, not yet open; null with the reason in
// *error when the text names no port.
std::unique_ptr<Transport> makeTransport(const QString& portText, QString* error);

// Whether the program takes `portText` (the same rules as makeTransport),
// without building a transport; false with the reason in *error.
bool isPortText(const QString& portText, QString* error = nullptr);

} // namespace zel
