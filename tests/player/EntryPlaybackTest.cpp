// The entry playback on its own: a real pipeline of a generated clip, driven by
// messages posted on its real bus, as the elements inside would post them.

#include "PlayerTestEnvironment.h"

#include "EntryPlayback.h"
#include "GstHandles.h"
#include "MediaUrl.h"
#include "Protocol.h"
#include "SinkFactory.h"
#include "WhepServerProcess.h"
#include "WhepSource.h"

#include <gst/gst.h>

#include <vector>

using namespace zephyrscope;
using namespace zephyrscope::testing;
using namespace std::chrono_literals;

namespace {

using State = EntryPlayback::State;

// Long enough that the clip does not end by itself while a test drives it.
std::string Clip10()
{
    MediaFactory::Clip clip;
    clip.seconds = 10.0;
    return SharedMedia().make("clip10.mkv", clip).string();
}

class EntryPlaybackTest : public ::testing::Test, private EntryPlayback::Listener {
protected:
    void SetUp() override
    {
        unsetenv("DISPLAY");
        gst_init(nullptr, nullptr);
    }

    void TearDown() override
    {
        playback.reset();
        RunMainLoopFor(50ms);
    }

    void open(const std::string& path, bool announced = true)
    {
        EntryPlayback::Listener& listener = *this;
        playback = std::make_unique<EntryPlayback>(EntryPlayback::Entry {MediaUrl::toUri(path), "", path},
                                                   EntryPipeline::Settings {}, sinks, announced, true, listener);
        playback->start();
    }

    bool waitFor(State state)
    {
        return RunMainLoopUntil([&] { return playback->state() == state; }, 20s);
    }

    // Posts a message on the pipeline's bus as if the pipeline itself had posted it.
    void post(GstMessage* message) { gst_element_post_message(playback->pipeline()->element(), message); }
    GstObject* source() const { return GST_OBJECT(playback->pipeline()->element()); }

    // The webrtcbin inside the entry's WHEP source, or none.
    GstElement* webrtc() const
    {
        GstElement* found = nullptr;
        GstIterator* it = gst_bin_iterate_recurse(GST_BIN(playback->pipeline()->element()));
        GValue item = G_VALUE_INIT;
        while (!found && gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
            found = WhepSource::webrtcOf(GST_ELEMENT(g_value_get_object(&item)));
            g_value_reset(&item);
        }
        g_value_unset(&item);
        gst_iterator_free(it);
        return found;
    }

    SinkFactory sinks {SinkFactory::Choice::FakeOnly};
    std::unique_ptr<EntryPlayback> playback;
    std::vector<State> states;

private:
    void entryStateChanged(State state) override { states.push_back(state); }
};

} // namespace

