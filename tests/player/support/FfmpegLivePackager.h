#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <sys/types.h>

namespace zephyrscope::testing {

// ffmpeg packaging a live stream as it is encoded (-re): a test pattern and a
// tone, 320x240 at 25 fps, in 1-s segments, written into a folder for a test
// server to serve. The run is bounded (-t); it ends at the destructor.
class FfmpegLivePackager {
public:
    enum class Format { Dash, Hls };

    // Empties folder, then starts ffmpeg writing manifestName (live.mpd,
    // live.m3u8) into it. Throws std::runtime_error when ffmpeg cannot start.
    FfmpegLivePackager(Format format, const std::filesystem::path& folder, const std::string& manifestName,
                       std::chrono::seconds duration = std::chrono::seconds(60));
    ~FfmpegLivePackager();
    FfmpegLivePackager(const FfmpegLivePackager&) = delete;
    FfmpegLivePackager& operator=(const FfmpegLivePackager&) = delete;

    // Waits until the manifest is there and at least `segments` media segments
    // (of the first stream) are written; false when the time is up first.
    bool waitForSegments(int segments, std::chrono::milliseconds timeout);
    // The manifest as it is now; empty before ffmpeg wrote it.
    std::string manifest() const;

private:
    std::filesystem::path m_folder;
    std::filesystem::path m_manifest;
    Format m_format;
    pid_t m_pid = -1;
};

} // namespace zephyrscope::testing
