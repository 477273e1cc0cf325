#include "ConnectionProbe.h"
#include "GstHandles.h"
#include "PlayerProtocols.h"
#include "Protocol.h"
#include "SourceProtocol.h"
#include "WhepSource.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace zephyrscope;

namespace {

class PlayerProtocols : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        gst_init(nullptr, nullptr);
        WhepSource::registerElement();
    }
};

std::string uriFor(std::string_view scheme)
{
    if (scheme == "file")
        return "file:///nonexistent/clip.mkv";
    return std::string(scheme) + "://127.0.0.1:15000/stream";
}

} // namespace

// What GStreamer makes for each scheme of core's table is a source its
// descriptor names, so the source's set-up and measurements are those of the
// protocol the Protocol column says; a scheme without a descriptor gets a
// source no descriptor claims.
TEST_F(PlayerProtocols, EverySchemeGetsASourceOfItsOwnDescriptor)
{
    for (const Protocol& row : allProtocols()) {
        for (const Scheme& entry : row.schemes) {
            const std::string_view scheme = entry.name;
            const PlayerProtocol* descriptor = playerProtocolForScheme(scheme);
            gsthandles::ElementPtr source(
                gst_element_make_from_uri(GST_URI_SRC, uriFor(scheme).c_str(), nullptr, nullptr));
            if (!source) {
                EXPECT_EQ(descriptor, nullptr) << "no source element for " << scheme;
                continue;
            }
            const std::string factory = GST_OBJECT_NAME(gst_element_get_factory(source.get()));
            EXPECT_EQ(protocolOfSource(playerProtocols(), factory), descriptor) << scheme << " -> " << factory;
        }
    }
}

TEST_F(PlayerProtocols, DescriptorsAnswerForCoreRowsOnceAndWhateverTheSchemesCase)
{
    std::set<ProtocolId> ids;
    for (const PlayerProtocol* descriptor : playerProtocols()) {
        EXPECT_FALSE(descriptor->protocols.empty());
        for (ProtocolId id : descriptor->protocols) {
            EXPECT_NE(id, ProtocolId::Other);
            EXPECT_TRUE(ids.insert(id).second) << protocolRow(id).column << " has two descriptors";
        }
    }
    const PlayerProtocol* whep = playerProtocolForScheme("Whep+HTTPS");
    ASSERT_NE(whep, nullptr);
    EXPECT_EQ(whep->protocols.front(), ProtocolId::WebRtc);
    EXPECT_EQ(playerProtocolForScheme("RTSPT"), playerProtocolForScheme("rtsp"));
    EXPECT_EQ(playerProtocolForScheme("file"), nullptr);
    EXPECT_EQ(playerProtocolForScheme("gopher"), nullptr);
}

// The Protocol column and the connection probe ask core's rows: one answer
// for each scheme, whatever its case.
TEST_F(PlayerProtocols, ColumnAndConnectionProbeFollowCoreRows)
{
    for (const Protocol& row : allProtocols()) {
        for (const Scheme& scheme : row.schemes) {
            const std::string s(scheme.name);
            EXPECT_EQ(SourceProtocol::forScheme(s), &row) << s;
            EXPECT_EQ(ConnectionProbe::appliesTo(s), row.connectionProbe) << s;
        }
    }
    EXPECT_TRUE(ConnectionProbe::appliesTo("HTTPS"));
    EXPECT_FALSE(ConnectionProbe::appliesTo("gopher"));
    EXPECT_EQ(columnOf(SourceProtocol::forScheme("gopher")), "GOPHER");
    // Plain rtsp:// lets the client choose its transport, and the column says
    // which it took; the other schemes fix it.
    EXPECT_EQ(columnOf(SourceProtocol::of("rtsp", nullptr, std::nullopt)), "RTSPU");
    EXPECT_EQ(columnOf(SourceProtocol::of("rtsp", nullptr, true)), "RTSPU");
    EXPECT_EQ(columnOf(SourceProtocol::of("rtsp", nullptr, false)), "RTSPT");
    EXPECT_EQ(columnOf(SourceProtocol::of("rtspu", nullptr, false)), "RTSPU");
    EXPECT_EQ(columnOf(SourceProtocol::of("rtp", nullptr, true)), "RTP");
}