TEST_F(EntryPlaybackTest, BufferingPausesAPlayingClipUntilTheQueueIsFullAgain)
{
    open(Clip10());
    ASSERT_TRUE(waitFor(State::Playing));
    ASSERT_EQ(states, (std::vector {State::Opened, State::Playing}));
    EXPECT_EQ(playback->media()->name, "clip10");

    post(gst_message_new_buffering(source(), 40));
    ASSERT_TRUE(waitFor(State::Buffering));
    ASSERT_TRUE(RunMainLoopUntil([&] { return playback->pipeline()->current() == GST_STATE_PAUSED; }, 20s));
    post(gst_message_new_buffering(source(), 70));
    ASSERT_TRUE(RunMainLoopUntil([&] { return playback->figures().bufferingProgress == 70; }, 20s));
    EXPECT_EQ(playback->state(), State::Buffering);
    EXPECT_EQ(playback->figures().bufferingCount, 1);

    post(gst_message_new_buffering(source(), 100));
    ASSERT_TRUE(waitFor(State::Playing));
    EXPECT_EQ(playback->pipeline()->current(), GST_STATE_PLAYING);

    // Pictures that stop (held back before the video sink, the pipeline still
    // playing) are a stall the data-flow watch sees; the queue running low
    // during that stall is the same buffering, counted once. Pausing the
    // pipeline behind the entry's back would not do: on a loaded machine the
    // pipeline was seen playing on to the clip's end.
    GstElement* videoSink = nullptr;
    g_object_get(playback->pipeline()->element(), "video-sink", &videoSink, nullptr);
    ASSERT_NE(videoSink, nullptr);
    GstPad* sinkPad = gst_element_get_static_pad(videoSink, "sink");
    gst_object_unref(videoSink);
    ASSERT_NE(sinkPad, nullptr);
    const gulong hold = gst_pad_add_probe(
        sinkPad, GST_PAD_PROBE_TYPE_BLOCK_DOWNSTREAM,
        [](GstPad*, GstPadProbeInfo*, gpointer) { return GST_PAD_PROBE_OK; }, nullptr, nullptr);
    const bool stalled = RunMainLoopUntil([&] { return playback->state() == State::Buffering; }, 20s);
    EXPECT_EQ(playback->figures().bufferingCount, 2);
    post(gst_message_new_buffering(source(), 30));
    const bool lowSeen = RunMainLoopUntil([&] { return playback->figures().bufferingProgress == 30; }, 20s);
    EXPECT_EQ(playback->figures().bufferingCount, 2);
    post(gst_message_new_buffering(source(), 100));
    gst_pad_remove_probe(sinkPad, hold);
    gst_object_unref(sinkPad);
    ASSERT_TRUE(stalled);
    ASSERT_TRUE(lowSeen);
    ASSERT_TRUE(waitFor(State::Playing));
    EXPECT_EQ(playback->figures().bufferingCount, 2);

    // A title that comes after the open names the clip the program announced.
    GstTagList* tags = gst_tag_list_new(GST_TAG_TITLE, "Late Title", nullptr);
    post(gst_message_new_tag(source(), tags));
    post(gst_message_new_eos(source()));
    ASSERT_TRUE(waitFor(State::Ended));
    EXPECT_EQ(states, (std::vector {State::Opened, State::Playing, State::Buffering, State::Playing, State::Buffering,
                                    State::Playing, State::Ended}));
    EXPECT_EQ(playback->media()->name, "Late Title");
    // Ended, the entry keeps its figures but nothing flows any more.
    EXPECT_EQ(playback->pipeline(), nullptr);
    const NetworkFigures figures = playback->figures();
    EXPECT_EQ(figures.bufferingCount, 2);
    EXPECT_EQ(figures.bufferingProgress, 100);
    EXPECT_EQ(figures.frameRate, 0);
    EXPECT_EQ(figures.encodedFrameRate, 25);
    EXPECT_EQ(columnOf(figures.protocol), "File");
}

TEST_F(EntryPlaybackTest, ClipPlayedAgainKeepsTheNameItOpenedWith)
{
    open(Clip10(), false);
    ASSERT_TRUE(waitFor(State::Playing));
    GstTagList* tags = gst_tag_list_new(GST_TAG_TITLE, "Late Title", nullptr);
    post(gst_message_new_tag(source(), tags));
    // Messages are handled in order: once the buffering is seen, so was the title.
    post(gst_message_new_buffering(source(), 100));
    ASSERT_TRUE(RunMainLoopUntil([&] { return playback->figures().bufferingProgress == 100; }, 20s));
    EXPECT_EQ(playback->media()->name, "clip10");
    playback->stop();
    EXPECT_EQ(states, (std::vector {State::Opened, State::Playing, State::Stopped}));
    EXPECT_EQ(playback->pipeline(), nullptr);
}

TEST_F(EntryPlaybackTest, StreamErrorAfterDataFlowedFailsWithTheElementsLastWord)
{
    open(Clip10());
    ASSERT_TRUE(waitFor(State::Playing));
    GError* error = g_error_new_literal(GST_STREAM_ERROR, GST_STREAM_ERROR_FAILED, "Internal data stream error.");
    post(gst_message_new_error(source(), error, "gstbasesrc.c(3132): gst_base_src_loop ():\n"
                                                "streaming stopped, reason error (-5)"));
    g_error_free(error);
    ASSERT_TRUE(waitFor(State::Failed));
    // Data had flowed: no probe of the source, and nothing said of receiving nothing.
    EXPECT_EQ(playback->failure(), "Internal data stream error. (streaming stopped, reason error (-5))");
    EXPECT_EQ(states, (std::vector {State::Opened, State::Playing, State::Failed}));
    EXPECT_EQ(playback->pipeline(), nullptr);
}

