#pragma once
// The Telnet side of an RFC 2217 link, without any networking: option
// negotiation, the COM-PORT-OPTION commands that set the far serial port to
// 9600 8N1 and switch DTR, escaping of IAC (0xFF) in data, and the parsing
// of what the server sends. Incremental: a read may end anywhere, inside a
// command or a subnegotiation, and the rest is picked up with the next one.
//
// Output goes into caller-owned std::string buffers, appended to, so a
// steady link reuses their capacity and allocates nothing per packet.
#include <cstdint>
#include <string>
#include <string_view>

namespace zel {

class TelnetCodec {
public:
    // Telnet commands and the options this client knows (RFC 854, 856, 858,
    // 2217).
    enum : unsigned char {
        Se = 240,
        Nop = 241,
        Sb = 250,
        Will = 251,
        Wont = 252,
        Do = 253,
        Dont = 254,
        Iac = 255,
    };
    enum : unsigned char { OptBinary = 0, OptSuppressGoAhead = 3, OptComPort = 44 };
    // COM-PORT-OPTION commands, client to server; the server answers with the
    // same code plus 100.
    enum : unsigned char {
        CpSignature = 0,
        CpSetBaudRate = 1,
        CpSetDataSize = 2,
        CpSetParity = 3,
        CpSetStopSize = 4,
        CpSetControl = 5,
        CpNotifyLineState = 6,
        CpNotifyModemState = 7,
        CpFlowControlSuspend = 8,
        CpFlowControlResume = 9,
        CpSetLineStateMask = 10,
        CpSetModemStateMask = 11,
        CpPurgeData = 12,
        CpServerOffset = 100,
    };
    enum : unsigned char { ControlDtrOn = 8, ControlDtrOff = 9, ParityNone = 1, StopBits1 = 1 };
    static constexpr std::uint32_t BaudRate = 9600;
    static constexpr unsigned char DataBits = 8;

    enum class ComPort { Pending, Enabled, Refused };

    // What the server reported back for the line settings (0: nothing yet).
    struct FarEnd {
        std::uint32_t baudRate = 0;
        unsigned char dataSize = 0;
        unsigned char parity = 0;
        unsigned char stopSize = 0;
        unsigned char modemState = 0;
        bool suspended = false; // the server asked us to stop sending
    };

    TelnetCodec() = default;

    // Starts afresh (a new connection) and appends the opening requests to
    // `out`: WILL/DO BINARY, WILL/DO SUPPRESS-GO-AHEAD, WILL COM-PORT-OPTION.
    void start(std::string& out);

    // Takes bytes from the server: appends the data in them to `data` and the
    // protocol answers that are due to `reply` (to be sent as they are).
    void decode(std::string_view in, std::string& data, std::string& reply);

    // Appends `in` as it goes on the wire: 0xFF doubled; outside binary
    // mode a CR is followed by NUL.
    void encode(std::string_view in, std::string& out) const;

    // Appends SET-CONTROL DTR on or off, once the server has agreed to
    // COM-PORT-OPTION; before that the choice is kept and sent on agreement.
    void setDataTerminalReady(bool on, std::string& out);

    ComPort comPort() const { return m_comPort; }
    bool binaryToServer() const { return m_local[OptBinary].enabled; }
    bool binaryFromServer() const { return m_remote[OptBinary].enabled; }
    const FarEnd& farEnd() const { return m_farEnd; }

private:
    struct Option {
        bool enabled = false;
        bool requested = false; // we asked and await the answer
    };
    enum class State { Data, Iac, Verb, Sb, SbIac, Cr };

    static bool acceptLocal(unsigned char option);
    static bool acceptRemote(unsigned char option);
    static void command(std::string& out, unsigned char verb, unsigned char option);
    void negotiate(unsigned char verb, unsigned char option, std::string& reply);
    void subnegotiation(std::string& reply);
    void comPortEnabled(std::string& reply);
    void appendComPort(std::string& out, unsigned char command, std::string_view value) const;

    State m_state = State::Data;
    unsigned char m_verb = 0;
    std::string m_sb; // the subnegotiation being read, unescaped
    Option m_local[256];
    Option m_remote[256];
    ComPort m_comPort = ComPort::Pending;
    bool m_dtr = true;
    bool m_dtrChosen = false;
    FarEnd m_farEnd;
};

} // namespace zel
