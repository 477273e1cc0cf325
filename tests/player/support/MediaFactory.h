#pragma once

#include <filesystem>
#include <string>

namespace zephyrscope::testing {

// Makes test media with GStreamer pipelines into a fresh temporary folder,
// removed again with the factory. Each clip is made on first request.
class MediaFactory {
public:
    struct Clip {
        int width = 320;
        int height = 240;
        int fps = 25;
        double seconds = 3.0;
        bool audio = false;
        bool video = true;
        std::string title;       // written as the title tag when not empty
        int videoBitrateKbps = 300;
        // videotestsrc's pattern: "ball" compresses to far below the bit rate
        // asked for; "snow" (noise) fills it, for clips of a known, steady rate.
        std::string pattern = "ball";
        // Raw I420 frames instead of H.264: each frame the same size, so that
        // the clip's byte rate is exact and a server can pace it frame by frame.
        bool uncompressed = false;
    };

    MediaFactory();
    ~MediaFactory();
    MediaFactory(const MediaFactory&) = delete;
    MediaFactory& operator=(const MediaFactory&) = delete;

    const std::filesystem::path& dir() const { return m_dir; }
    // A Matroska clip (H.264 video, Vorbis audio) named fileName in dir(); throws
    // std::runtime_error when it cannot be made.
    std::filesystem::path make(const std::string& fileName, const Clip& clip);
    // An MP4 clip (H.264 video, AAC audio) with its index (moov) after the media
    // data, as most encoders write it unless told to move it to the front.
    std::filesystem::path makeMp4(const std::string& fileName, const Clip& clip);
    // An HTTP live stream (MPEG-TS segments of one second and a finished
    // playlist "index.m3u8") of a video-only clip in dir()/folder; returns the playlist.
    std::filesystem::path makeHls(const std::string& folder, const Clip& clip);
    // An HTTP live stream of three variants (BANDWIDTH 500000, 920000, 1670000;
    // 320x180, 640x360, 1280x720; noise at about 90 % of each, 2-s segments)
    // in dir()/folder/v0..v2, under a master playlist "master.m3u8"; returns it.
    std::filesystem::path makeHlsLadder(const std::string& folder, double seconds);
    // The same ladder for DASH: fragmented MP4 cut at its moof boxes into an
    // init segment and 2-s media segments per representation (dir()/folder/v0..v2),
    // under a hand-written MPD "manifest.mpd" with a SegmentTimeline; returns it.
    std::filesystem::path makeDashLadder(const std::string& folder, double seconds);
    // A clip of any make: launch is a gst-launch description whose file sink
    // writes to "{file}", which becomes dir()/fileName; throws as make does.
    std::filesystem::path makeLaunched(const std::string& fileName, const std::string& launch);
    // Writes a text file into dir().
    std::filesystem::path write(const std::string& fileName, const std::string& text);

private:
    // endList: the playlist made is done once it ends with #EXT-X-ENDLIST,
    // whether or not hlssink2 reaches its EOS (it sometimes hangs there).
    void run(const std::string& launch, const std::filesystem::path& made, bool endList = false);

    std::filesystem::path m_dir;
};

} // namespace zephyrscope::testing
