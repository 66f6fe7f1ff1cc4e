#include "core/transport/transportfactory.h"

#include "core/transport/networkport.h"
#include "core/transport/portname.h"
#include "core/transport/serialtransport.h"
#include "core/transport/simtransport.h"

namespace zel {

std::unique_ptr<Transport> makeTransport(const QString& portText, QString* error) {
    if (isNetworkPortText(portText)) return makeNetworkTransport(portText, error);
    const PortTarget target = resolvePortText(portText);
    switch (target.kind) {
    case PortTarget::Kind::Simulator:
        return std::make_unique<SimTransport>(portText);
    case PortTarget::Kind::Device:
        return std::make_unique<SerialTransport>(portText, target.device);
    case PortTarget::Kind::Invalid:
        break;
    }
    if (error) *error = target.error;
    return nullptr;
}

bool isPortText(const QString& portText, QString* error) {
    if (isNetworkPortText(portText)) return parseNetworkPort(portText, error).has_value();
    const PortTarget target = resolvePortText(portText);
    if (target.kind != PortTarget::Kind::Invalid) return true;
    if (error) *error = target.error;
    return false;
}

} // namespace zel
