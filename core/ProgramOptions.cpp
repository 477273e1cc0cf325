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

bool takeOption(ProgramOptions& options, std::string_view name, const std::optional<std::string>& value)
{
    if (name == "metrics") {
        if (!value) {
            options.error = "option '--metrics' needs a value: [ADDR]:PORT";
            return false;
        }
        options.metrics = parseMetricsAddress(*value);
        if (!options.metrics) {
            options.error = "option '--metrics' takes [ADDR]:PORT, not '" + *value + "'";
            return false;
        }
        return true;
    }
    if (name == "no-data-timeout") {
        const std::string_view digits = value ? std::string_view(*value) : std::string_view();
        const bool number = !digits.empty() && digits.size() <= 2
            && digits.find_first_not_of("0123456789") == std::string_view::npos;
        options.noDataTimeoutS = number ? std::stoi(std::string(digits)) : 0;
        if (options.noDataTimeoutS < 1 || options.noDataTimeoutS > kMaxNoDataTimeoutS) {
            options.noDataTimeoutS = 0;
            options.error = "option '--no-data-timeout' takes SECONDS from 1 to " + std::to_string(kMaxNoDataTimeoutS)
                + (value ? ", not '" + *value + "'" : std::string());
            return false;
        }
        return true;
    }
    if (name == "help" || name == "version") {
        if (value) {
            options.error = "option '--" + std::string(name) + "' takes no value";
            return false;
        }
        (name == "help" ? options.help : options.version) = true;
        return true;
    }
    if (name == "bearer-token" || name == "stun-server" || name == "turn-server") {
        if (!value || value->empty()) {
            options.error = "option '--" + std::string(name) + "' needs a value (--" + std::string(name) + "="
                + (name == "bearer-token" ? "TOKEN" : "URL") + ")";
            return false;
        }
        const bool stun = name == "stun-server";
        if ((stun && value->rfind("stun://", 0) != 0)
            || (name == "turn-server" && value->rfind("turn://", 0) != 0 && value->rfind("turns://", 0) != 0)) {
            options.error = "option '--" + std::string(name) + "' takes " + (stun ? "stun://HOST:PORT" : "turn(s)://USER:PASSWORD@HOST:PORT")
                + ", not '" + *value + "'";
            return false;
        }
        (name == "bearer-token" ? options.bearerToken : stun ? options.stunServer : options.turnServer) = *value;
        return true;
    }
    if (name == "verbose") {
        if (value) {
            options.error = "option '--verbose' takes no value";
            return false;
        }
        options.verbose = true;
        return true;
    }
    if (name == "ca-file" || name == "json-log") {
        if (!value || value->empty()) {
            const std::string option = "--" + std::string(name);
            options.error = "option '" + option + "' needs a file name (" + option + "=FILE)";
            return false;
        }
        (name == "ca-file" ? options.caFile : options.jsonLog) = *value;
        return true;
    }
    options.error = "unknown option '--" + std::string(name) + "'";
    return false;
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
        } else if (argument == "-h") {
            options.help = true;
        } else if (argument == "-V") {
            options.version = true;
        } else if (argument.size() > 2 && argument.compare(0, 2, "--") == 0) {
            const std::string_view body = std::string_view(argument).substr(2);
            const std::size_t equals = body.find('=');
            std::optional<std::string> value;
            std::string_view name = body;
            if (equals != std::string_view::npos) {
                name = body.substr(0, equals);
                value = std::string(body.substr(equals + 1));
            } else if ((name == "metrics" || name == "ca-file" || name == "json-log" || name == "bearer-token"
                        || name == "stun-server" || name == "turn-server" || name == "no-data-timeout")
                       && i + 1 < argv.size()) {
                // "--metrics ADDR:PORT" as well as "--metrics=ADDR:PORT"; the same for the other valued options.
                value = argv[++i];
            }
            if (!takeOption(options, name, value))
                return options;
        } else {
            options.arguments.push_back(argument);
        }
    }
    return options;
}

std::string FormatMetricsAddress(const MetricsAddress& address)
{
    const bool ipv6 = address.host.find(':') != std::string::npos;
    return (ipv6 ? "[" + address.host + "]" : address.host) + ":" + std::to_string(address.port);
}

} // namespace zephyrscope
