#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zephyrscope {

inline constexpr char kCommandLineUsageError[] = "Error Command Lines input!\nUse\"Zephyrscope playlist.wpl logfile\"";
inline constexpr char kCommandLineIgnored[] = "All command line parameters are ignored";
// Where nobody can use the dialog, a run without a URL has nothing to wait for.
inline constexpr char kCommandLineNoUrlOffscreen[] =
    "Cannot wait for a URL on the offscreen platform: nobody can open one there; "
    "give it on the command line (zephyrscope URL [LOGFILE])";

// What the command line asks for. Arguments are taken unchanged, without validation.
struct CommandLineDecision {
    int result = 1;                         // 1 accepted, -1 rejected
    std::optional<std::string> url;         // to put to the player
    std::optional<std::string> logFileName; // replaces the default log name
    bool startSampleTimer = false;
    std::string message;                    // shown to the user when rejected
};

// What is wrong with the arguments left once every option is taken (argument 0
// first): "unknown option '-x'" for a dash argument that no one took, "too many
// arguments (3)" past URL and LOGFILE; empty when nothing is. The last
// literalCount arguments came after "--" and are never options.
std::string CommandLineProblem(const std::vector<std::string>& arguments, std::size_t literalCount);

// Decides from the argument vector, program name included as argument 0:
// no argument waits for the user; a URL plays and samples; a URL and a log name
// also name the log; any other count is rejected with the usage message.
CommandLineDecision DecideCommandLine(const std::vector<std::string>& arguments);

} // namespace zephyrscope
