#include "PlayerTestEnvironment.h"

#include "ContentProbes.h"
#include "GstHandles.h"
#include "PlayState.h"
#include "PlayerSnapshot.h"
#include "RtspServerProcess.h"
#include "StreamCounters.h"

#include <gst/video/video.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <sstream>

using namespace zephyrscope;
using namespace zephyrscope::testing;
using namespace std::chrono_literals;

namespace {

constexpr char kVideoCaps[] = "video/x-raw,width=320,height=240,framerate=25/1,format=I420";
constexpr char kAudioCaps[] = "audio/x-raw,rate=48000,channels=2,format=S16LE,layout=interleaved";
constexpr std::int64_t kFrameUs = 40000;
constexpr std::int64_t kAudioToleranceUs = 20000;

std::string videoPart(const std::string& pattern)
{
    return " videotestsrc " + pattern + " num-buffers=50 ! " + kVideoCaps + " ! v.";
}
std::string audioPart(const std::string& wave)
{
    return " audiotestsrc " + wave + " num-buffers=200 samplesperbuffer=480 ! " + kAudioCaps + " ! a.";
}

// 10 s in five parts of 2 s. Picture: moving bars, black, moving, still bars,
// moving (smpte75: smpte's pattern has a patch of noise that moves even when
// the bars stand still). Sound: a tone, digital silence, the tone, the tone at -70 dBFS, the
// tone. H.264 with one key frame, so the still part decodes to one picture
// repeated; sound as PCM.
std::string contentClip()
{
    const std::string moving = "pattern=smpte75 horizontal-speed=4";
    const std::string tone = "wave=sine freq=440 volume=0.5";
    return SharedMedia()
        .makeLaunched("content.mkv",
                      "concat name=v ! videoconvert ! x264enc speed-preset=ultrafast key-int-max=1000 ! h264parse"
                      " ! matroskamux name=m ! filesink location={file}"
                          + videoPart(moving) + videoPart("pattern=black") + videoPart(moving)
                          + videoPart("pattern=smpte75") + videoPart(moving) + " concat name=a ! audioconvert ! m."
                          + audioPart(tone) + audioPart("wave=silence") + audioPart(tone)
                          // -70 dBFS: 10^(-70/20) of full scale at the sine's peak.
                          + audioPart("wave=sine freq=440 volume=0.000316") + audioPart(tone))
        .string();
}

class PlayerContent : public PlayerFixture {
protected:
    // Plays path to its end, keeping the entry's last figures before it ended.
    NetworkFigures playToEnd(const std::string& path, std::chrono::milliseconds timeout = 30s)
    {
        player->putURL(path);
        NetworkFigures last;
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < until) {
            RunMainLoopFor(100ms);
            const std::int32_t state = player->playState();
            if (state == kPlayStatePlaying)
                last = SnapshotOf(*player);
            if (state == kPlayStateMediaEnded || state == kPlayStateReady)
                break;
        }
        return last;
    }
};

std::string describe(const std::vector<ContentStretch>& stretches)
{
    std::ostringstream out;
    for (const ContentStretch& s : stretches)
        out << static_cast<int>(s.kind) << ": " << s.startMediaUs / 1000 << "-" << s.endMediaUs / 1000
            << " ms (wall length " << (s.endWallMs ? *s.endWallMs - s.startWallMs : -1) << " ms); ";
    return out.str();
}

} // namespace

