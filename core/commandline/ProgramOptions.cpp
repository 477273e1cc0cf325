#include "ProgramOptions.h"

#include <algorithm>
#include <string_view>
#include <variant>

namespace zephyrscope {

namespace {

constexpr int kMaxPort = 65535;

std::optional<MetricsAddress> parseMetricsAddress(std::string_view text)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    std::string_view host = text.substr(0, colon);
    const std::string_view port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    else if (host.find_first_of(":[]") != std::string_view::npos)
        // An IPv6 address without brackets cannot be told from its port.
        return std::nullopt;
    MetricsAddress address;
    address.host = std::string(host);
    address.port = std::stoi(std::string(port));
    if (address.port > kMaxPort)
        return std::nullopt;
    return address;
}

std::string takeMetricsAddress(ProgramOptions& options, const ProgramOption& row,
                               const std::optional<std::string>& value)
{
    const std::string option(row.name);
    if (!value)
        return "option '" + option + "' needs a value: " + std::string(row.argument);
    options.metrics = parseMetricsAddress(*value);
    if (!options.metrics)
        return "option '" + option + "' takes " + std::string(row.argument) + NotGiven(value);
    return {};
}

std::string takeChannelName(ProgramOptions& options, const ProgramOption& row, const std::optional<std::string>& value)
{
    if (!value || !IsValidChannelName(*value))
        return "option '" + std::string(row.name) + "' takes a CHANNEL of 1 to " + std::to_string(kMaxChannelNameLength)
            + " letters, digits, '_', '.' or '-'" + NotGiven(value);
    options.channel = *value;
    return {};
}

// The URLs ICE servers are given by.
constexpr std::string_view kStunSchemes[] = {"stun://"};
constexpr std::string_view kTurnSchemes[] = {"turn://", "turns://"};

// The program's command line, in the order --help lists it.
constexpr ProgramOption kProgramOptions[] = {
    {"--help", "-h", "", "print this text and exit", &field<&ProgramOptions::help>},
    {"--version", "-V", "", "print the version and exit", &field<&ProgramOptions::version>},
    {"--verbose", "", "",
     "under each failure, also GStreamer's own details (the source file and line, the failing element)",
     &field<&ProgramOptions::verbose>},
    {"--ca-file", "", "FILE",
     "HTTPS fetches trust the certificate authorities in FILE (PEM) instead of the system's",
     ProgramOption::Text {&field<&ProgramOptions::caFile>}},
    {"--json-log", "", "FILE",
     "also write a JSON Lines log to FILE: every figure of each sample by name, and each entry's events "
     "timed to the millisecond",
     ProgramOption::Text {&field<&ProgramOptions::jsonLog>}},
    {"--bearer-token", "", "TOKEN",
     "WebRTC: send 'Authorization: Bearer TOKEN' to the WHEP endpoint (its offer and its DELETE)",
     ProgramOption::Text {&field<&ProgramOptions::bearerToken>}},
    {"--stun-server", "", "stun://HOST:PORT", "WebRTC: a STUN server for ICE on real networks",
     ProgramOption::Text {&field<&ProgramOptions::stunServer>, kStunSchemes}, "the host's own addresses only"},
    {"--turn-server", "", "turn(s)://USER:PASSWORD@HOST:PORT", "WebRTC: a TURN server for ICE on real networks",
     ProgramOption::Text {&field<&ProgramOptions::turnServer>, kTurnSchemes}, "the host's own addresses only"},
    {"--no-data-timeout", "", "SECONDS",
     "an open network entry that waits SECONDS for data fails with 'no data for SECONDS s'",
     &field<&ProgramOptions::noDataTimeoutS>, kDefaultNoDataTimeoutS, 1, kMaxNoDataTimeoutS},
    {"--transport-only", "", "",
     "play each entry's streams up to their parsers, decoding nothing: the transport's figures (loss, stream "
     "errors, bit rate, latency, stalls) at a fraction of the CPU; frames are the stream's access units, and "
     "the picture's size is null in the JSON log and the metrics",
     &field<&ProgramOptions::transportOnly>},
    {"--black-level", "", "PERCENT", "a pixel is dark below PERCENT of the luma range (black to white)",
     &field<&ProgramOptions::content, &ContentOptions::blackLevelPercent>, kDefaultBlackLevelPercent, 1, 50},
    {"--black-share", "", "PERCENT", "a picture is black when PERCENT of its pixels are dark",
     &field<&ProgramOptions::content, &ContentOptions::blackSharePercent>, kDefaultBlackSharePercent, 50, 100},
    {"--black-min", "", "MS", "a black stretch lasts at least MS milliseconds",
     &field<&ProgramOptions::content, &ContentOptions::blackMinMs>, kDefaultBlackMinMs, 40, 60000},
    {"--freeze-noise", "", "DB",
     "a picture equals the one before when their mean luma difference is below DB of the luma range",
     &field<&ProgramOptions::content, &ContentOptions::freezeNoiseDb>, kDefaultFreezeNoiseDb, -100, -10},
    {"--freeze-min", "", "MS", "a frozen stretch lasts at least MS milliseconds",
     &field<&ProgramOptions::content, &ContentOptions::freezeMinMs>, kDefaultFreezeMinMs, 40, 60000},
    {"--silence-level", "", "DBFS", "sound is silent while its peak stays below DBFS",
     &field<&ProgramOptions::content, &ContentOptions::silenceDbfs>, kDefaultSilenceDbfs, -120, -10},
    {"--silence-min", "", "MS", "a silent stretch lasts at least MS milliseconds",
     &field<&ProgramOptions::content, &ContentOptions::silenceMinMs>, kDefaultSilenceMinMs, 10, 60000},
    {"--monitor", "", "",
     "watch the URL around the clock: the run never ends by itself, an entry that ends or fails is opened again "
     "after 1 s, doubling to 30 s (back to 1 s after 60 s of play), and each gap is an outage; SIGHUP reopens "
     "the logs",
     &field<&ProgramOptions::monitor>},
    {"--name", "", "CHANNEL",
     "the channel's name (letters, digits, '_', '.', '-'; at most 64): the label channel=\"CHANNEL\" on every "
     "metric and a \"channel\" field in every JSON line",
     &takeChannelName},
    {"--metrics", "", "[ADDR]:PORT",
     "serve the figures of the last sample at http://ADDR:PORT/metrics for Prometheus (no ADDR: every "
     "interface; [::1] for IPv6; port 0: any free port)",
     &takeMetricsAddress},
    {"--metrics-connections", "", "N",
     "the metrics endpoint keeps at most N connections open (never more than a quarter of the open-file limit); "
     "past that the idlest are closed, oldest first",
     &field<&ProgramOptions::metricsConnections>, kDefaultMetricsConnections, 1, kMaxMetricsConnections},
    {"--", "", "", "end of options: a URL that starts with -- can follow", {}, {}, 0, 0,
     ProgramOption::Taker::EndOfOptions},
    {"-platform", "", "NAME", "Qt's platform: offscreen, or xcb for an X display", {}, {}, 0, 0,
     ProgramOption::Taker::Qt},
};

} // namespace