// The WebRTC figures beyond the log's columns, as the entry works them out, against
// the test server's own count of the video packets it dropped (and so were NACKed).
TEST_F(EntryPlaybackTest, WebRtcEntryHasItsJitterNacksRepairRoundTripAndJitterBufferDelay)
{
    WhepSource::registerElement();
    WhepServerProcess server({"--rtx", "--drop-every", "20", "--lifetime", "40"});
    open(server.url());
    ASSERT_TRUE(waitFor(State::Playing));
    RunMainLoopFor(5s);
    const NetworkFigures figures = playback->figures();
    playback.reset();
    ASSERT_TRUE(server.waitForLine("DELETE /session/", 10s));
    server.finish();
    const auto counts = server.lastCounts();
    EXPECT_EQ(columnOf(figures.protocol), "WebRTC");
    ASSERT_GT(counts.videoDropped, 3u);
    // Every dropped packet was asked for at least once (the figures lag a second behind).
    EXPECT_GE(figures.webrtcNackCount, static_cast<std::int64_t>(counts.videoDropped) - 2);
    EXPECT_GE(figures.webrtcPliCount, 0);
    EXPECT_GT(figures.webrtcJitterMs, 0.0);
    EXPECT_LT(figures.webrtcJitterMs, 100.0);
    // Over loopback: well under the jitter buffer's delay.
    EXPECT_GT(figures.webrtcRoundTripMs, 0.0);
    EXPECT_LT(figures.webrtcRoundTripMs, 200.0);
    EXPECT_EQ(figures.webrtcJitterBufferMs, 500);
}

// webrtcbin adds a pad for every new SSRC or payload type of a stream (under
// heavy loss, for instance, a retransmission it cannot map back), also once
// playback chose its streams: such a stream is sunk, its data never stops the
// pipeline as a stream left unlinked would (reason not-linked).
TEST_F(EntryPlaybackTest, WebRtcStreamAddedOnceThePadsAreOutIsSunkAndPlaybackGoesOn)
{
    WhepSource::registerElement();
    WhepServerProcess server({"--rtx", "--lifetime", "40"});
    open(server.url());
    ASSERT_TRUE(waitFor(State::Playing));
    gsthandles::ElementPtr bin(webrtc());
    ASSERT_TRUE(bin);

    GstPad* pad = gst_pad_new("src_late", GST_PAD_SRC);
    gst_pad_set_active(pad, TRUE);
    gst_pad_push_event(pad, gst_event_new_stream_start("late-audio"));
    gsthandles::CapsPtr caps(gst_caps_from_string(
        "application/x-rtp,media=audio,encoding-name=OPUS,payload=111,clock-rate=48000,encoding-params=(string)2"));
    gst_pad_push_event(pad, gst_event_new_caps(caps.get()));
    GstSegment segment;
    gst_segment_init(&segment, GST_FORMAT_TIME);
    gst_pad_push_event(pad, gst_event_new_segment(&segment));
    // As webrtcbin announces a stream (its pads are its own kind: this one is
    // only announced).
    g_signal_emit_by_name(bin.get(), "pad-added", pad);

    // Opus over RTP: version 2, payload type 111, its own SSRC.
    for (guint16 seq = 0; seq < 10; ++seq) {
        guint8 packet[32] = {0x80, 111, static_cast<guint8>(seq >> 8), static_cast<guint8>(seq), 0, 0,
                             static_cast<guint8>(seq * 960 >> 8), static_cast<guint8>(seq * 960), 0xde, 0xad, 0xbe, 0xef};
        packet[12] = 0xfc; // an Opus TOC byte: one 20-ms CELT frame
        GstBuffer* buffer = gst_buffer_new_memdup(packet, sizeof packet);
        GST_BUFFER_PTS(buffer) = seq * 20 * GST_MSECOND;
        EXPECT_EQ(gst_pad_push(pad, buffer), GST_FLOW_OK) << "packet " << seq;
    }
    RunMainLoopFor(1s);
    EXPECT_EQ(playback->state(), State::Playing);
    EXPECT_EQ(playback->failure(), "");
    gst_pad_set_active(pad, FALSE);
    gst_object_unref(pad);
}