// Black, still and silent parts at known times are each found once, to a frame
// (picture) or 20 ms (sound); the moving parts and the tone make no stretch.
TEST_F(PlayerContent, FindsBlackStillAndSilentPartsOfAKnownClip)
{
    const NetworkFigures figures = playToEnd(contentClip());
    const auto& stretches = figures.contentStretches;
    std::printf("[ measured ] %s\n", describe(stretches).c_str());
    struct Expected {
        ContentKind kind;
        std::int64_t startUs, endUs, toleranceUs;
    };
    const Expected expected[] = {{ContentKind::Black, 2000000, 4000000, kFrameUs},
                                 // The moving part after it starts from the still picture
                                 // (its scroll begins at 0): the picture moves at 8.04 s.
                                 {ContentKind::Freeze, 6000000, 8040000, kFrameUs},
                                 {ContentKind::Silence, 2000000, 4000000, kAudioToleranceUs},
                                 {ContentKind::Silence, 6000000, 8000000, kAudioToleranceUs}};
    ASSERT_EQ(stretches.size(), std::size(expected)) << describe(stretches);
    for (const Expected& e : expected) {
        const auto found = std::find_if(stretches.begin(), stretches.end(), [&](const ContentStretch& s) {
            return s.kind == e.kind && std::llabs(s.startMediaUs - e.startUs) <= e.toleranceUs;
        });
        ASSERT_NE(found, stretches.end()) << static_cast<int>(e.kind) << " at " << e.startUs;
        EXPECT_NEAR(static_cast<double>(found->endMediaUs), static_cast<double>(e.endUs),
                    static_cast<double>(e.toleranceUs));
        ASSERT_TRUE(found->endWallMs);
        // Shown in real time: the wall clock's length is the media's, give or take a frame.
        EXPECT_NEAR(static_cast<double>(*found->endWallMs - found->startWallMs),
                    static_cast<double>(e.endUs - e.startUs) / 1000.0, 40.0);
        EXPECT_GE(found->foundAfterMs, 500);
    }
    EXPECT_EQ(figures.blackEvents, 1);
    EXPECT_EQ(figures.freezeEvents, 1);
    EXPECT_EQ(figures.silenceEvents, 2);
    EXPECT_NEAR(figures.blackSeconds, 2.0, 0.04);
    EXPECT_NEAR(figures.silenceSeconds, 4.0, 0.04);
    EXPECT_TRUE(figures.audioPlayed);
    EXPECT_FALSE(figures.avOffsetMs) << "no sync pattern in this clip";
}

TEST_F(PlayerContent, AClipWithoutSoundIsNotSilentAndHasNoLoudness)
{
    const NetworkFigures figures = playToEnd(Clip25());
    EXPECT_FALSE(figures.audioPlayed);
    EXPECT_EQ(figures.silenceEvents, 0);
    EXPECT_FALSE(figures.loudnessIntegratedLufs);
    EXPECT_FALSE(figures.truePeakDbtp);
}

namespace {

// EBU Tech 3341's first case: a stereo 1-kHz sine at -23.0 dBFS on both
// channels reads -23.0 LUFS. 10^(-23/20) = 0.0707946.
std::string loudnessLaunch(const std::string& encodeAndMux)
{
    return "audiotestsrc wave=sine freq=1000 volume=0.0707946 num-buffers=250 samplesperbuffer=960 ! "
           "audio/x-raw,rate=48000,channels=2,format=S16LE,layout=interleaved ! "
        + encodeAndMux + " ! filesink location={file}";
}

} // namespace

TEST_F(PlayerContent, EbuCaseOneReadsMinus23LufsAsPcmAndAfterAac)
{
    const NetworkFigures pcm = playToEnd(SharedMedia().makeLaunched("ebu1.mkv", loudnessLaunch("matroskamux")).string());
    ASSERT_TRUE(pcm.loudnessIntegratedLufs);
    std::printf("[ measured ] PCM: integrated %.2f LUFS, momentary %.2f, short-term %.2f, range %.2f LU, "
                "true peak %.2f dBTP\n",
                *pcm.loudnessIntegratedLufs, pcm.loudnessMomentaryLufs.value_or(NAN),
                pcm.loudnessShortTermLufs.value_or(NAN), pcm.loudnessRangeLu.value_or(NAN),
                pcm.truePeakDbtp.value_or(NAN));
    EXPECT_NEAR(*pcm.loudnessIntegratedLufs, -23.0, 0.1);
    ASSERT_TRUE(pcm.truePeakDbtp);
    EXPECT_NEAR(*pcm.truePeakDbtp, -23.0, 0.2);
    EXPECT_EQ(pcm.silenceEvents, 0);

    const NetworkFigures aac = playToEnd(
        SharedMedia().makeLaunched("ebu1.m4a", loudnessLaunch("audioconvert ! avenc_aac ! aacparse ! mp4mux")).string());
    ASSERT_TRUE(aac.loudnessIntegratedLufs);
    std::printf("[ measured ] AAC: integrated %.2f LUFS\n", *aac.loudnessIntegratedLufs);
    EXPECT_NEAR(*aac.loudnessIntegratedLufs, -23.0, 0.3);
}