ProgramOptions ParseProgramOptions(const std::vector<std::string>& argv)
{
    ProgramOptions options;
    if (argv.empty())
        return options;
    options.arguments.push_back(argv[0]);
    const auto notOurs = [](ProgramOptions& o, const std::string& argument, bool afterDashes) {
        o.arguments.push_back(argument);
        o.literalCount += afterDashes ? 1 : 0;
        return std::string();
    };
    options.error = ParseOptions<ProgramOptions>(kProgramOptions, argv, options, notOurs);
    return options;
}

bool IsValidChannelName(std::string_view name)
{
    const auto plain = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.'
            || c == '-';
    };
    return !name.empty() && name.size() <= kMaxChannelNameLength && std::ranges::all_of(name, plain);
}

std::span<const ProgramOption> programOptionTable()
{
    return kProgramOptions;
}

ContentSettings ContentOptions::settings() const
{
    ContentSettings s;
    s.blackLumaRatio = blackLevelPercent / 100.0;
    s.blackPixelShare = blackSharePercent / 100.0;
    s.blackMinUs = static_cast<std::int64_t>(blackMinMs) * 1000;
    s.freezeNoiseDb = freezeNoiseDb;
    s.freezeMinUs = static_cast<std::int64_t>(freezeMinMs) * 1000;
    s.silenceDbfs = silenceDbfs;
    s.silenceMinUs = static_cast<std::int64_t>(silenceMinMs) * 1000;
    return s;
}

std::string FormatMetricsAddress(const MetricsAddress& address)
{
    const bool ipv6 = address.host.find(':') != std::string::npos;
    return (ipv6 ? "[" + address.host + "]" : address.host) + ":" + std::to_string(address.port);
}

} // namespace zephyrscope
