#pragma once
// One monitor's link: connect and disconnect, dialling through a Hayes
// modem, and the poll. Every wait is a timer or arriving data that continues
// the sequence; nothing blocks and nothing nests an event loop. A Disconnect
// cancels whatever is pending, and nothing touches a closed transport.
//
// The poll keeps two requests with the monitor, the one it is answering and
// one queued behind it, so each reply starts the moment the one before ends
// and the line never idles. Each reply is read once it is complete and
// decoded, and the request after next goes out.
// tmrXmit only starts the poll over when no reply completes for a while.
// The requests in flight are counted down by the replies seen; a reply lost
// on the line would leave that count wrong for good, so every 200 replies the
// poll asks for nothing until the line falls idle, then starts afresh.
//
// Across a network a request spends the round trip on its way there and its
// reply on the way back, and two in flight would leave the line idle for
// most of it. There the poll keeps as many as cover the round trip,
// ceil(round trip / packet time) + 1, measured as it goes: every 200 replies
// a quarter of the requests (at least one) are held back, so the next one
// finds the line idle and its reply times the round trip alone. The depth
// follows the lesser of the last two such times, up as well as down (after a
// fall the next time is taken soon, from an idle line), and is one request
// more whenever the replies of a turn came measurably slower than the line
// can send them (a device server that gathers characters only while the
// line is busy). It grows by at most one request a reply, so the monitor
// never gets a burst. The fresh start from an idle line comes every 3,000
// replies there (about half a minute), where it costs little.
#include <QByteArray>
#include <QObject>
#include <functional>
#include <memory>

#include "core/protocol/modemdial.h"
#include "core/protocol/packetframer.h"
#include "core/settings/settings.h"
#include "core/types/types.h"

class QTimer;

namespace zel {

class Transport;

class LinkController : public QObject {
    Q_OBJECT
public:
    using TransportFactory =
        std::function<std::unique_ptr<Transport>(const QString& portText, QString* error)>;

    // Retry interval of the poll when a request went unanswered.
    static constexpr int PollRetryMs = 50;
    // Whole packets of one read that are all decoded; of more, the newest.
    static constexpr int MaxPacketsPerRead = 4;
    // Replies between fresh starts of the poll: about two seconds at 9600 baud.
    static constexpr int PollRestartReplies = 200;
    // Over a network: round-trip measurements between fresh starts.
    static constexpr int ProbesPerRestart = 15;
    // Requests in flight: a direct line's, and the most a network's round
    // trip may ask for (about 320 ms).
    static constexpr int DirectPollDepth = 2;
    static constexpr int MaxPollDepth = 32;
    // Requests beyond the round trip's that a busy line may be given for a
    // device server's gathering (about 40 ms).
    static constexpr int MaxGatherDepth = 4;
    // One reply's time on the line: 10 characters at 9600 baud.
    static constexpr double PacketTimeMs = 10 * 10 * 1000.0 / 9600;
    // Requests in flight for a round trip of `rttMs`.
    static int pollDepthFor(double rttMs);
    // Over a network, tmrXmit's interval before a round trip is known, and
    // what it allows a reply beyond twice the round trip once it is.
    static constexpr int FirstNetworkReplyMs = 1000;
    static constexpr int NetworkRetryMs = 200;
    // Bound on the modem reply wait and on the text it gathers.
    static constexpr int ModemReplyTimeoutMs = 60000;
    static constexpr int ModemTextLimit = 4096;
    // Quiet after part of a modem reply line before it is taken as it is
    // (a reply whose CR LF never comes). Far longer than a character, so a
    // line that a device server delivers in bunches is not cut short.
    static constexpr int ModemQuietMs = 500;
    // How long DTR stays low to hang a modem up.
    static constexpr int HangUpMs = 1000;
    // Waits before each attempt to bring a lost link back: 1, 2, 4, 8, 16,
    // then every 30 seconds. A direct or network link starts again at 1 s
    // once it is back; a modem call only once it has stayed up with valid
    // data for steadyCallMs(): each call may be billed, and a far end that
    // answers and hangs up must not be called every second.
    static int reconnectDelayMs(int attempt);
    static constexpr int DefaultSteadyCallMs = 60000;
    // Silence while connected before the readings are no longer trusted.
    static constexpr int DefaultNoDataMs = 5000;

