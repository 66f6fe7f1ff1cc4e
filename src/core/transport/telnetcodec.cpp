#include "core/transport/telnetcodec.h"

#include <cstring>

namespace zel {

namespace {

// A subnegotiation longer than this is not one this client understands; the
// rest of it is skipped rather than kept (a garbled stream must not grow it).
constexpr std::size_t MaxSubnegotiation = 64;

constexpr char ch(unsigned char c) {
    return static_cast<char>(c);
}

} // namespace

bool TelnetCodec::acceptLocal(unsigned char option) {
    return option == OptBinary || option == OptSuppressGoAhead || option == OptComPort;
}

bool TelnetCodec::acceptRemote(unsigned char option) {
    return option == OptBinary || option == OptSuppressGoAhead;
}

void TelnetCodec::command(std::string& out, unsigned char verb, unsigned char option) {
    out += ch(Iac);
    out += ch(verb);
    out += ch(option);
}

void TelnetCodec::start(std::string& out) {
    m_state = State::Data;
    m_sb.clear();
    for (Option& o : m_local)
        o = {};
    for (Option& o : m_remote)
        o = {};
    m_comPort = ComPort::Pending;
    m_farEnd = {};
    for (const unsigned char option : {OptBinary, OptSuppressGoAhead}) {
        m_local[option].requested = true;
        command(out, Will, option);
        m_remote[option].requested = true;
        command(out, Do, option);
    }
    m_local[OptComPort].requested = true;
    command(out, Will, OptComPort);
}

void TelnetCodec::encode(std::string_view in, std::string& out) const {
    const bool binary = binaryToServer();
    std::size_t from = 0;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const auto c = static_cast<unsigned char>(in[i]);
        if (c == Iac) {
            out.append(in.data() + from, i + 1 - from);
            out += ch(Iac);
            from = i + 1;
        } else if (c == '\r' && !binary) {
            // NVT: a bare CR is CR NUL (the modem's commands end in CR).
            out.append(in.data() + from, i + 1 - from);
            out += '\0';
            from = i + 1;
        }
    }
    out.append(in.data() + from, in.size() - from);
}

void TelnetCodec::appendComPort(std::string& out, unsigned char command, std::string_view value) const {
    out += ch(Iac);
    out += ch(Sb);
    out += ch(OptComPort);
    out += ch(command);
    for (const char c : value) {
        out += c;
        if (static_cast<unsigned char>(c) == Iac) out += ch(Iac);
    }
    out += ch(Iac);
    out += ch(Se);
}

void TelnetCodec::setDataTerminalReady(bool on, std::string& out) {
    m_dtr = on;
    m_dtrChosen = true;
    if (m_comPort != ComPort::Enabled) return;
    const char value = ch(on ? ControlDtrOn : ControlDtrOff);
    appendComPort(out, CpSetControl, std::string_view(&value, 1));
}

void TelnetCodec::comPortEnabled(std::string& reply) {
    m_comPort = ComPort::Enabled;
    const char baud[4] = {ch((BaudRate >> 24) & 0xff), ch((BaudRate >> 16) & 0xff),
                          ch((BaudRate >> 8) & 0xff), ch(BaudRate & 0xff)};
    appendComPort(reply, CpSetBaudRate, std::string_view(baud, 4));
    const char size = ch(DataBits), parity = ch(ParityNone), stop = ch(StopBits1);
    appendComPort(reply, CpSetDataSize, std::string_view(&size, 1));
    appendComPort(reply, CpSetParity, std::string_view(&parity, 1));
    appendComPort(reply, CpSetStopSize, std::string_view(&stop, 1));
    if (m_dtrChosen) setDataTerminalReady(m_dtr, reply);
}

void TelnetCodec::negotiate(unsigned char verb, unsigned char option, std::string& reply) {
    // RFC 854's rules against loops: answer a request that changes a state,
    // never one that confirms it; a refusal of our own request needs no answer.
    if (verb == Will || verb == Wont) {
        Option& o = m_remote[option];
        if (verb == Will) {
            if (!acceptRemote(option)) {
                o.requested = false;
                command(reply, Dont, option);
            } else if (!o.enabled) {
                o.enabled = true;
                if (!o.requested) command(reply, Do, option);
                o.requested = false;
            }
        } else if (o.enabled) {
            o.enabled = false;
            command(reply, Dont, option);
        } else {
            o.requested = false;
        }
        return;
    }
    Option& o = m_local[option];
    if (verb == Do) {
        if (!acceptLocal(option)) {
            command(reply, Wont, option);
        } else if (!o.enabled) {
            o.enabled = true;
            if (!o.requested) command(reply, Will, option);
            o.requested = false;
            if (option == OptComPort) comPortEnabled(reply);
        }
        return;
    }
    // DONT
    if (o.enabled) {
        o.enabled = false;
        command(reply, Wont, option);
    }
    o.requested = false;
    if (option == OptComPort) m_comPort = ComPort::Refused;
}

