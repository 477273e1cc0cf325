#include "ProgramOptions.h"

#include <algorithm>
#include <charconv>
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

// ", not 'VALUE'" when a value was given, for the end of an error.
std::string notGiven(const std::optional<std::string>& value)
{
    return value ? ", not '" + *value + "'" : std::string();
}

std::string takeMetricsAddress(ProgramOptions& options, const ProgramOption& row,
                               const std::optional<std::string>& value)
{
    const std::string option(row.name);
    if (!value)
        return "option '" + option + "' needs a value: " + std::string(row.argument);
    options.metrics = parseMetricsAddress(*value);
    if (!options.metrics)
        return "option '" + option + "' takes " + std::string(row.argument) + notGiven(value);
    return {};
}

std::string takeChannelName(ProgramOptions& options, const ProgramOption& row, const std::optional<std::string>& value)
{
    if (!value || !IsValidChannelName(*value))
        return "option '" + std::string(row.name) + "' takes a CHANNEL of 1 to " + std::to_string(kMaxChannelNameLength)
            + " letters, digits, '_', '.' or '-'" + notGiven(value);
    options.channel = *value;
    return {};
}

// A row's way into ProgramOptions: the member at the end of `path`
// (&ProgramOptions::content, &ContentOptions::blackMinMs).
template <auto... path>
auto& field(ProgramOptions& options)
{
    return (options .* ... .* path);
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

// A whole number as typed ("-60", "500"): digits after an optional minus, and
// small enough for an int; nullopt for anything else ("", "2.5", "3s", "+5").
std::optional<int> parseWholeNumber(std::string_view text)
{
    int number = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, number);
    if (text.empty() || error != std::errc() || stop != end)
        return std::nullopt;
    return number;
}

// Takes one value into the field its row names; returns the usage error, or
// an empty text when the value is good.
struct ValueTaker {
    ProgramOptions& options;
    const ProgramOption& row;
    const std::optional<std::string>& value;

    std::string option() const { return "option '" + std::string(row.name) + "'"; }

    std::string operator()(std::monostate) const { return option() + " is not the program's own"; }
    std::string operator()(ProgramOption::Flag flag) const
    {
        if (value)
            return option() + " takes no value";
        flag(options) = true;
        return {};
    }
    std::string operator()(ProgramOption::Number number) const
    {
        const std::optional<int> given = value ? parseWholeNumber(*value) : std::nullopt;
        if (!given || *given < row.min || *given > row.max)
            return option() + " takes " + std::string(row.argument) + " from " + std::to_string(row.min) + " to "
                + std::to_string(row.max) + notGiven(value);
        number(options) = *given;
        return {};
    }
    std::string operator()(const ProgramOption::Text& text) const
    {
        // "--ca-file=FILE" needs a file name, "--stun-server=URL" a value.
        if (!value || value->empty())
            return option() + " needs " + (row.argument == "FILE" ? "a file name" : "a value") + " ("
                + std::string(row.name) + "=" + std::string(text.schemes.empty() ? row.argument : "URL") + ")";
        const auto starts = [this](std::string_view scheme) { return value->starts_with(scheme); };
        if (!text.schemes.empty() && std::ranges::none_of(text.schemes, starts))
            return option() + " takes " + std::string(row.argument) + notGiven(value);
        text.field(options) = *value;
        return {};
    }
    std::string operator()(ProgramOption::Parsed parse) const { return parse(options, row, value); }
};

bool takeOption(ProgramOptions& options, const ProgramOption& row, const std::optional<std::string>& value)
{
    options.error = std::visit(ValueTaker {options, row, value}, row.field);
    return options.error.empty();
}

} // namespace

ProgramOptions ParseProgramOptions(const std::vector<std::string>& argv)
{
    ProgramOptions options;
    if (argv.empty())
        return options;
    options.arguments.push_back(argv[0]);
    bool optionsEnded = false;
    for (std::size_t i = 1; i < argv.size(); ++i) {
        const std::string& argument = argv[i];
        if (optionsEnded) {
            options.arguments.push_back(argument);
            ++options.literalCount;
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
        } else if (argument.size() > 2 && argument.compare(0, 2, "--") == 0) {
            const std::string_view body = std::string_view(argument).substr(2);
            const std::size_t equals = body.find('=');
            const std::string_view name = body.substr(0, equals);
            const ProgramOption* row = findProgramOption(kProgramOptions, "--" + std::string(name));
            if (!row) {
                options.error = "unknown option '--" + std::string(name) + "'";
                return options;
            }
            std::optional<std::string> value;
            if (equals != std::string_view::npos)
                value = std::string(body.substr(equals + 1));
            else if (!row->argument.empty() && i + 1 < argv.size())
                // "--metrics ADDR:PORT" as well as "--metrics=ADDR:PORT"; the same for every valued option.
                value = argv[++i];
            if (!takeOption(options, *row, value))
                return options;
        } else if (const ProgramOption* row = findProgramOption(kProgramOptions, argument);
                   row && row->alias == argument) {
            takeOption(options, *row, std::nullopt);
        } else {
            options.arguments.push_back(argument);
        }
    }
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
