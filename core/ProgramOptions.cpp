#include "ProgramOptions.h"

#include <string_view>

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

// The program's command line, in the order --help lists it.
constexpr ProgramOption kProgramOptions[] = {
    {"--help", "-h", "", "print this text and exit"},
    {"--version", "-V", "", "print the version and exit"},
    {"--verbose", "", "",
     "under each failure, also GStreamer's own details (the source file and line, the failing element)"},
    {"--ca-file", "", "FILE",
     "HTTPS fetches trust the certificate authorities in FILE (PEM) instead of the system's"},
    {"--json-log", "", "FILE",
     "also write a JSON Lines log to FILE: every figure of each sample by name, and each entry's events "
     "timed to the millisecond"},
    {"--bearer-token", "", "TOKEN",
     "WebRTC: send 'Authorization: Bearer TOKEN' to the WHEP endpoint (its offer and its DELETE)"},
    {"--stun-server", "", "stun://HOST:PORT", "WebRTC: a STUN server for ICE on real networks",
     "the host's own addresses only"},
    {"--turn-server", "", "turn(s)://USER:PASSWORD@HOST:PORT", "WebRTC: a TURN server for ICE on real networks",
     "the host's own addresses only"},
    {"--no-data-timeout", "", "SECONDS",
     "an open network entry that waits SECONDS for data fails with 'no data for SECONDS s'", "30", 1,
     kMaxNoDataTimeoutS},
    {"--monitor", "", "",
     "watch the URL around the clock: the run never ends by itself, an entry that ends or fails is opened again "
     "after 1 s, doubling to 30 s (back to 1 s after 60 s of play), and each gap is an outage; SIGHUP reopens "
     "the logs"},
    {"--name", "", "CHANNEL",
     "the channel's name (letters, digits, '_', '.', '-'; at most 64): the label channel=\"CHANNEL\" on every "
     "metric and a \"channel\" field in every JSON line"},
    {"--metrics", "", "[ADDR]:PORT",
     "serve the figures of the last sample at http://ADDR:PORT/metrics for Prometheus (no ADDR: every "
     "interface; [::1] for IPv6; port 0: any free port)"},
    {"--metrics-connections", "", "N",
     "the metrics endpoint keeps at most N connections open (never more than a quarter of the open-file limit); "
     "past that the idlest are closed, oldest first",
     "64", 1, kMaxMetricsConnections},
    {"--", "", "", "end of options: a URL that starts with -- can follow", {}, 0, 0,
     ProgramOption::Taker::EndOfOptions},
    {"-platform", "", "NAME", "Qt's platform: offscreen, or xcb for an X display", {}, 0, 0,
     ProgramOption::Taker::Qt},
};

bool takeOption(ProgramOptions& options, const ProgramOption& row, const std::optional<std::string>& value)
{
    const std::string_view name = row.name;
    const std::string option(name);
    if (row.argument.empty()) {
        if (value) {
            options.error = "option '" + option + "' takes no value";
            return false;
        }
        (name == "--help"  ? options.help
         : name == "--version" ? options.version
         : name == "--monitor" ? options.monitor
                               : options.verbose) = true;
        return true;
    }
    if (name == "--metrics") {
        if (!value) {
            options.error = "option '--metrics' needs a value: " + std::string(row.argument);
            return false;
        }
        options.metrics = parseMetricsAddress(*value);
        if (!options.metrics) {
            options.error = "option '--metrics' takes " + std::string(row.argument) + ", not '" + *value + "'";
            return false;
        }
        return true;
    }
    if (name == "--name") {
        if (!value || !IsValidChannelName(*value)) {
            options.error = "option '--name' takes a CHANNEL of 1 to " + std::to_string(kMaxChannelNameLength)
                + " letters, digits, '_', '.' or '-'" + (value ? ", not '" + *value + "'" : std::string());
            return false;
        }
        options.channel = *value;
        return true;
    }
    if (name == "--metrics-connections") {
        const std::string_view digits = value ? std::string_view(*value) : std::string_view();
        const bool number = !digits.empty() && digits.size() <= 5
            && digits.find_first_not_of("0123456789") == std::string_view::npos;
        const int n = number ? std::stoi(std::string(digits)) : 0;
        if (n < row.min || n > row.max) {
            options.error = "option '" + option + "' takes " + std::string(row.argument) + " from "
                + std::to_string(row.min) + " to " + std::to_string(row.max)
                + (value ? ", not '" + *value + "'" : std::string());
            return false;
        }
        options.metricsConnections = n;
        return true;
    }
    if (name == "--no-data-timeout") {
        const std::string_view digits = value ? std::string_view(*value) : std::string_view();
        const bool number = !digits.empty() && digits.size() <= 2
            && digits.find_first_not_of("0123456789") == std::string_view::npos;
        options.noDataTimeoutS = number ? std::stoi(std::string(digits)) : 0;
        if (options.noDataTimeoutS < row.min || options.noDataTimeoutS > row.max) {
            options.noDataTimeoutS = 0;
            options.error = "option '" + option + "' takes " + std::string(row.argument) + " from "
                + std::to_string(row.min) + " to " + std::to_string(row.max)
                + (value ? ", not '" + *value + "'" : std::string());
            return false;
        }
        return true;
    }
    if (name == "--bearer-token" || name == "--stun-server" || name == "--turn-server") {
        const bool token = name == "--bearer-token";
        if (!value || value->empty()) {
            options.error = "option '" + option + "' needs a value (" + option + "=" + (token ? "TOKEN" : "URL") + ")";
            return false;
        }
        const bool stun = name == "--stun-server";
        if ((stun && value->rfind("stun://", 0) != 0)
            || (name == "--turn-server" && value->rfind("turn://", 0) != 0 && value->rfind("turns://", 0) != 0)) {
            options.error = "option '" + option + "' takes " + std::string(row.argument) + ", not '" + *value + "'";
            return false;
        }
        (token ? options.bearerToken : stun ? options.stunServer : options.turnServer) = *value;
        return true;
    }
    // --ca-file and --json-log: a file name.
    if (!value || value->empty()) {
        options.error = "option '" + option + "' needs a file name (" + option + "=" + std::string(row.argument) + ")";
        return false;
    }
    (name == "--ca-file" ? options.caFile : options.jsonLog) = *value;
    return true;
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
    if (name.empty() || name.size() > kMaxChannelNameLength)
        return false;
    for (const char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'
            || c == '.' || c == '-';
        if (!plain)
            return false;
    }
    return true;
}

std::span<const ProgramOption> programOptionTable()
{
    return kProgramOptions;
}

std::string FormatMetricsAddress(const MetricsAddress& address)
{
    const bool ipv6 = address.host.find(':') != std::string::npos;
    return (ipv6 ? "[" + address.host + "]" : address.host) + ":" + std::to_string(address.port);
}

} // namespace zephyrscope
