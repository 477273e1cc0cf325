#include "FfmpegLivePackager.h"

#include "MainLoopWait.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace zephyrscope::testing {

FfmpegLivePackager::FfmpegLivePackager(Format format, const std::filesystem::path& folder,
                                       const std::string& manifestName, std::chrono::seconds duration)
    : m_folder(folder)
    , m_manifest(folder / manifestName)
    , m_format(format)
{
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    std::vector<std::string> args {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-re",
                                   "-f", "lavfi", "-i", "testsrc=size=320x240:rate=25",
                                   "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
                                   "-t", std::to_string(duration.count()),
                                   "-c:v", "libx264", "-preset", "ultrafast", "-g", "25", "-pix_fmt", "yuv420p",
                                   "-c:a", "aac", "-b:a", "64k"};
    if (format == Format::Dash) {
        args.insert(args.end(), {"-f", "dash", "-seg_duration", "1", "-window_size", "10", "-use_timeline", "1",
                                 "-use_template", "1"});
    } else {
        args.insert(args.end(), {"-f", "hls", "-hls_time", "1", "-hls_list_size", "10"});
    }
    args.push_back(m_manifest.string());
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    const int spawned = posix_spawnp(&m_pid, "ffmpeg", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        m_pid = -1;
        throw std::runtime_error("Cannot start program 'ffmpeg': posix_spawn failed");
    }
}

FfmpegLivePackager::~FfmpegLivePackager()
{
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    if (!RunMainLoopUntil([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; }, std::chrono::seconds(5))) {
        ::kill(m_pid, SIGKILL);
        waitpid(m_pid, &status, 0);
    }
}

std::string FfmpegLivePackager::manifest() const
{
    std::ifstream in(m_manifest);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool FfmpegLivePackager::waitForSegments(int segments, std::chrono::milliseconds timeout)
{
    const std::string prefix = m_format == Format::Dash ? "chunk-stream0-" : "live";
    const std::string suffix = m_format == Format::Dash ? ".m4s" : ".ts";
    return RunMainLoopUntil(
        [&] {
            if (!std::filesystem::exists(m_manifest))
                return false;
            int written = 0;
            for (const auto& entry : std::filesystem::directory_iterator(m_folder)) {
                const std::string name = entry.path().filename().string();
                written += name.rfind(prefix, 0) == 0 && name.size() > suffix.size()
                    && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
            }
            return written >= segments;
        },
        timeout);
}

} // namespace zephyrscope::testing
