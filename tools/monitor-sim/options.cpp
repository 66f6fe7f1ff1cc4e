#include "options.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

const char* const HelpText = R"(Usage: zel-monitor-sim [OPTION]...
A stand-in for the modulation monitor on a pseudo-terminal, and for a Hayes
modem in front of it; or for many monitors behind a device server (--tcp).
The first line of standard output is the device path to open in the panel
(type it into the port box); after --vanish-after a new line gives the new
path. Every other message goes to standard error.

Each "x" received is answered with a packet, "x" and nine digits (positive
peak, negative peak, carrier; three digits each, 000-255), written at the pace
of a 9600-baud line: one character every 1.04 ms, 10.4 ms a packet. Replies
queue behind each other as on a real line; a request that finds 8 replies
already waiting is ignored. Other characters are ignored.

The simulator keeps its side of the line open, so the panel may close and
reopen the device at will. It ends on SIGTERM or SIGINT and, when its standard
input is a pipe, when that pipe closes (so it never outlives its starter).

Readings:
  --seed N            seed of the built-in programme model (default 1). The
                      model repeats every 240 s: speech 0-50 s, music 50-110 s
                      (peaks now and then past 110 %), overmodulation bursts
                      past +125 % and -100 % 110-130 s, the carrier dips below
                      its window 135-145 s and swells above it 150-154 s,
                      speech 160-180 s, silence (both peaks below the bar)
                      180-200 s, music and speech 200-240 s. The carrier is
                      otherwise at 0 dB (raw 196-199).
  --programme NAME    "broadcast" (the default, above) or "day": every
                      incident the history records within one minute,
                      repeating - bursts past +125 % (8 s) and -100 % (12 s),
                      peaks of 112-118 % (16 s), the carrier below its window
                      22-30 s, silence 32-50 s.
  --script FILE       play raw readings from FILE instead, one packet a line:
                      nine digits ("196040181") or the whole packet
                      ("x196040181"); blank lines and text after '#' are
                      ignored. Played in order, one line per reply; at the end
                      the last line is held...
  --loop              ...or, with --loop, the script starts again.
  --delay MS          wait MS milliseconds after a request before the reply
                      starts (default 0).

Faults (for tests). RATE is a whole number N (every Nth reply: the Nth, 2Nth,
...) or a probability per reply written with a decimal point (0.1); random
choices follow --seed. Replies are numbered from 1 in the order the requests
arrive; one reply may carry several faults (drop wins over all others).
  --drop RATE         send no reply to the request
  --garble RATE       replace one to three of the nine digits with characters
                      that are neither digits nor "x": never a valid packet
  --split RATE        pause in the middle of the reply (at a random place)
  --split-pause MS    length of that pause (default 30)
  --noise RATE        send one to eight stray bytes before the reply; they
                      never contain "x", so never start a packet
  --silent-after N    after the Nth reply answer nothing...
  --silent-for SEC    ...for SEC seconds (decimals allowed), then answer again;
                      without it, for good
  --vanish-after N    100 ms after the Nth reply, make the device go away (the
                      panel's port fails; requests after the Nth are not
                      answered); a new device with a new path is printed on a
                      new line of standard output...
  --vanish-gap MS     ...MS milliseconds later (default 500). Happens once.
  --log FILE          for every reply, one line: the CLOCK_MONOTONIC time in
                      ns when its last character was written, the reply as
                      sent, and its status: "ok", "dropped" (not sent; the
                      time is when it was dropped), or the faults joined by
                      "+" ("garbled", "noise", "split", "noise+split"...);
                      with noise, a fourth field "noise=" and the stray bytes
                      in hex. Only replies that are neither dropped nor
                      garbled are valid packets.

