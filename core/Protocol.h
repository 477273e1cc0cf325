#pragma once

#include <span>
#include <string_view>

namespace zephyrscope {

// What the program knows of one protocol it plays, said once. The player's
// own hooks (source set-up, measurements) hang off the same rows in the
// player; everything in core, the report and the metrics asks these.
struct Protocol {
    // The log's Protocol column.
    std::string_view column;
    // URL schemes that select it, in lower case. HLS, DASH and MSS have none:
    // they are found by the demuxer an http(s) URL leads to.
    std::span<const std::string_view> schemes;
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

// The protocol a URL scheme selects (case-insensitive); nullptr for a scheme
// the program does not play.
const Protocol* protocolForScheme(std::string_view scheme);

// The protocol a Protocol column names (as the log holds it); nullptr for a
// name no protocol has (an unknown scheme is logged in upper case).
const Protocol* protocolForColumn(std::string_view column);

// Shorthands for the questions asked most, on a Protocol column's text; false
// for a name no protocol has.
bool isAdaptiveColumn(std::string_view column);
bool isLocalScheme(std::string_view scheme);

} // namespace zephyrscope
