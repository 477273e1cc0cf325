#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace zephyrscope {

// Which protocol a row is, for code that must tell one from another; Other for
// a name outside the table.
enum class ProtocolId { File, Http, Https, Hls, Dash, Mss, RtspUdp, RtspTcp, Rtmp, Srt, Udp, Rtp, Rist, WebRtc, Other };

// A URL scheme of a protocol, and how a URL of it reaches its server.
struct Scheme {
    // In lower case.
    std::string_view name;
    // The connection is TLS from its first byte (https, rtsps...).
    bool tls = false;
    // The server's port when the URL names none, as the protocol's source
    // takes it; 0 when the URL must name one, or no server is connected to.
    std::uint16_t defaultPort = 0;
    // Where the client chooses its media's transport (plain rtsp://), the row
    // the column shows once the session's media comes over TCP rather than
    // UDP; Other where the scheme fixes the transport.
    ProtocolId overTcp = ProtocolId::Other;
};

// What the program knows of one protocol it plays, said once. The player's
// own hooks (source set-up, measurements) hang off the same rows in the
// player; everything in core, the report and the metrics asks these.
struct Protocol {
    ProtocolId id = ProtocolId::Other;
    // The log's Protocol column.
    std::string_view column;
    // URL schemes that select it. HLS, DASH and MSS have none: they are found
    // by the demuxer an http(s) URL leads to.
    std::span<const Scheme> schemes;
    // A source that sends on its own clock: no end of its own, no seeking, and
    // a second of silence is a stall.
    bool live = false;
    // Segments and variants: requests, switches, the variant's declared bit rate.
    bool adaptive = false;
    // Read from this machine's disk rather than a network.
    bool local = false;
    // The stream can carry its sender's wall clock, so live latency can be known.
    bool wallClock = false;
    // Its sources fail vaguely while its server can be reached by one connect,
    // which then says why (refused, unknown host, refused certificate).
    bool connectionProbe = false;
};

// Every protocol, in the order the help lists them.
std::span<const Protocol> allProtocols();

// The table's row of a protocol.
const Protocol& protocolRow(ProtocolId id);

// The protocol a URL scheme selects (case-insensitive); nullptr for a scheme
// the program does not play.
const Protocol* protocolForScheme(std::string_view scheme);

// A scheme's row (case-insensitive); nullptr for a scheme the program does not play.
const Scheme* schemeNamed(std::string_view scheme);

// The protocol a Protocol column names (as the log holds it, case-insensitive);
// nullptr for a name no protocol has (an unknown scheme is logged in upper case).
const Protocol* protocolForColumn(std::string_view column);

// The row a Protocol column's text stands for: the table's (as
// protocolForColumn finds it), or for a name no
// protocol has (a scheme the program does not play, a column read back from a
// log) a row of its own with that text and nothing known, made once per name
// and kept for the life of the process, so a snapshot can point at it. nullptr
// for empty text, and for new names past the first kMaxOtherProtocols.
const Protocol* protocolNamed(std::string_view column);
inline constexpr std::size_t kMaxOtherProtocols = 1024;

// A row's Protocol column; empty for none.
constexpr std::string_view columnOf(const Protocol* protocol)
{
    return protocol ? protocol->column : std::string_view();
}

// Shorthands for the questions asked most; false for none, or a name no
// protocol has.
bool isAdaptiveColumn(std::string_view column);
constexpr bool isAdaptive(const Protocol* protocol)
{
    return protocol && protocol->adaptive;
}
bool isLocalScheme(std::string_view scheme);
// Whether a URL of the scheme is a plain HTTP(S) resource a web client fetches
// (http, https; not a WHEP endpoint's).
bool isHttpScheme(std::string_view scheme);

} // namespace zephyrscope