Modem:
  --modem             put a Hayes modem in front of the monitor. It starts in
                      command mode with echo on: AT commands (any case), each
                      ended by CR; text before "AT" is ignored. "ate0" turns
                      echo off, "ate1" and "atz" on; every command but a dial
                      is answered "OK" CR LF (speaker commands ATM0, ATM1L1,
                      ATM1L3 and any other set-up alike). A dial command
                      (ATD, ATDT, ATDP ...) answers after --dial-delay with
                      CR LF "CONNECT 9600" CR LF and then passes the line
                      through to the monitor, or with CR LF and "BUSY",
                      "NO DIALTONE", "NO CARRIER" or "NO ANSWER" and CR LF for
                      the numbers below, and goes back to command mode. The
                      number is the dial string after its last comma, or
                      after T or P ("ATDT9,,*70,,5551234" dials 5551234); a
                      number that is empty or holds anything but digits (a
                      blank, say: it is not skipped) gives NO CARRIER.
                      Characters received while dialling are ignored. When
                      the panel closes the device, the modem hangs up and
                      returns to command mode, echo on.
  --dial-delay MS     time from the dial command to its result (default 1000)
  --busy-number N     dialling N gives BUSY
  --no-dialtone-number N    dialling N gives NO DIALTONE
  --no-carrier-number N     dialling N gives NO CARRIER
  --no-answer-number N      dialling N gives NO ANSWER
  --silent-number N   dialling N is never answered (until the panel hangs up)
                      The number options may be given more than once.
  --drop-call-after N the far end hangs up after the Nth reply of each call:
                      the modem sends CR LF "NO CARRIER" CR LF behind that
                      reply, at the line's pace, and goes back to command
                      mode (echo as it was); later requests are not answered

Network:
  --tcp ADDR:PORT     serve the monitor on a TCP port instead of a
                      pseudo-terminal, as a serial device server in raw TCP
                      mode would (the panel's port text tcp://ADDR:PORT).
                      ADDR is an IPv4 address, an IPv6 address in brackets
                      or a host name; PORT 0 picks free ports. Each
                      reply is sent whole when its last character would have
                      crossed a 9600-baud line. A connection that arrives
                      while one is open replaces it, and closing the
                      connection is the hang-up (a modem hangs up). Standard
                      output gives one tcp://ADDR:PORT line per monitor once
                      all listen, and on exit and on SIGUSR1 one line per
                      monitor: "replies tcp://ADDR:PORT N", the replies sent
                      whole so far.
  --count N           with --tcp, N independent monitors (1-256) on N
                      consecutive ports from PORT, each on its own line and
                      with its own programme (seed + 0, 1, 2...). Not with
                      --vanish-after or --link.

  --link PATH         keep a symbolic link at PATH to the current device
                      (replaced when the device comes back after
                      --vanish-after, absent while it is gone, removed on
                      exit), so a device server or a stable name follows it

  --realtime          run at a real-time scheduling priority where the system
                      allows it, so the line keeps its pace however busy the
                      machine is, as an instrument's line would (benchmarks)
  --help              show this text and exit

Options that take a value accept it as the next argument or after "=".
Exit status: 0 after SIGTERM, SIGINT or the end of standard input; 1 when no
pseudo-terminal can be made or a TCP port cannot be listened on; 2 for a bad
option or script.
)";

bool toInt(std::string_view text, long long lo, long long hi, long long* out) {
    long long v = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || ptr != text.data() + text.size() || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool toSeconds(const std::string& text, double* out) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !(v >= 0 && v <= 1e6)) return false;
    *out = v;
    return true;
}

// "HOST:PORT" or "[IPv6]:PORT", PORT 0-65535.
bool parseHostPort(const std::string& text, std::string* host, int* port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string h = text.substr(0, colon);
    if (h.front() == '[') {
        if (h.size() < 3 || h.back() != ']') return false;
        h = h.substr(1, h.size() - 2);
    } else if (h.find(':') != std::string::npos) {
        return false; // an IPv6 address goes in brackets
    }
    long long p = 0;
    if (!toInt(std::string_view(text).substr(colon + 1), 0, 65535, &p)) return false;
    *host = h;
    *port = int(p);
    return true;
}

int bad(const std::string& message) {
    std::fprintf(stderr, "zel-monitor-sim: %s (see --help)\n", message.c_str());
    return 2;
}

} // namespace