namespace {

// The sync pattern: a white flash each second (blink at 2 frames a second:
// black, then white from 0.5 s of each second) and a 10-ms 1-kHz beep each
// second, soundLateMs after the flash. audiotestsrc starts every tick after
// the first one buffer early: buffers of 1 ms keep that within a millisecond.
std::string syncClip(int soundLateMs)
{
    return SharedMedia()
        .makeLaunched("sync" + std::to_string(soundLateMs) + ".mkv",
                      "videotestsrc pattern=blink num-buffers=14 ! video/x-raw,framerate=2/1,width=320,height=240 ! "
                      "videoconvert ! x264enc speed-preset=ultrafast ! "
                      "h264parse ! matroskamux name=m ! filesink location={file} "
                      "audiotestsrc wave=ticks freq=1000 timestamp-offset="
                          + std::to_string((500 + soundLateMs) * 1000000LL)
                          + " num-buffers=7000 samplesperbuffer=48 ! audio/x-raw,rate=48000,channels=2 ! m.")
        .string();
}

} // namespace

TEST_F(PlayerContent, SyncPatternOffsetOfSoundLateAndInSync)
{
    for (const int lateMs : {200, 0}) {
        const NetworkFigures figures = playToEnd(syncClip(lateMs));
        ASSERT_TRUE(figures.avOffsetMs) << "sound " << lateMs << " ms late";
        std::printf("[ measured ] sound %d ms late: A/V offset %.1f ms\n", lateMs, *figures.avOffsetMs);
        EXPECT_NEAR(*figures.avOffsetMs, lateMs, 20.0);
    }
}

// A minute of moving bars and a tone, decoded as fast as it goes into fake
// sinks that do not sync (the detectors go by the buffers' times), through
// the same sink probes: no stretch of any kind, and loudness all along.
TEST(PlayerContentProbes, AMinuteOfMovingPicturesAndToneHasNoStretch)
{
    const std::string path
        = SharedMedia()
              .makeLaunched("minute.mkv",
                            "videotestsrc pattern=smpte75 horizontal-speed=4 num-buffers=1500 ! "
                            "video/x-raw,width=320,height=240,framerate=25/1 ! x264enc speed-preset=ultrafast ! "
                            "h264parse ! matroskamux name=m ! filesink location={file} "
                            "audiotestsrc wave=sine freq=440 volume=0.5 num-buffers=6000 samplesperbuffer=480 ! "
                            "audio/x-raw,rate=48000,channels=2 ! audioconvert ! vorbisenc ! m.")
              .string();
    GError* error = nullptr;
    gsthandles::ElementPtr pipeline {gst_parse_launch(("filesrc location=\"" + path
                                                       + "\" ! decodebin name=d d. ! queue ! fakesink name=v "
                                                         "sync=false d. ! queue ! fakesink name=a sync=false")
                                                          .c_str(),
                                                      &error)};
    ASSERT_TRUE(pipeline) << (error ? error->message : "");
    auto counters = std::make_shared<StreamCounters>();
    counters->content().configure(ContentSettings {});
    gsthandles::ElementPtr video {gst_bin_get_by_name(GST_BIN(pipeline.get()), "v")};
    gsthandles::ElementPtr audio {gst_bin_get_by_name(GST_BIN(pipeline.get()), "a")};
    ContentProbes::attach(video.get(), audio.get(), counters);
    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    gsthandles::BusPtr bus {gst_element_get_bus(pipeline.get())};
    gsthandles::MessagePtr message {gst_bus_timed_pop_filtered(
        bus.get(), 60 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR))};
    ASSERT_TRUE(message);
    EXPECT_EQ(GST_MESSAGE_TYPE(message.get()), GST_MESSAGE_EOS);
    gint64 position = 0;
    gst_element_query_position(pipeline.get(), GST_FORMAT_TIME, &position);
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    NetworkFigures figures;
    counters->content().fill(figures);
    std::printf("[ measured ] %.1f s played: %zu stretches, integrated loudness %.2f LUFS\n",
                static_cast<double>(position) / GST_SECOND, figures.contentStretches.size(),
                figures.loudnessIntegratedLufs.value_or(NAN));
    EXPECT_NEAR(static_cast<double>(position) / GST_SECOND, 60.0, 0.1);
    EXPECT_TRUE(figures.contentStretches.empty()) << describe(figures.contentStretches);
    EXPECT_EQ(figures.blackSeconds + figures.freezeSeconds + figures.silenceSeconds, 0.0);
    EXPECT_TRUE(figures.audioPlayed);
    // A 440-Hz sine at half of full scale (-6 dBFS) on both channels: about -6 LUFS,
    // less the K-weighting's fraction of a dB at 440 Hz.
    ASSERT_TRUE(figures.loudnessIntegratedLufs);
    EXPECT_NEAR(*figures.loudnessIntegratedLufs, -6.6, 0.3);
}

