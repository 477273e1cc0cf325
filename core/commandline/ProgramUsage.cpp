#include "ProgramUsage.h"

#include "ExitStatus.h"
#include "ProgramOptions.h"
#include "Protocol.h"

#include <vector>

namespace zephyrscope {

namespace {

// Where the help of URL and LOGFILE starts, and that of each option.
constexpr std::size_t kArgumentColumn = 12;
constexpr std::size_t kOptionColumn = 19;
// Where the meaning of each exit status starts.
constexpr std::size_t kStatusColumn = 7;

// "a, b or c".
std::string spokenList(const std::vector<std::string>& items, std::string_view lastJoin)
{
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            out += i + 1 == items.size() ? lastJoin : std::string_view(", ");
        out += items[i];
    }
    return out;
}

// Every scheme of every protocol played, and the adaptive ones that have none
// of their own, from the protocol table.
std::string urlHelp()
{
    std::vector<std::string> schemes;
    std::vector<std::string> overHttp;
    for (const Protocol& protocol : allProtocols()) {
        for (const Scheme& scheme : protocol.schemes)
            schemes.push_back(std::string(scheme.name) + "://");
        if (protocol.schemes.empty() && protocol.adaptive)
            overHttp.push_back(std::string(protocol.column));
    }
    return "a media file; a URL: " + spokenList(schemes, ", ") + "; an " + spokenList(overHttp, " or ")
        + " address over http(s)://; a WHEP endpoint for WebRTC, written as its http(s) URL with 'whep+' in "
          "front (whep+https://HOST/PATH); or a playlist (.wpl, .asx, .m3u, .m3u8, .pls, .xspf)";
}

} // namespace

std::string FormatExitStatusList(std::span<const ExitStatusMeaning> statuses)
{
    std::string out;
    for (const ExitStatusMeaning& status : statuses) {
        std::string label = "  " + std::to_string(status.status);
        label.resize(kStatusColumn, ' ');
        out += label;
        for (const char c : status.meaning)
            out += c == '\n' ? "\n" + std::string(kStatusColumn, ' ') : std::string(1, c);
        out += '\n';
    }
    return out;
}

std::string FormatProgramUsage()
{
    return std::string(kUsageLine) + "\n"
        + "Plays URL and writes the player's streaming statistics twice a second into\n"
          "LOGFILE, a tab-separated log, with a block for each clip opened.\n"
          "\n"
        + FormatHelpItem("URL", kArgumentColumn, urlHelp())
        + FormatHelpItem("LOGFILE", kArgumentColumn,
                         "the log to write; without it the log is named after the local date and time of start-up "
                         "(YYYYMMDDhhmmss.dat) in the current directory")
        + "\n"
          "With a URL the run is unattended: it ends by itself about 15 seconds after the\n"
          "last entry. Without one the window waits for Open; where there is no display\n"
          "(DISPLAY and WAYLAND_DISPLAY unset, no -platform) the program runs on Qt's\n"
          "offscreen platform, and there a run without a URL ends with status "
        + std::to_string(kExitUsage) + ".\n"
          "Messages go to stderr.\n"
          "\n"
          "Options:\n"
        + FormatOptionList(programOptionTable(), kOptionColumn, '=')
        + "\n"
        + "Exit status:\n" + FormatExitStatusList(kExitStatusMeanings);
}

} // namespace zephyrscope