int parseOptions(int argc, char** argv, SimOptions* out) {
    SimOptions o;
    for (int i = 1; i < argc; ++i) {
        std::string opt = argv[i];
        std::string value;
        bool hasInlineValue = false;
        if (const auto eq = opt.find('='); opt.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = opt.substr(eq + 1);
            opt.resize(eq);
            hasInlineValue = true;
        }
        const auto flag = [&](const char* name) { return opt == name; };
        if (flag("--help") || flag("-h")) {
            std::fputs(HelpText, stdout);
            return 0;
        }
        bool* const onOff = flag("--loop")       ? &o.loop
                            : flag("--modem")    ? &o.modem
                            : flag("--realtime") ? &o.realtime
                                                 : nullptr;
        if (onOff) {
            if (hasInlineValue) return bad(opt + " takes no value");
            *onOff = true;
            continue;
        }
        static const char* const withValue[] = {"--seed",
                                                "--programme",
                                                "--script",
                                                "--delay",
                                                "--log",
                                                "--link",
                                                "--drop",
                                                "--garble",
                                                "--split",
                                                "--split-pause",
                                                "--noise",
                                                "--silent-after",
                                                "--silent-for",
                                                "--vanish-after",
                                                "--vanish-gap",
                                                "--dial-delay",
                                                "--busy-number",
                                                "--no-dialtone-number",
                                                "--no-carrier-number",
                                                "--no-answer-number",
                                                "--silent-number",
                                                "--tcp",
                                                "--count",
                                                "--drop-call-after"};
        bool known = false;
        for (const char* name : withValue)
            known = known || opt == name;
        if (!known) return bad("unknown option " + opt);
        if (!hasInlineValue) {
            if (i + 1 >= argc) return bad(opt + " needs a value");
            value = argv[++i];
        }
        long long n = 0;
        const auto number = [&](long long lo, long long hi) { return toInt(value, lo, hi, &n); };
        const auto rate = [&](zel::sim::FaultRate* r) {
            const auto parsed = zel::sim::FaultRate::parse(value);
            if (!parsed) return false;
            *r = *parsed;
            return true;
        };
        bool ok = true;
        if (flag("--seed")) {
            ok = number(0, (1LL << 62));
            o.seed = std::uint64_t(n);
        } else if (flag("--programme")) {
            o.programme = value;
            ok = value == "broadcast" || value == "day";
        } else if (flag("--script")) {
            o.scriptPath = value;
            ok = !value.empty();
        } else if (flag("--delay")) {
            ok = number(0, 600000);
            o.delayMs = int(n);
        } else if (flag("--log")) {
            o.logPath = value;
            ok = !value.empty();
        } else if (flag("--link")) {
            o.linkPath = value;
            ok = !value.empty();
        } else if (flag("--drop")) {
            ok = rate(&o.faults.drop);
        } else if (flag("--garble")) {
            ok = rate(&o.faults.garble);
        } else if (flag("--split")) {
            ok = rate(&o.faults.split);
        } else if (flag("--noise")) {
            ok = rate(&o.faults.noise);
        } else if (flag("--split-pause")) {
            ok = number(0, 600000);
            o.faults.splitPauseMs = int(n);
        } else if (flag("--silent-after")) {
            ok = number(1, 1LL << 62);
            o.faults.silentAfter = std::uint64_t(n);
        } else if (flag("--silent-for")) {
            ok = toSeconds(value, &o.faults.silentForSeconds);
        } else if (flag("--vanish-after")) {
            ok = number(1, 1LL << 62);
            o.faults.vanishAfter = std::uint64_t(n);
        } else if (flag("--vanish-gap")) {
            ok = number(0, 600000);
            o.faults.vanishGapMs = int(n);
        } else if (flag("--tcp")) {
            ok = parseHostPort(value, &o.tcpHost, &o.tcpPort);
        } else if (flag("--count")) {
            ok = number(1, MaxTcpMonitors);
            o.count = int(n);
        } else if (flag("--drop-call-after")) {
            ok = number(1, 1LL << 62);
            o.dropCallAfter = std::uint64_t(n);
        } else if (flag("--dial-delay")) {
            ok = number(0, 600000);
            o.dialDelayMs = int(n);
        } else {
            ok = !value.empty() && value.find_first_not_of("0123456789") == std::string::npos;
            if (flag("--busy-number"))
                o.busyNumbers.push_back(value);
            else if (flag("--no-dialtone-number"))
                o.noDialtoneNumbers.push_back(value);
            else if (flag("--no-carrier-number"))
                o.noCarrierNumbers.push_back(value);
            else if (flag("--no-answer-number"))
                o.noAnswerNumbers.push_back(value);
            else
                o.silentNumbers.push_back(value);
        }
        if (!ok) return bad("bad value \"" + value + "\" for " + opt);
    }
    if (o.count != 0 && o.tcpHost.empty()) return bad("--count goes with --tcp");
    if (!o.tcpHost.empty()) {
        if (o.count == 0) o.count = 1;
        if (!o.linkPath.empty() || o.faults.vanishAfter != 0)
            return bad("--link and --vanish-after are for the pseudo-terminal, not --tcp");
        if (o.tcpPort != 0 && o.tcpPort + o.count - 1 > 65535) return bad("--count runs past port 65535");
    }
    *out = o;
    return GoOn;
}