namespace {

// What a synced fake sink really rendered, and when (its handoff comes after
// its clock wait): how many pictures, the first black one, and the first after
// it that is not.
struct SinkRenders {
    std::atomic<int> pictures {0};
    std::atomic<std::int64_t> firstBlackUs {0}, firstAfterUs {0};

    static void onHandoff(GstElement*, GstBuffer* buffer, GstPad* pad, gpointer data)
    {
        auto& renders = *static_cast<SinkRenders*>(data);
        const std::int64_t nowUs = g_get_real_time();
        gsthandles::CapsPtr caps {gst_pad_get_current_caps(pad)};
        GstVideoInfo info;
        GstVideoFrame frame;
        if (!caps || !gst_video_info_from_caps(&info, caps.get()) || !GST_VIDEO_INFO_IS_YUV(&info)
            || !gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ))
            return;
        // The mean luma of the picture: limited-range black is 16.
        std::uint64_t sum = 0, count = 0;
        const auto* luma = static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_COMP_DATA(&frame, 0));
        for (int y = 0; y < GST_VIDEO_FRAME_COMP_HEIGHT(&frame, 0); ++y)
            for (int x = 0; x < GST_VIDEO_FRAME_COMP_WIDTH(&frame, 0); ++x, ++count)
                sum += luma[y * GST_VIDEO_FRAME_COMP_STRIDE(&frame, 0) + x];
        gst_video_frame_unmap(&frame);
        ++renders.pictures;
        const bool black = count > 0 && sum / count < 24;
        std::int64_t none = 0;
        if (black)
            renders.firstBlackUs.compare_exchange_strong(none, nowUs);
        else if (renders.firstBlackUs.load() != 0)
            renders.firstAfterUs.compare_exchange_strong(none, nowUs);
    }
};

// A live RTSP stream of the test server played by playbin3 into a synced fake
// sink, through the same sink probes as the player's.
struct RtspThroughProbes {
    NetworkFigures figures;
    GstClockTime latency = 0; // the pipeline's, as it last played
    std::string error;
};

template <typename Done>
RtspThroughProbes playRtsp(const std::string& url, SinkRenders& renders, Done&& done)
{
    gst_init(nullptr, nullptr);
    RtspThroughProbes played;
    gsthandles::ElementPtr pipeline {GST_ELEMENT(gst_object_ref_sink(gst_element_factory_make("playbin3", nullptr)))};
    GstElement* sink = gst_element_factory_make("fakesink", nullptr);
    g_object_set(sink, "sync", TRUE, "signal-handoffs", TRUE, nullptr);
    g_signal_connect(sink, "handoff", G_CALLBACK(&SinkRenders::onHandoff), &renders);
    g_object_set(pipeline.get(), "uri", url.c_str(), "video-sink", sink, nullptr);
    auto counters = std::make_shared<StreamCounters>();
    counters->content().configure(ContentSettings {});
    ContentProbes::attach(sink, nullptr, counters);
    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    gsthandles::BusPtr bus {gst_element_get_bus(pipeline.get())};
    const auto until = std::chrono::steady_clock::now() + 30s;
    while (!done() && std::chrono::steady_clock::now() < until) {
        gsthandles::MessagePtr message {gst_bus_timed_pop_filtered(
            bus.get(), 100 * GST_MSECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR))};
        if (message && GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_ERROR) {
            GError* error = nullptr;
            gst_message_parse_error(message.get(), &error, nullptr);
            played.error = url + ": " + (error ? error->message : "an error");
            g_clear_error(&error);
            break;
        }
        if (message)
            break;
    }
    GstQuery* query = gst_query_new_latency();
    if (gst_element_query(pipeline.get(), query))
        gst_query_parse_latency(query, nullptr, &played.latency, nullptr);
    gst_query_unref(query);
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    counters->content().fill(played.figures);
    return played;
}

} // namespace

