#include "DecoderThreads.h"
#include "GstHandles.h"
#include "MediaFactory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace zephyrscope;
using namespace zephyrscope::gsthandles;

namespace {

struct StreamCase {
    int width, height, fpsN, fpsD;
    int threads;
};

class DecoderThreadsRule : public ::testing::TestWithParam<StreamCase> {};

// One thread up to 1080p30's pixel rate; heavier streams, and those whose rate
// is not known, keep the decoder's own choice (0).
TEST_P(DecoderThreadsRule, OneThreadOnlyUpToTheLimitOfAKnownPixelRate)
{
    const StreamCase c = GetParam();
    EXPECT_EQ(DecoderThreads::forStream(c.width, c.height, c.fpsN, c.fpsD), c.threads)
        << c.width << "x" << c.height << "@" << c.fpsN << "/" << c.fpsD;
}

INSTANTIATE_TEST_SUITE_P(Streams, DecoderThreadsRule,
                         ::testing::Values(StreamCase {1280, 720, 30, 1, 1}, StreamCase {1920, 1080, 30, 1, 1},
                                           StreamCase {1920, 1080, 30000, 1001, 1},
                                           StreamCase {1920, 1080, 31, 1, 0}, StreamCase {1920, 1080, 60, 1, 0},
                                           StreamCase {3840, 2160, 60, 1, 0}, StreamCase {3840, 2160, 25, 1, 0},
                                           StreamCase {1280, 720, 0, 1, 0}, StreamCase {1280, 720, 30, 0, 0},
                                           StreamCase {0, 720, 30, 1, 0}, StreamCase {320, 240, 25, 1, 1}));

// Marks every decoder before its caps arrive, so a count the rule set is told
// apart from one nobody set.
void markDecoder(GstElement*, GstElement* element, gpointer)
{
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(element), "max-threads"))
        g_object_set(element, "max-threads", 7, nullptr);
}

// The max-threads of the first element with that property in bin, searched in depth; -1 for none.
int decoderThreads(GstBin* bin)
{
    int threads = -1;
    GstIterator* it = gst_bin_iterate_recurse(bin);
    GValue item = G_VALUE_INIT;
    while (threads < 0 && gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        GObject* element = G_OBJECT(g_value_get_object(&item));
        if (g_object_class_find_property(G_OBJECT_GET_CLASS(element), "max-threads"))
            g_object_get(element, "max-threads", &threads, nullptr);
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    return threads;
}

struct ClipCase {
    int width, height, fps;
    int threads;
};

class DecoderThreadsInPlaybin : public ::testing::TestWithParam<ClipCase> {};

// playbin3's real decoder gets the rule's count for the clip's own caps.
TEST_P(DecoderThreadsInPlaybin, DecoderGetsTheCountForTheStreamItDecodes)
{
    const ClipCase c = GetParam();
    gst_init(nullptr, nullptr);
    zephyrscope::testing::MediaFactory media;
    zephyrscope::testing::MediaFactory::Clip clip;
    clip.width = c.width;
    clip.height = c.height;
    clip.fps = c.fps;
    clip.seconds = 0.5;
    const auto path = media.make("clip.mkv", clip);

    ElementPtr playbin(GST_ELEMENT(gst_object_ref_sink(gst_element_factory_make("playbin3", nullptr))));
    ASSERT_TRUE(playbin);
    CharPtr uri(gst_filename_to_uri(path.c_str(), nullptr));
    GstElement* videoSink = gst_element_factory_make("fakesink", nullptr);
    GstElement* audioSink = gst_element_factory_make("fakesink", nullptr);
    g_object_set(playbin.get(), "uri", uri.get(), "video-sink", videoSink, "audio-sink", audioSink, nullptr);
    DecoderThreads::attach(playbin.get());
    g_signal_connect(playbin.get(), "element-setup", G_CALLBACK(markDecoder), nullptr);

    gst_element_set_state(playbin.get(), GST_STATE_PAUSED);
    BusPtr bus(gst_element_get_bus(playbin.get()));
    MessagePtr message(gst_bus_timed_pop_filtered(bus.get(), 20 * GST_SECOND,
                                                  static_cast<GstMessageType>(GST_MESSAGE_ASYNC_DONE | GST_MESSAGE_ERROR)));
    ASSERT_TRUE(message) << "the clip did not preroll in 20 s";
    ASSERT_EQ(GST_MESSAGE_TYPE(message.get()), GST_MESSAGE_ASYNC_DONE);
    EXPECT_EQ(decoderThreads(GST_BIN(playbin.get())), c.threads);
    gst_element_set_state(playbin.get(), GST_STATE_NULL);
}

INSTANTIATE_TEST_SUITE_P(Clips, DecoderThreadsInPlaybin,
                         ::testing::Values(ClipCase {320, 240, 25, 1}, ClipCase {1280, 720, 120, 0}));

} // namespace
