#pragma once

#include "ContentSettings.h"
#include "ProgramOption.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zephyrscope {

// Where --metrics=[ADDR]:PORT serves the metrics endpoint. An empty host means
// every interface; an IPv6 address is written in brackets ("[::1]:9464") and
// kept here without them. Port 0 lets the system pick a free one.
struct MetricsAddress {
    std::string host;
    int port = 0;
};

// How long an open network entry waits for data before it fails
// (--no-data-timeout=SECONDS): unless told otherwise, and at most.
inline constexpr int kDefaultNoDataTimeoutS = 30;
inline constexpr int kMaxNoDataTimeoutS = 30;
// The metrics endpoint's connections: by default, and at most (the program
// lowers it further to a quarter of its descriptor limit).
inline constexpr int kDefaultMetricsConnections = 64;
inline constexpr int kMaxMetricsConnections = 4096;
// A channel's name is a label value on every series: short and plain.
inline constexpr std::size_t kMaxChannelNameLength = 64;

// The content detectors' options as given (whole numbers; their rows give the
// ranges), defaults those of ContentSettings.
struct ContentOptions {
    int blackLevelPercent = kDefaultBlackLevelPercent; // --black-level=PERCENT
    int blackSharePercent = kDefaultBlackSharePercent; // --black-share=PERCENT
    int blackMinMs = kDefaultBlackMinMs;               // --black-min=MS
    int freezeNoiseDb = kDefaultFreezeNoiseDb;         // --freeze-noise=DB
    int freezeMinMs = kDefaultFreezeMinMs;             // --freeze-min=MS
    int silenceDbfs = kDefaultSilenceDbfs;             // --silence-level=DBFS
    int silenceMinMs = kDefaultSilenceMinMs;           // --silence-min=MS
    ContentSettings settings() const;
};

// The program's own options, taken off the command line before anything else
// looks at it. They start with "--" ("-h" and "-V" are the short forms of
// --help and --version) and never count as the URL or the log name; "--" ends
// them, so a URL that really starts with "--" can follow it. Anything else,
// Qt's own one-dash options ("-platform offscreen") included, is left in
// `arguments` in its order for Qt and the command-line decision.
struct ProgramOptions {
    bool help = false;
    bool version = false;
    // --verbose: GStreamer's details under each failure (GST_DEBUG also asks for them).
    bool verbose = false;
    // --transport-only: streams are parsed, never decoded (channels watched for their transport).
    bool transportOnly = false;
    std::optional<MetricsAddress> metrics;
    // --ca-file=FILE (or --ca-file FILE): HTTPS fetches trust the certificate
    // authorities in FILE (PEM); empty: the system's.
    std::string caFile;
    // --json-log=FILE (or --json-log FILE): a JSON Lines log is written to FILE as
    // well; empty: none.
    std::string jsonLog;
    // --no-data-timeout=SECONDS: how long an open network entry waits for data
    // before it fails.
    int noDataTimeoutS = kDefaultNoDataTimeoutS;
    // WebRTC (whep+http(s):// URLs): --bearer-token=TOKEN is sent to the WHEP
    // endpoint; --stun-server=stun://HOST:PORT and --turn-server=turn(s)://USER:PASSWORD@HOST:PORT
    // add ICE candidates beyond the host's own, for real networks.
    std::string bearerToken;
    std::string stunServer;
    std::string turnServer;
    // When a picture is black or still and sound silent, and for how long.
    ContentOptions content;
    // --monitor: the run never ends by itself; an entry that ends or fails is
    // opened again after a back-off, and each gap is counted as an outage.
    bool monitor = false;
    // --name=CHANNEL: the channel's name on every series and JSON line; empty: none.
    std::string channel;
    // --metrics-connections=N: the endpoint's open connections at most.
    int metricsConnections = kDefaultMetricsConnections;
    std::vector<std::string> arguments; // argument 0 and everything that is not ours
    std::size_t literalCount = 0;       // how many of them came after "--"
    std::string error;                  // non-empty: a usage error, said in one line
};

// A row of the program's option table.
using ProgramOption = OptionRow<ProgramOptions>;

// Every option of the program's command line, ours and the two that are not
// ("--" and Qt's "-platform"), in the order --help lists them. The parser
// takes exactly the names, short forms and values these rows give.
std::span<const ProgramOption> programOptionTable();

// Never exits and never prints: main decides what an error or --help means.
ProgramOptions ParseProgramOptions(const std::vector<std::string>& argv);

// A channel name fit for a label: 1 to kMaxChannelNameLength of [A-Za-z0-9_.-].
bool IsValidChannelName(std::string_view name);

// "[ADDR]:PORT" as it was given, brackets and all, for messages.
std::string FormatMetricsAddress(const MetricsAddress& address);

} // namespace zephyrscope