// A live RTSP stream's pictures reach the sink a jitter buffer (2 s) before the
// sink shows them: its black part is placed on the wall clock where the sink
// really showed it.
TEST(PlayerContentProbes, ALiveRtspStreamsBlackPartIsWhereTheSinkShowedIt)
{
    RtspServerProcess server(ZEPHYRSCOPE_RTSP_SERVER, {"--file", contentClip(), "--timeout", "60"});
    SinkRenders renders;
    // Black from 2 s to 4 s of the clip: the picture after it comes about 6 s in.
    const RtspThroughProbes played
        = playRtsp(server.url("rtspt"), renders, [&] { return renders.firstAfterUs.load() != 0; });
    ASSERT_EQ(played.error, "");
    const auto& stretches = played.figures.contentStretches;
    ASSERT_NE(renders.firstBlackUs.load(), 0) << describe(stretches);
    ASSERT_NE(renders.firstAfterUs.load(), 0) << describe(stretches);
    const auto black = std::find_if(stretches.begin(), stretches.end(),
                                    [](const ContentStretch& s) { return s.kind == ContentKind::Black; });
    ASSERT_NE(black, stretches.end()) << describe(stretches);
    ASSERT_TRUE(black->endWallMs);
    const double startOff = static_cast<double>(black->startWallMs) - renders.firstBlackUs.load() / 1000.0;
    const double endOff = static_cast<double>(*black->endWallMs) - renders.firstAfterUs.load() / 1000.0;
    std::printf("[ measured ] pipeline latency %.0f ms; black stretch %+.1f ms from the sink's first black "
                "picture, its end %+.1f ms from the first picture after it\n",
                static_cast<double>(played.latency) / GST_MSECOND, startOff, endOff);
    EXPECT_GE(played.latency, 2000 * GST_MSECOND) << "the jitter buffer's";
    EXPECT_NEAR(startOff, 0.0, 60.0);
    EXPECT_NEAR(endOff, 0.0, 60.0);
}

namespace {

struct ServerPicture {
    const char* name;
    bool black; // by the black-picture measure, throughout
};

class RtspServerPictures : public ::testing::TestWithParam<ServerPicture> {};

} // namespace

// The test server's generated pictures all move; only the ball on black is black.
TEST_P(RtspServerPictures, MoveAndAreBlackOnlyOnBlack)
{
    const ServerPicture picture = GetParam();
    RtspServerProcess server(ZEPHYRSCOPE_RTSP_SERVER,
                             {"--picture", picture.name, "--seconds", "4", "--size", "640x360", "--timeout", "60"});
    SinkRenders renders;
    const RtspThroughProbes played = playRtsp(server.url("rtspt"), renders, [&] { return renders.pictures >= 75; });
    ASSERT_EQ(played.error, "");
    const NetworkFigures& f = played.figures;
    std::printf("[ measured ] %s: %d pictures, black %.2f s, frozen %.2f s\n", picture.name, renders.pictures.load(),
                f.blackSeconds, f.freezeSeconds);
    EXPECT_GE(renders.pictures, 75);
    EXPECT_EQ(f.freezeSeconds, 0.0) << describe(f.contentStretches);
    if (picture.black)
        EXPECT_GE(f.blackSeconds, 2.5) << describe(f.contentStretches);
    else
        EXPECT_EQ(f.blackSeconds, 0.0) << describe(f.contentStretches);
}