    explicit LinkController(QObject* parent = nullptr);
    ~LinkController() override;

    // Tests and the stand-ins put their own transports in.
    void setTransportFactory(TransportFactory factory);
    void setConnectionSettings(const ConnectionSettings& settings);
    void setNoDataTimeout(int ms) { m_noDataMs = ms; }
    int noDataTimeout() const { return m_noDataMs; }
    void setSteadyCallMs(int ms) { m_steadyCallMs = ms; }
    int steadyCallMs() const { return m_steadyCallMs; }
    // Unattended (the logger): a first connect or dial that fails is tried
    // again with the same waits as a lost link, shown as Reconnecting with
    // the reason, instead of reporting a port error and going Off Line.
    void setRetryFirstConnect(bool on) { m_retryFirstConnect = on; }
    bool retryFirstConnect() const { return m_retryFirstConnect; }
    // No valid packet for noDataTimeout() while connected.
    bool noData() const { return m_noDataOn; }
    const ConnectionSettings& connectionSettings() const { return m_settings; }

    LinkState state() const { return m_state; }
    // Connect was pressed and the link not yet taken down: the button offers
    // Disconnect.
    bool isActive() const { return m_active; }
    // The settings may be changed (not while a link is up).
    bool settingsEnabled() const { return m_settingsEnabled; }
    bool isOpen() const;
    Transport* transport() const { return m_transport.get(); }
    // The port text of the link in use or last used.
    QString portText() const { return m_portText; }
    const PacketFramer& framer() const { return m_framer; }
    // The nine data characters of the packet decoded last.
    const PacketFramer::Data& lastPacket() const { return m_lastPacket; }
    // Requests the poll keeps in flight, and the link's round trip as last
    // measured (beyond the reply's own time on the line; negative until
    // measured).
    int pollDepth() const { return m_depth; }
    double roundTripMs() const { return m_rttMs; }

public slots:
    // The Connect button: connects when idle, disconnects otherwise.
    void toggleConnect();
    void connectLink();
    void disconnectLink();
    // Ends everything at once (the program is closing): no timer, no wait.
    // A modem link reports Hanging Up (DTR drops and stays low as the port
    // closes) and Off Line.
    void shutDown();

    // Timer slots, public so tests can run them.
    void onPollTimer();
    void onDelayTimer();
    void onModemTimeout();
    void onModemQuiet();
    void onReconnectTimer();
    void onNoDataTimer();

signals:
    void stateChanged(const zel::LinkEvent& event);
    void activeChanged(bool active, bool settingsEnabled);
    void dialingCaptionChanged(const QString& caption);
    // Every read while polling, as read (the diagnostic area shows it).
    void rawRead(const QByteArray& data);
    void readingsReceived(const zel::Readings& readings);
    // A read that completed no valid packet.
    void packetRejected();
    void modemLog(const QString& line);
    // The modem's own result line ("CONNECT 9600", "NO CARRIER") when it
    // ends a dial or a call.
    void modemWords(const QString& words);
    // A port could not be opened or failed while in use.
    void portError(const QString& portText, const QString& reason);
    // The dialling and connecting beeps (sounded if the speaker is on).
    void beepWanted();
    void linkOpenChanged(bool open);
    // The link lost and back (LinkLost), silence and data again (NoData).
    void alarmEvent(const zel::AlarmEvent& event);
    void noDataChanged(bool on);
    // The link was taken down: the bar graph goes dark.
    void displayCleared();
    // The poll's depth or the measured round trip changed (the diagnostic
    // area and the logger's link line show them); rttMs < 0: not measured yet.
    void pollStatsChanged(int depth, double rttMs);

private:
    void setState(LinkState s, const QString& detail = {});
    void setActive(bool active, bool settingsEnabled);
    void connectDirect();
    // Opens the port; `then` runs once it is open (at once or, for a network
    // transport, when the connection stands). False: it failed at once, and
    // the failure has been handled.
    bool openPort(const QString& portText, std::function<void()> then);
    void onOpened();
    void linkEstablished();
    // An established link was lost: try again by itself until it is back or
    // the operator disconnects.
    void linkLost(const QString& reason);
    // An attempt to bring the link back failed: the next one is scheduled.
    void retryFailed(const QString& reason);
    void setNoData(bool on);
    void report(AlarmKind kind, bool on, const QString& detail = {});
    void connectModem();
    void dialAndWait();
    void connectTail();
    void disconnectTail();
    void closeTransport();
    void onTransportFailed(const QString& reason);
    void delay(int ms, std::function<void()> then);
    void cancelDelay();
    // Polling
    void startPolling();
    // `lineIdle`: nothing is on its way, so the request's reply times the
    // round trip.
    void sendPoll(bool lineIdle);
    void askForReplies();
    void awaitNextReply();
    int charactersToComplete() const;
    void onReadyRead();
    void onReplyOverdue(int arrived);
    void readData();
    bool crossesNetwork() const;
    void roundTripMeasured(qint64 ns);
    void checkLineBusy();
    // Modem
    void onModemReply();
    void modemReplied(const ModemLineReader::Reply& reply);
    void endModemWait();
    void modemFailed(LinkState s, bool hangUp, const QString& detail);
    void callDropped();
    void callStaysUp();

