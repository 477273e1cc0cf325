#include "Protocol.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace zephyrscope {
namespace {

TEST(Protocol, SchemesSelectTheirColumnWhateverTheirCase)
{
    const std::pair<const char*, const char*> cases[] = {
        {"file", "File"},   {"FILE", "File"},   {"http", "HTTP"},   {"https", "HTTPS"}, {"rtsp", "RTSPU"},
        {"rtspu", "RTSPU"}, {"rtspt", "RTSPT"}, {"rtsps", "RTSPT"}, {"srt", "SRT"},     {"udp", "UDP"},
        {"rtp", "RTP"},     {"rist", "RIST"},   {"Whep+HTTPS", "WebRTC"},
    };
    for (const auto& [scheme, column] : cases) {
        const Protocol* p = protocolForScheme(scheme);
        ASSERT_NE(p, nullptr) << scheme;
        EXPECT_EQ(p->column, column) << scheme;
    }
    EXPECT_EQ(protocolForScheme("gopher"), nullptr);
    EXPECT_EQ(protocolForScheme(""), nullptr);
}

TEST(Protocol, OneAnswerPerQuestion)
{
    // The report once counted MSS as adaptive while the JSON log did not.
    EXPECT_TRUE(isAdaptiveColumn("HLS"));
    EXPECT_TRUE(isAdaptiveColumn("DASH"));
    EXPECT_TRUE(isAdaptiveColumn("MSS"));
    EXPECT_FALSE(isAdaptiveColumn("HTTP"));
    EXPECT_FALSE(isAdaptiveColumn("GOPHER"));
    EXPECT_TRUE(isLocalScheme("File"));
    EXPECT_FALSE(isLocalScheme("http"));

    std::set<std::string> columns, schemes;
    for (const Protocol& p : allProtocols()) {
        EXPECT_TRUE(columns.insert(std::string(p.column)).second) << p.column;
        for (const Scheme& s : p.schemes) {
            EXPECT_TRUE(schemes.insert(std::string(s.name)).second) << s.name;
            EXPECT_EQ(schemeNamed(s.name), &s);
            // A probe connects to the scheme's server: it needs a port when the URL names none.
            EXPECT_TRUE(!p.connectionProbe || s.defaultPort != 0) << s.name;
        }
        EXPECT_EQ(protocolForColumn(p.column), &p);
        EXPECT_EQ(&protocolRow(p.id), &p) << p.column;
        EXPECT_FALSE(p.local && p.live) << p.column;
    }
}

// rtspt and rtsps share a row, but only rtsps is TLS: how a server is reached
// is the scheme's, asked whatever its case.
TEST(Protocol, SchemesSayHowTheirServerIsReached)
{
    ASSERT_NE(schemeNamed("RTSPS"), nullptr);
    EXPECT_TRUE(schemeNamed("RTSPS")->tls);
    EXPECT_EQ(schemeNamed("RTSPS")->defaultPort, 554);
    EXPECT_FALSE(schemeNamed("rtspt")->tls);
    EXPECT_TRUE(schemeNamed("Https")->tls);
    EXPECT_EQ(schemeNamed("https")->defaultPort, 443);
    EXPECT_EQ(schemeNamed("http")->defaultPort, 80);
    EXPECT_EQ(schemeNamed("gopher"), nullptr);
    EXPECT_TRUE(isHttpScheme("HTTP"));
    EXPECT_TRUE(isHttpScheme("https"));
    EXPECT_FALSE(isHttpScheme("whep+https"));
    EXPECT_FALSE(isHttpScheme("file"));
    EXPECT_FALSE(isHttpScheme("gopher"));
}

// A log's Protocol column names a row whatever its case, and a name no row has
// (a scheme the program does not play) keeps one row of its own, text and all.
TEST(Protocol, EveryNameHasOneRow)
{
    EXPECT_EQ(protocolForColumn("webrtc"), &protocolRow(ProtocolId::WebRtc));
    EXPECT_EQ(protocolNamed("hls"), &protocolRow(ProtocolId::Hls));
    const Protocol* gopher = protocolNamed("GOPHER");
    ASSERT_NE(gopher, nullptr);
    EXPECT_EQ(gopher->column, "GOPHER");
    EXPECT_EQ(gopher->id, ProtocolId::Other);
    EXPECT_FALSE(gopher->live || gopher->adaptive || gopher->local);
    EXPECT_EQ(protocolNamed(std::string("GOPHER")), gopher);
    EXPECT_NE(protocolNamed("Gopher"), gopher);
    EXPECT_EQ(protocolNamed(""), nullptr);
    EXPECT_EQ(columnOf(nullptr), "");
}

} // namespace
} // namespace zephyrscope
