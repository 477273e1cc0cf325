// What an entry's bus messages ask of it, message by message, with no playback
// around the translator: a real pipeline (never started) answers what only a
// pipeline knows, and the messages are those its elements would post.

#include "BusTranslator.h"
#include "EntryMeasurement.h"
#include "PlayerProtocols.h"
#include "EntryPipeline.h"
#include "SinkFactory.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

using namespace zephyrscope;
using Kind = BusTranslator::Step::Kind;

namespace {

class BusTranslatorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        gst_init(nullptr, nullptr);
        std::string error;
        pipeline = EntryPipeline::build("file:///nonexistent/clip.mkv", {}, sinks, measure.counters(), error);
        ASSERT_TRUE(pipeline) << error;
    }

    // An error of the pipeline's own, as a source inside it would post one.
    BusTranslator::Step error(BusTranslator& bus, GQuark domain, gint code)
    {
        GError* raw = g_error_new_literal(domain, code, "Internal data stream error.");
        GstMessage* message = gst_message_new_error(GST_OBJECT(pipeline->element()), raw,
                                                    "gstbasesrc.c(3132): gst_base_src_loop ():\nstreaming stopped");
        g_error_free(raw);
        return take(bus, message);
    }

    BusTranslator::Step take(BusTranslator& bus, GstMessage* message)
    {
        const BusTranslator::Step step = bus.translate(message, *pipeline);
        gst_message_unref(message);
        return step;
    }

    GstObject* element() const { return GST_OBJECT(pipeline->element()); }

    SinkFactory sinks {SinkFactory::Choice::FakeOnly};
    EntryMeasurement measure {"http", 0, 5000, playerProtocols()};
    std::unique_ptr<EntryPipeline> pipeline;
};

} // namespace

// A vague error of a source that sent nothing is worth a connection probe only
// where a connect can reach its server; any other error fails at once.
TEST_F(BusTranslatorTest, ErrorFailsOrProbesFirstByWhatItSaysAndWhereItCameFrom)
{
    const struct {
        const char* scheme;
        GQuark domain;
        gint code;
        Kind expected;
    } cases[] = {
        {"http", GST_STREAM_ERROR, GST_STREAM_ERROR_FAILED, Kind::ProbeThenFail},
        {"rtsp", GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_OPEN_READ_WRITE, Kind::ProbeThenFail},
        {"file", GST_STREAM_ERROR, GST_STREAM_ERROR_FAILED, Kind::Fail},
        {"srt", GST_STREAM_ERROR, GST_STREAM_ERROR_FAILED, Kind::Fail},
        {"http", GST_STREAM_ERROR, GST_STREAM_ERROR_DECODE, Kind::Fail},
    };
    for (const auto& c : cases) {
        BusTranslator bus(c.scheme, measure);
        const BusTranslator::Step step = error(bus, c.domain, c.code);
        EXPECT_EQ(step.kind, c.expected) << c.scheme << " " << c.code;
        EXPECT_EQ(step.reason.rfind("Internal data stream error.", 0), 0u) << step.reason;
    }
    BusTranslator bus("http", measure);
    EXPECT_EQ(error(bus, GST_STREAM_ERROR, GST_STREAM_ERROR_FAILED).reason,
              "Internal data stream error. (streaming stopped): nothing was received from the source");
}

TEST_F(BusTranslatorTest, WhatTheBusSaidIsKeptAndOnlyNewsMovesTheEntry)
{
    BusTranslator bus("http", measure);
    EXPECT_EQ(bus.queueFill(), 100);
    EXPECT_EQ(take(bus, gst_message_new_buffering(element(), 40)).kind, Kind::Advance);
    EXPECT_EQ(bus.queueFill(), 40);
    EXPECT_EQ(take(bus, gst_message_new_buffering(element(), 100)).kind, Kind::Advance);
    EXPECT_EQ(bus.queueFill(), 100);

    // The first title is the stream's; a later one changes nothing.
    EXPECT_EQ(take(bus, gst_message_new_tag(element(), gst_tag_list_new(GST_TAG_TITLE, "First", nullptr))).kind,
              Kind::TitleFound);
    EXPECT_EQ(take(bus, gst_message_new_tag(element(), gst_tag_list_new(GST_TAG_TITLE, "Second", nullptr))).kind,
              Kind::None);
    EXPECT_EQ(bus.titleTag(), "First");

    EXPECT_EQ(take(bus, gst_message_new_async_done(element(), GST_CLOCK_TIME_NONE)).kind, Kind::Prerolled);
    EXPECT_EQ(take(bus, gst_message_new_eos(element())).kind, Kind::Ended);
    EXPECT_EQ(bus.missingPlugin(), "");
    EXPECT_FALSE(bus.videoSelected().has_value());
}