    ConnectionSettings m_settings;
    TransportFactory m_factory;
    std::unique_ptr<Transport> m_transport;
    QString m_portText;
    LinkState m_state = LinkState::OffLine;
    bool m_active = false;
    bool m_settingsEnabled = true;
    bool m_linkOpen = false;
    QTimer* m_poll = nullptr;         // tmrXmit
    QTimer* m_delay = nullptr;        // tmrDelay
    QTimer* m_modemTimeout = nullptr; // tmrModemTimeout
    QTimer* m_modemQuiet = nullptr;   // tmrModemQuiet
    std::function<void()> m_delayThen;
    PacketFramer m_framer;
    QByteArray m_modemText; // as received, for the diagnostic list
    ModemLineReader m_modemReader;
    StreamWordFinder m_noCarrier{"NO CARRIER"};
    bool m_modemWaiting = false;
    int m_inFlight = 0;            // requests not yet answered, as far as is known
    bool m_draining = false;       // asking for nothing until the line is idle
    int m_repliesToRestart = 0;    // replies until the poll starts afresh
    int m_depth = DirectPollDepth; // requests to keep in flight
    int m_holdTo = -1;             // ask for nothing until this few are in flight, then time one
    bool m_deepProbe = false;      // the next measurement lets the line fall idle
    int m_busyDepth = 0;           // the least depth that kept the line busy
    qint64 m_windowNs = 0;         // start of this turn's count of replies
    int m_windowReplies = 0;
    bool m_windowClean = false; // no fresh start and no idle-line measurement in it
    int m_probeAhead = -1;      // replies due before the timed one's; -1: none timed
    qint64 m_probeNs = 0;       // when the timed request was written
    int m_probes = 0;           // measurements since the last fresh start
    double m_lastRttSampleMs = 0;
    double m_rttMs = -1;
    QByteArray m_read;
    QTimer* m_reconnect = nullptr; // tmrReconnect
    QTimer* m_noData = nullptr;    // tmrNoData
    std::function<void()> m_onOpen;
    bool m_established = false; // the link has stood since the operator connected
    bool m_retrying = false;    // an attempt to bring it back is under way
    bool m_lostOn = false;      // LinkLost reported on, not yet off
    bool m_retryFirstConnect = false;
    int m_attempt = 0; // attempts since the link last proved itself
    int m_steadyCallMs = DefaultSteadyCallMs;
    qint64 m_steadySinceNs = 0; // valid data without a gap since, 0: none yet
    int m_noDataMs = DefaultNoDataMs;
    bool m_noDataOn = false;
    qint64 m_lastPacketNs = 0;
    Readings m_lastReadings;
    PacketFramer::Data m_lastPacket{};
};

} // namespace zel