void TelnetCodec::subnegotiation(std::string& reply) {
    if (m_sb.size() < 2 || static_cast<unsigned char>(m_sb[0]) != OptComPort) return;
    const auto code = static_cast<unsigned char>(m_sb[1]);
    const std::string_view value = std::string_view(m_sb).substr(2);
    const auto byte = [&]() -> unsigned char {
        return value.empty() ? 0 : static_cast<unsigned char>(value[0]);
    };
    switch (code) {
    case CpServerOffset + CpSignature:
        // An empty signature asks for ours.
        if (value.empty() && m_comPort == ComPort::Enabled) appendComPort(reply, CpSignature, "zel");
        break;
    case CpServerOffset + CpSetBaudRate:
        if (value.size() == 4) {
            std::uint32_t baud = 0;
            for (const char c : value)
                baud = (baud << 8) | static_cast<unsigned char>(c);
            m_farEnd.baudRate = baud;
        }
        break;
    case CpServerOffset + CpSetDataSize:
        m_farEnd.dataSize = byte();
        break;
    case CpServerOffset + CpSetParity:
        m_farEnd.parity = byte();
        break;
    case CpServerOffset + CpSetStopSize:
        m_farEnd.stopSize = byte();
        break;
    case CpServerOffset + CpNotifyModemState:
        m_farEnd.modemState = byte();
        break;
    case CpServerOffset + CpFlowControlSuspend:
        m_farEnd.suspended = true;
        break;
    case CpServerOffset + CpFlowControlResume:
        m_farEnd.suspended = false;
        break;
    default:
        break; // line state, masks, purge: nothing to do for a poll
    }
}

void TelnetCodec::decode(std::string_view in, std::string& data, std::string& reply) {
    const char* p = in.data();
    const char* const end = p + in.size();
    while (p < end) {
        const auto c = static_cast<unsigned char>(*p);
        switch (m_state) {
        case State::Data: {
            // Copy the run up to the next IAC (or CR outside binary) at once.
            const char* stop = static_cast<const char*>(std::memchr(p, Iac, std::size_t(end - p)));
            if (!stop) stop = end;
            if (!binaryFromServer()) {
                if (const void* cr = std::memchr(p, '\r', std::size_t(stop - p))) {
                    stop = static_cast<const char*>(cr) + 1;
                    data.append(p, std::size_t(stop - p));
                    p = stop;
                    m_state = State::Cr;
                    continue;
                }
            }
            data.append(p, std::size_t(stop - p));
            p = stop;
            if (p < end) {
                m_state = State::Iac;
                ++p;
            }
            continue;
        }
        case State::Cr:
            m_state = State::Data;
            if (c == 0) ++p; // CR NUL is a CR
            continue;
        case State::Iac:
            ++p;
            if (c == Iac) {
                data += ch(Iac);
                m_state = State::Data;
            } else if (c >= Will && c <= Dont) {
                m_verb = c;
                m_state = State::Verb;
            } else if (c == Sb) {
                m_sb.clear();
                m_state = State::Sb;
            } else {
                m_state = State::Data; // NOP, GA, DM and the like: nothing to do
            }
            continue;
        case State::Verb:
            ++p;
            negotiate(m_verb, c, reply);
            m_state = State::Data;
            continue;
        case State::Sb:
            ++p;
            if (c == Iac)
                m_state = State::SbIac;
            else if (m_sb.size() < MaxSubnegotiation)
                m_sb += ch(c);
            continue;
        case State::SbIac:
            if (c == Iac) {
                ++p;
                if (m_sb.size() < MaxSubnegotiation) m_sb += ch(Iac);
                m_state = State::Sb;
            } else if (c == Se) {
                ++p;
                if (m_sb.size() < MaxSubnegotiation) subnegotiation(reply);
                m_sb.clear();
                m_state = State::Data;
            } else {
                // IAC and a command inside a subnegotiation: it was never
                // closed. Drop it and read the command.
                m_sb.clear();
                m_state = State::Iac;
            }
            continue;
        }
    }
}

} // namespace zel
