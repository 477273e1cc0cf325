#include "MediaFactory.h"

#include <gst/gst.h>

#include <fstream>
#include <memory>
#include <vector>
#include <stdexcept>

namespace zephyrscope::testing {

namespace {
constexpr GstClockTime kMakeTimeout = 60 * GST_SECOND; // a 3 s clip takes well under a second
constexpr GstClockTime kPollPeriod = 100 * GST_MSECOND;
constexpr int kAudioRate = 48000;
constexpr int kSamplesPerBuffer = 480; // 10 ms, so the audio ends exactly with the video
}

MediaFactory::MediaFactory()
{
    if (!gst_is_initialized())
        gst_init(nullptr, nullptr);
    std::string pattern = (std::filesystem::temp_directory_path() / "zephyrscope-media-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("Cannot create folder '" + pattern + "': mkdtemp failed");
    m_dir = pattern;
}

MediaFactory::~MediaFactory()
{
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
}

std::filesystem::path MediaFactory::make(const std::string& fileName, const Clip& clip)
{
    const auto path = m_dir / fileName;
    if (std::filesystem::exists(path))
        return path;
    // Uncompressed: a cluster per frame, as a streaming demuxer hands on a cluster only once it has it whole.
    std::string launch = std::string("matroskamux name=mux") + (clip.uncompressed ? " min-cluster-duration=0" : "")
        + " ! filesink location=\"" + path.string() + "\" ";
    if (clip.video) {
        const int frames = static_cast<int>(clip.seconds * clip.fps + 0.5);
        launch += "videotestsrc num-buffers=" + std::to_string(frames) + " pattern=" + clip.pattern + " ! video/x-raw,width="
            + std::to_string(clip.width) + ",height=" + std::to_string(clip.height)
            + ",framerate=" + std::to_string(clip.fps) + "/1" + (clip.uncompressed ? ",format=I420" : "") + " ! ";
        if (!clip.uncompressed)
            launch += "x264enc speed-preset=ultrafast key-int-max=" + std::to_string(clip.fps)
                + " bitrate=" + std::to_string(clip.videoBitrateKbps) + " ! h264parse ! ";
        if (!clip.title.empty())
            launch += "taginject tags=\"title=\\\"" + clip.title + "\\\"\" ! ";
        launch += "mux. ";
    }
    if (clip.audio) {
        const int buffers = static_cast<int>(clip.seconds * kAudioRate / kSamplesPerBuffer + 0.5);
        launch += "audiotestsrc num-buffers=" + std::to_string(buffers)
            + " samplesperbuffer=" + std::to_string(kSamplesPerBuffer) + " ! audio/x-raw,rate="
            + std::to_string(kAudioRate) + ",channels=2 ! audioconvert ! vorbisenc ! ";
        if (!clip.title.empty() && !clip.video)
            launch += "taginject tags=\"title=\\\"" + clip.title + "\\\"\" ! ";
        launch += "mux. ";
    }

    run(launch, path);
    return path;
}

std::filesystem::path MediaFactory::makeMp4(const std::string& fileName, const Clip& clip)
{
    const auto path = m_dir / fileName;
    if (std::filesystem::exists(path))
        return path;
    const int frames = static_cast<int>(clip.seconds * clip.fps + 0.5);
    const int buffers = static_cast<int>(clip.seconds * kAudioRate / kSamplesPerBuffer + 0.5);
    const std::string launch = "mp4mux name=mux ! filesink location=\"" + path.string() + "\" videotestsrc num-buffers="
        + std::to_string(frames) + " pattern=" + clip.pattern + " ! video/x-raw,width=" + std::to_string(clip.width)
        + ",height=" + std::to_string(clip.height) + ",framerate=" + std::to_string(clip.fps)
        + "/1 ! x264enc speed-preset=ultrafast key-int-max=" + std::to_string(clip.fps) + " bitrate="
        + std::to_string(clip.videoBitrateKbps) + " ! h264parse ! mux. audiotestsrc num-buffers="
        + std::to_string(buffers) + " samplesperbuffer=" + std::to_string(kSamplesPerBuffer) + " ! audio/x-raw,rate="
        + std::to_string(kAudioRate) + ",channels=2 ! audioconvert ! avenc_aac ! aacparse ! mux.";
    run(launch, path);
    return path;
}

std::filesystem::path MediaFactory::makeHls(const std::string& folder, const Clip& clip)
{
    const auto dir = m_dir / folder;
    const auto playlist = dir / "index.m3u8";
    if (std::filesystem::exists(playlist))
        return playlist;
    std::filesystem::create_directories(dir);
    const int frames = static_cast<int>(clip.seconds * clip.fps + 0.5);
    const std::string launch = "videotestsrc num-buffers=" + std::to_string(frames) + " pattern=ball ! video/x-raw,width="
        + std::to_string(clip.width) + ",height=" + std::to_string(clip.height) + ",framerate=" + std::to_string(clip.fps)
        + "/1 ! x264enc speed-preset=ultrafast key-int-max=" + std::to_string(clip.fps)
        + " bitrate=" + std::to_string(clip.videoBitrateKbps) + " ! h264parse ! hlssink2 location=\"" + (dir / "seg%05d.ts").string()
        + "\" playlist-location=\"" + playlist.string() + "\" target-duration=1 max-files=0 playlist-length=0";
    run(launch, playlist);
    return playlist;
}

namespace {

struct LadderVariant {
    int width, height, declaredBps;
};
constexpr LadderVariant kLadder[] = {{320, 180, 500000}, {640, 360, 920000}, {1280, 720, 1670000}};
constexpr int kLadderFps = 25;

// Noise at about 90 % of the declared bandwidth, a key frame every 2 s, into sink.
std::string ladderEncoding(const LadderVariant& v, double seconds, const std::string& sink)
{
    return "videotestsrc num-buffers=" + std::to_string(static_cast<int>(seconds * kLadderFps + 0.5))
        + " pattern=snow ! video/x-raw,format=I420,width=" + std::to_string(v.width) + ",height="
        + std::to_string(v.height) + ",framerate=" + std::to_string(kLadderFps)
        + "/1 ! x264enc speed-preset=ultrafast key-int-max=" + std::to_string(2 * kLadderFps)
        + " option-string=scenecut=0 bitrate=" + std::to_string(v.declaredBps * 9 / 10 / 1000) + " ! h264parse ! "
        + sink;
}

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeFile(const std::filesystem::path& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    if (!out)
        throw std::runtime_error("Cannot write file '" + path.string() + "'");
}

// Splits a fragmented MP4 into its init segment (the boxes before the first
// moof) and media segments (each moof with what follows up to the next moof).
std::vector<std::string> splitAtMoof(const std::string& mp4)
{
    std::vector<std::string> parts(1);
    std::size_t at = 0;
    while (at + 8 <= mp4.size()) {
        std::uint64_t size = 0;
        for (int i = 0; i < 4; ++i)
            size = size << 8 | static_cast<unsigned char>(mp4[at + i]);
        const std::string type = mp4.substr(at + 4, 4);
        if (size == 1 && at + 16 <= mp4.size()) {
            size = 0;
            for (int i = 8; i < 16; ++i)
                size = size << 8 | static_cast<unsigned char>(mp4[at + i]);
        } else if (size == 0) {
            size = mp4.size() - at;
        }
        if (size < 8 || at + size > mp4.size())
            break;
        if (type == "moof")
            parts.emplace_back();
        if (type != "mfra")
            parts.back() += mp4.substr(at, size);
        at += size;
    }
    return parts;
}

} // namespace

std::filesystem::path MediaFactory::makeDashLadder(const std::string& folder, double seconds)
{
    const auto dir = m_dir / folder;
    const auto manifest = dir / "manifest.mpd";
    if (std::filesystem::exists(manifest))
        return manifest;
    std::string representations;
    std::size_t segments = 0;
    for (int i = 0; i < 3; ++i) {
        const LadderVariant& v = kLadder[i];
        const auto variantDir = dir / ("v" + std::to_string(i));
        std::filesystem::create_directories(variantDir);
        const auto whole = variantDir / "whole.mp4";
        run(ladderEncoding(v, seconds, "mp4mux fragment-duration=2000 streamable=true ! filesink location=\""
                                           + whole.string() + "\""),
            whole);
        const auto parts = splitAtMoof(readFile(whole));
        std::filesystem::remove(whole);
        if (parts.size() < 2)
            throw std::runtime_error("Cannot make clip '" + whole.string() + "': no fragments");
        writeFile(variantDir / "init.mp4", parts[0]);
        for (std::size_t k = 1; k < parts.size(); ++k)
            writeFile(variantDir / ("seg" + std::to_string(k) + ".m4s"), parts[k]);
        segments = parts.size() - 1;
        representations += "<Representation id=\"v" + std::to_string(i) + "\" bandwidth=\""
            + std::to_string(v.declaredBps) + "\" width=\"" + std::to_string(v.width) + "\" height=\""
            + std::to_string(v.height) + "\" codecs=\"avc1.42c01e\"/>\n";
    }
    // Every segment lasts 2 s but perhaps the last.
    const int totalMs = static_cast<int>(seconds * 1000 + 0.5);
    const int lastMs = totalMs - 2000 * static_cast<int>(segments - 1);
    std::string timeline = lastMs == 2000
        ? "<S t=\"0\" d=\"2000\" r=\"" + std::to_string(segments - 1) + "\"/>"
        : "<S t=\"0\" d=\"2000\" r=\"" + std::to_string(segments - 2) + "\"/><S d=\"" + std::to_string(lastMs) + "\"/>";
    const std::string mpd = "<?xml version=\"1.0\"?>\n<MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\" "
                            "profiles=\"urn:mpeg:dash:profile:isoff-live:2011\" type=\"static\" "
                            "mediaPresentationDuration=\"PT"
        + std::to_string(totalMs / 1000) + "." + std::to_string(totalMs % 1000 / 100)
        + "S\" minBufferTime=\"PT2S\">\n<Period start=\"PT0S\">\n"
          "<AdaptationSet mimeType=\"video/mp4\" segmentAlignment=\"true\" startWithSAP=\"1\">\n"
          "<SegmentTemplate timescale=\"1000\" initialization=\"$RepresentationID$/init.mp4\" "
          "media=\"$RepresentationID$/seg$Number$.m4s\" startNumber=\"1\">\n<SegmentTimeline>"
        + timeline + "</SegmentTimeline>\n</SegmentTemplate>\n" + representations
        + "</AdaptationSet>\n</Period>\n</MPD>\n";
    return write(folder + "/manifest.mpd", mpd);
}

std::filesystem::path MediaFactory::makeHlsLadder(const std::string& folder, double seconds)
{
    const auto dir = m_dir / folder;
    const auto master = dir / "master.m3u8";
    if (std::filesystem::exists(master))
        return master;
    std::string text = "#EXTM3U\n";
    for (int i = 0; i < 3; ++i) {
        const LadderVariant& v = kLadder[i];
        const auto variantDir = dir / ("v" + std::to_string(i));
        std::filesystem::create_directories(variantDir);
        const auto playlist = variantDir / "index.m3u8";
        run(ladderEncoding(v, seconds, "hlssink2 location=\"" + (variantDir / "seg%05d.ts").string()
                                           + "\" playlist-location=\"" + playlist.string()
                                           + "\" target-duration=2 max-files=0 playlist-length=0"),
            playlist, true);
        text += "#EXT-X-STREAM-INF:BANDWIDTH=" + std::to_string(v.declaredBps) + ",RESOLUTION="
            + std::to_string(v.width) + "x" + std::to_string(v.height) + "\nv" + std::to_string(i) + "/index.m3u8\n";
    }
    return write(folder + "/master.m3u8", text);
}

std::filesystem::path MediaFactory::makeLaunched(const std::string& fileName, const std::string& launch)
{
    const std::filesystem::path path = m_dir / fileName;
    if (std::filesystem::exists(path))
        return path;
    std::string filled = launch;
    const std::string placeholder = "{file}";
    if (const std::size_t at = filled.find(placeholder); at != std::string::npos)
        filled.replace(at, placeholder.size(), path.string());
    run(filled, path);
    return path;
}

void MediaFactory::run(const std::string& launch, const std::filesystem::path& path, bool endList)
{
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(launch.c_str(), &error);
    if (!pipeline) {
        std::string reason = error ? error->message : "unknown";
        if (error)
            g_error_free(error);
        throw std::runtime_error("Cannot build pipeline '" + launch + "': " + reason);
    }
    if (error)
        g_error_free(error);
    std::unique_ptr<GstElement, void (*)(GstElement*)> owned(pipeline, [](GstElement* p) {
        gst_element_set_state(p, GST_STATE_NULL);
        gst_object_unref(p);
    });
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline);
    const auto ended = [&] {
        std::ifstream in(path, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return text.find("#EXT-X-ENDLIST") != std::string::npos;
    };
    GstMessage* message = nullptr;
    bool done = false;
    const GstClockTime step = endList ? kPollPeriod : kMakeTimeout;
    for (GstClockTime waited = 0; !message && !done && waited < kMakeTimeout; waited += step) {
        message = gst_bus_timed_pop_filtered(bus, step,
                                             static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
        done = endList && ended();
    }
    gst_object_unref(bus);
    const bool ok = (message && GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS) || done;
    if (message)
        gst_message_unref(message);
    owned.reset();
    if (!ok)
        throw std::runtime_error("Cannot make clip '" + path.string() + "': the pipeline failed or timed out");
}

std::filesystem::path MediaFactory::write(const std::string& fileName, const std::string& text)
{
    const auto path = m_dir / fileName;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out)
        throw std::runtime_error("Cannot write file '" + path.string() + "'");
    return path;
}

} // namespace zephyrscope::testing
