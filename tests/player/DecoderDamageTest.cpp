#include "DecoderDamage.h"
#include "GstHandles.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace zephyrscope;
using namespace zephyrscope::gsthandles;

namespace {

class DecoderDamageUpstream : public ::testing::Test {
protected:
    static void SetUpTestSuite() { gst_init(nullptr, nullptr); }

    // Elements made from factory names, linked in a line, the last a
    // fakesink; those from inner on inside a bin, behind its ghost pad. The
    // fakesink's sink pad stands for a decoder's; the caps are not checked.
    PadPtr lineTo(const std::vector<std::string>& names, std::size_t inner)
    {
        m_pipeline.reset(gst_pipeline_new(nullptr));
        GstElement* bin = gst_bin_new(nullptr);
        gst_bin_add(GST_BIN(m_pipeline.get()), bin);
        std::vector<GstElement*> line;
        for (std::size_t i = 0; i < names.size(); ++i) {
            GstElement* element = gst_element_factory_make(names[i].c_str(), nullptr);
            if (!element)
                return nullptr;
            gst_bin_add(GST_BIN(i >= inner ? bin : m_pipeline.get()), element);
            line.push_back(element);
        }
        for (std::size_t i = 0; i + 1 < line.size(); ++i)
            if (!gst_element_link_pads_full(line[i], "src", line[i + 1], "sink", GST_PAD_LINK_CHECK_NOTHING))
                return nullptr;
        return PadPtr {gst_element_get_static_pad(line.back(), "sink")};
    }

    ElementPtr m_pipeline;
};

// tsdemux's units (MPEG-TS over RTP: the depayloader before it makes packets,
// not units) reach the decoder through a parser and a queue in a bin.
TEST_F(DecoderDamageUpstream, ADemuxersUnitsAreFoundThroughParsersQueuesAndBins)
{
    const PadPtr sink = lineTo({"rtpmp2tdepay", "wavparse", "queue", "identity", "fakesink"}, 2);
    ASSERT_TRUE(sink);
    EXPECT_TRUE(DecoderDamage::unitsFromDemuxer(sink.get()));
}

// A depayloader that makes the units itself, as rtph264depay: its DISCONT may
// sit on a unit that lost some of its own.
TEST_F(DecoderDamageUpstream, ADepayloadersUnitsAreNotADemuxers)
{
    const PadPtr sink = lineTo({"rtph264depay", "h264parse", "queue", "fakesink"}, 1);
    ASSERT_TRUE(sink);
    EXPECT_FALSE(DecoderDamage::unitsFromDemuxer(sink.get()));
}

// Nothing linked upstream: no demuxer.
TEST_F(DecoderDamageUpstream, AnUnlinkedPadHasNoDemuxer)
{
    const PadPtr sink = lineTo({"fakesink"}, 1);
    ASSERT_TRUE(sink);
    EXPECT_FALSE(DecoderDamage::unitsFromDemuxer(sink.get()));
}

} // namespace
