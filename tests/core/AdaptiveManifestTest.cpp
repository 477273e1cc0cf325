#include "AdaptiveManifest.h"

#include <gtest/gtest.h>

using namespace zephyrscope;

TEST(AdaptiveManifest, ReadsHlsVariantsAndDashRepresentationsAndMatchesThePictureSize)
{
    const std::string master = "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=500000,CODECS=\"avc1.4d401e,mp4a.40.2\","
                               "RESOLUTION=320x180\nv0/index.m3u8\n"
                               "#EXT-X-STREAM-INF:RESOLUTION=640x360,BANDWIDTH=920000\r\n/abs/v1.m3u8\r\n"
                               "#EXT-X-STREAM-INF:BANDWIDTH=1000000,RESOLUTION=640x360\nhttp://cdn/v2.m3u8\n";
    const auto hls = AdaptiveManifest::parse(master, "http://127.0.0.1:8080/live/master.m3u8?token=1");
    ASSERT_EQ(hls.size(), 3u);
    EXPECT_EQ(hls[0].bandwidth, 500000);
    EXPECT_EQ(hls[0].width, 320);
    EXPECT_EQ(hls[0].height, 180);
    EXPECT_EQ(hls[0].uri, "http://127.0.0.1:8080/live/v0/index.m3u8");
    EXPECT_EQ(hls[1].uri, "http://127.0.0.1:8080/abs/v1.m3u8");
    EXPECT_EQ(hls[2].uri, "http://cdn/v2.m3u8");
    EXPECT_EQ(AdaptiveManifest::bandwidthForSize(hls, 320, 180, 0), 500000);
    EXPECT_EQ(AdaptiveManifest::bandwidthForSize(hls, 640, 360, 1000000), 1000000);
    EXPECT_EQ(AdaptiveManifest::bandwidthForSize(hls, 640, 360, 0), 920000);
    EXPECT_FALSE(AdaptiveManifest::bandwidthForSize(hls, 1280, 720, 0));

    EXPECT_TRUE(AdaptiveManifest::parse("#EXTM3U\n#EXTINF:2,\nseg0.ts\n", "http://h/i.m3u8").empty());

    const std::string mpd = "<MPD><Period><AdaptationSet mimeType=\"video/mp4\" width=\"320\" height=\"180\">"
                            "<Representation id=\"low\" bandwidth=\"500000\"/></AdaptationSet>"
                            "<AdaptationSet><Representation id='hd' bandwidth='1670000' width='1280' height='720'>"
                            "</Representation></AdaptationSet></Period></MPD>";
    const auto dash = AdaptiveManifest::parse(mpd, "http://h/x.mpd");
    ASSERT_EQ(dash.size(), 2u);
    EXPECT_EQ(dash[0].bandwidth, 500000);
    EXPECT_EQ(dash[0].width, 320);
    EXPECT_EQ(dash[1].uri, "hd");
    EXPECT_EQ(AdaptiveManifest::bandwidthForSize(dash, 1280, 720, 0), 1670000);
}