INSTANTIATE_TEST_SUITE_P(Pictures, RtspServerPictures,
                         ::testing::Values(ServerPicture {"ball", true}, ServerPicture {"grey-ball", false},
                                           ServerPicture {"bars", false}),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

namespace {

struct PictureFormat {
    const char* format;
    bool videoMeta; // the buffers carry their planes' layout in a video meta
};

// Adds a video meta to each picture, with the planes where the caps put them,
// as a decoder that knows the sink takes one does.
GstPadProbeReturn addVideoMeta(GstPad* pad, GstPadProbeInfo* info, gpointer)
{
    gsthandles::CapsPtr caps {gst_pad_get_current_caps(pad)};
    GstVideoInfo video;
    if (!caps || !gst_video_info_from_caps(&video, caps.get()))
        return GST_PAD_PROBE_OK;
    GstBuffer* buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
    gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_INFO_FORMAT(&video),
                                   GST_VIDEO_INFO_WIDTH(&video), GST_VIDEO_INFO_HEIGHT(&video),
                                   GST_VIDEO_INFO_N_PLANES(&video), video.offset, video.stride);
    GST_PAD_PROBE_INFO_DATA(info) = buffer;
    return GST_PAD_PROBE_OK;
}

class PlayerContentPictureFormats : public ::testing::TestWithParam<PictureFormat> {
protected:
    static void SetUpTestSuite() { gst_init(nullptr, nullptr); }
};

} // namespace

// 0.8 s of black, then 0.8 s of moving bars, raw in each format a sink may
// take (8-bit and deeper luma, planar, semi-planar and packed, RGB packed and
// planar): the luma is read from its own plane in place, and the black is
// found once, from the first picture to the first of the bars.
TEST_P(PlayerContentPictureFormats, BlackIsFoundInEveryLayoutOfThePicture)
{
    const PictureFormat& param = GetParam();
    const std::string caps
        = std::string("video/x-raw,width=320,height=240,framerate=25/1,format=") + param.format;
    const std::string launch = "concat name=c ! fakesink name=v sync=false"
                               " videotestsrc pattern=black num-buffers=20 ! "
        + caps + " ! c. videotestsrc pattern=smpte75 horizontal-speed=4 num-buffers=20 ! " + caps + " ! c.";
    GError* error = nullptr;
    gsthandles::ElementPtr pipeline {gst_parse_launch(launch.c_str(), &error)};
    ASSERT_TRUE(pipeline) << (error ? error->message : "");
    auto counters = std::make_shared<StreamCounters>();
    counters->content().configure(ContentSettings {});
    gsthandles::ElementPtr video {gst_bin_get_by_name(GST_BIN(pipeline.get()), "v")};
    if (param.videoMeta) {
        gsthandles::PadPtr pad {gst_element_get_static_pad(video.get(), "sink")};
        gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER, addVideoMeta, nullptr, nullptr);
    }
    ContentProbes::attach(video.get(), nullptr, counters);
    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    gsthandles::BusPtr bus {gst_element_get_bus(pipeline.get())};
    gsthandles::MessagePtr message {gst_bus_timed_pop_filtered(
        bus.get(), 20 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR))};
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    ASSERT_TRUE(message);
    ASSERT_EQ(GST_MESSAGE_TYPE(message.get()), GST_MESSAGE_EOS);
    NetworkFigures figures;
    counters->content().fill(figures);
    std::printf("[ measured ] %s%s: %s\n", param.format, param.videoMeta ? " with a video meta" : "",
                describe(figures.contentStretches).c_str());
    ASSERT_EQ(figures.contentStretches.size(), 1u) << describe(figures.contentStretches);
    const ContentStretch& black = figures.contentStretches.front();
    EXPECT_EQ(black.kind, ContentKind::Black);
    EXPECT_EQ(black.startMediaUs, 0);
    EXPECT_EQ(black.endMediaUs, 20 * kFrameUs);
    EXPECT_EQ(figures.freezeEvents, 0);
}

INSTANTIATE_TEST_SUITE_P(Layouts, PlayerContentPictureFormats,
                         ::testing::Values(PictureFormat {"I420", false}, PictureFormat {"I420", true},
                                           PictureFormat {"NV12", true}, PictureFormat {"Y444_10LE", false},
                                           PictureFormat {"I420_10LE", true}, PictureFormat {"YUY2", false},
                                           PictureFormat {"GRAY8", false}, PictureFormat {"BGRx", false},
                                           PictureFormat {"GBR", true}),
                         [](const ::testing::TestParamInfo<PictureFormat>& info) {
                             return std::string(info.param.format) + (info.param.videoMeta ? "_meta" : "");
                         });
