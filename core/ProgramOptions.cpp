#include "ProgramOptions.h"

#include <string_view>

namespace zephyrscope {

namespace {

bool takeOption(ProgramOptions& options, std::string_view name, const std::optional<std::string>& value)
{
    if (name == "help" || name == "version") {
        if (value) {
            options.error = "option '--" + std::string(name) + "' takes no value";
            return false;
        }
        (name == "help" ? options.help : options.version) = true;
        return true;
    }
    if (name == "ca-file") {
        if (!value || value->empty()) {
            options.error = "option '--ca-file' needs a file name (--ca-file=FILE)";
            return false;
        }
        options.caFile = *value;
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
            } else if (name == "ca-file" && i + 1 < argv.size()) {
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

} // namespace zephyrscope
