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

TEST(AdaptiveManifest, ResolvesVariantUrisAsRfc3986Says)
{
    const std::string base = "http://h/live/sub/master.m3u8";
    EXPECT_EQ(AdaptiveManifest::resolve(base, "../hi/index.m3u8"), "http://h/live/hi/index.m3u8");
    EXPECT_EQ(AdaptiveManifest::resolve(base, "//cdn.example/v.m3u8"), "http://cdn.example/v.m3u8");
    EXPECT_EQ(AdaptiveManifest::resolve(base, "v.m3u8?back=http://o.example/"),
              "http://h/live/sub/v.m3u8?back=http://o.example/");
    EXPECT_EQ(AdaptiveManifest::resolve(base, "./a/./b.m3u8"), "http://h/live/sub/a/b.m3u8");
    EXPECT_EQ(AdaptiveManifest::resolve(base, "https://o/x.m3u8"), "https://o/x.m3u8");

    // A BANDWIDTH that is negative or not a number is taken as not declared.
    const auto hls = AdaptiveManifest::parse("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=-5,RESOLUTION=320x180\n"
                                             "../hi/index.m3u8\n#EXT-X-STREAM-INF:BANDWIDTH=12ab\nb.m3u8\n",
                                             base);
    ASSERT_EQ(hls.size(), 2u);
    EXPECT_EQ(hls[0].bandwidth, 0);
    EXPECT_EQ(hls[0].uri, "http://h/live/hi/index.m3u8");
    EXPECT_EQ(hls[1].bandwidth, 0);
}

// MPDs are XML: what a tag scanner gets wrong, and what a hostile server may send.
TEST(AdaptiveManifest, ReadsDashAsXmlAndExpandsNoEntities)
{
    const std::string mpd = "<?xml version=\"1.0\"?>\n"
                            "<mpd:MPD xmlns:mpd=\"urn:mpeg:dash:schema:mpd:2011\"><mpd:Period>"
                            "<mpd:AdaptationSet width=\"640\" height=\"360\">"
                            "<!-- <mpd:Representation id=\"old\" bandwidth=\"9000000\"/> -->"
                            "<mpd:Representation id=\"a>b\" bandwidth = \"800000\">"
                            "<mpd:SegmentBase><mpd:RepresentationIndex sourceURL=\"i.sidx\"/></mpd:SegmentBase>"
                            "</mpd:Representation>"
                            "<mpd:Representation id=\"neg\" bandwidth=\"-1\" width=\"320\" height=\"180\"/>"
                            "</mpd:AdaptationSet></mpd:Period></mpd:MPD>";
    const auto dash = AdaptiveManifest::parse(mpd, "http://h/x.mpd");
    ASSERT_EQ(dash.size(), 2u);
    EXPECT_EQ(dash[0].uri, "a>b");
    EXPECT_EQ(dash[0].bandwidth, 800000);
    EXPECT_EQ(dash[0].width, 640);
    EXPECT_EQ(dash[1].bandwidth, 0);
    EXPECT_EQ(dash[1].width, 320);

    // A manifest cut short keeps the Representations read before the cut.
    const auto cut = AdaptiveManifest::parse("<MPD><Period><AdaptationSet><Representation id=\"1\" bandwidth=\"5\"/>"
                                             "<Representation id=\"2\" band",
                                             "http://h/x.mpd");
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(cut[0].bandwidth, 5);

    const std::string external = "<?xml version=\"1.0\"?><!DOCTYPE MPD [<!ENTITY x SYSTEM \"file:///etc/hostname\">"
                                 "<!ENTITY n SYSTEM \"http://127.0.0.1:9/n\">]>"
                                 "<MPD><Representation id=\"&x;\" bandwidth=\"1\">&x;&n;</Representation></MPD>";
    const auto fromExternal = AdaptiveManifest::parse(external, "http://h/x.mpd");
    ASSERT_EQ(fromExternal.size(), 1u);
    EXPECT_EQ(fromExternal[0].uri.find_first_not_of("&x;"), std::string::npos) << fromExternal[0].uri;

    std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE MPD [<!ENTITY l0 \"lol\">";
    for (int i = 1; i < 10; ++i) {
        const std::string previous = "&l" + std::to_string(i - 1) + ";";
        std::string value;
        for (int k = 0; k < 10; ++k)
            value += previous;
        laughs += "<!ENTITY l" + std::to_string(i) + " \"" + value + "\">";
    }
    laughs += "]><MPD><Representation id=\"&l9;\" bandwidth=\"2\">&l9;</Representation></MPD>";
    const auto fromLaughs = AdaptiveManifest::parse(laughs, "http://h/x.mpd");
    ASSERT_LE(fromLaughs.size(), 1u);
    for (const AdaptiveVariant& variant : fromLaughs)
        EXPECT_LT(variant.uri.size(), 1000u);
}

TEST(AdaptiveManifest, DateTimesAreReadInUtcWithTheirZones)
{
    constexpr std::int64_t kNoonUs = 1769860800LL * 1000000; // 2026-01-31T12:00:00Z
    EXPECT_EQ(AdaptiveManifest::parseDateTime("2026-01-31T12:00:00Z"), kNoonUs);
    EXPECT_EQ(AdaptiveManifest::parseDateTime("2026-01-31T12:00:00"), kNoonUs);
    EXPECT_EQ(AdaptiveManifest::parseDateTime("2026-01-31T12:00:00.25Z"), kNoonUs + 250000);
    EXPECT_EQ(AdaptiveManifest::parseDateTime("2026-01-31T13:30:00+01:30"), kNoonUs);
    EXPECT_EQ(AdaptiveManifest::parseDateTime("2026-01-31T11:00:00.5-01:00"), kNoonUs + 500000);
    for (const char* bad : {"", "yesterday", "2026-01-31", "2026-13-01T00:00:00Z", "2026-01-31T12:00:00 PST"})
        EXPECT_FALSE(AdaptiveManifest::parseDateTime(bad)) << bad;
}

TEST(AdaptiveManifest, OnlyADynamicMpdHasALiveClock)
{
    const std::string live = "<?xml version=\"1.0\"?><MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\" type=\"dynamic\" "
                             "availabilityStartTime=\"2026-01-31T12:00:00Z\"><Period/>"
                             "<UTCTiming schemeIdUri=\"urn:mpeg:dash:utc:direct:2014\" value=\"2026-01-31T12:00:10Z\"/>"
                             "</MPD>";
    const auto clock = AdaptiveManifest::dashLiveClock(live);
    ASSERT_TRUE(clock);
    EXPECT_EQ(clock->availabilityStartUs, 1769860800LL * 1000000);
    EXPECT_EQ(clock->serverTimeUs, 1769860810LL * 1000000);

    // A UTCTiming scheme that needs a request gives no time in the MPD, but where to ask.
    std::string fetched = live;
    fetched.replace(fetched.find("direct"), 6, "http-iso");
    fetched.replace(fetched.find("2026-01-31T12:00:10Z"), 20, "https://time.example/iso");
    ASSERT_TRUE(AdaptiveManifest::dashLiveClock(fetched));
    EXPECT_FALSE(AdaptiveManifest::dashLiveClock(fetched)->serverTimeUs);
    ASSERT_TRUE(AdaptiveManifest::dashLiveClock(fetched)->timeSource);
    EXPECT_EQ(AdaptiveManifest::dashLiveClock(fetched)->timeSource->value, "https://time.example/iso");

    std::string vod = live;
    vod.replace(vod.find("dynamic"), 7, "static");
    EXPECT_FALSE(AdaptiveManifest::dashLiveClock(vod));
    EXPECT_FALSE(AdaptiveManifest::dashLiveClock("#EXTM3U\n#EXT-X-PROGRAM-DATE-TIME:2026-01-31T12:00:00Z\n"));
    EXPECT_FALSE(AdaptiveManifest::dashLiveClock("<MPD type=\"dynamic\"/>"));
}

TEST(AdaptiveManifest, AnMpdIsKnownByItsRootElementFromTheDocumentsBeginningAlone)
{
    // ffmpeg's live MPD, cut inside its first child: the root's start tag ends past byte 512.
    const std::string live = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                             "<MPD xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\n"
                             "\txmlns=\"urn:mpeg:dash:schema:mpd:2011\"\n"
                             "\txmlns:xlink=\"http://www.w3.org/1999/xlink\"\n"
                             "\txsi:schemaLocation=\"urn:mpeg:DASH:schema:MPD:2011 http://standards.iso.org/ittf/"
                             "PubliclyAvailableStandards/MPEG-DASH_schema_files/DASH-MPD.xsd\"\n"
                             "\tprofiles=\"urn:mpeg:dash:profile:isoff-live:2011\"\n"
                             "\ttype=\"dynamic\"\n\tminimumUpdatePeriod=\"PT1S\"\n\tsuggestedPresentationDelay=\"PT1S\"\n"
                             "\tavailabilityStartTime=\"2026-12-09T02:51:40.839Z\"\n"
                             "\tpublishTime=\"2026-12-09T02:51:44.841Z\"\n\ttimeShiftBufferDepth=\"PT10.0S\"\n"
                             "\tmaxSegmentDuration=\"PT1.0S\"\n\tminBufferTime=\"PT2.0S\">\n\t<ProgramInfor";
    ASSERT_GT(live.find('>', live.find("<MPD")), 512u);
    EXPECT_TRUE(AdaptiveManifest::rootIsMpd(live));
    EXPECT_TRUE(AdaptiveManifest::rootIsMpd("\xEF\xBB\xBF<!-- packaged -->\n<MPD type=\"static\"><Period"));
    EXPECT_TRUE(AdaptiveManifest::rootIsMpd("<dash:MPD xmlns:dash=\"urn:mpeg:dash:schema:mpd:2011\">"));
    // Cut inside the root's start tag: not known yet.
    EXPECT_FALSE(AdaptiveManifest::rootIsMpd(live.substr(0, 512)));
    EXPECT_FALSE(AdaptiveManifest::rootIsMpd("<?xml version=\"1.0\"?><SmoothStreamingMedia MajorVersion=\"2\">"));
    EXPECT_FALSE(AdaptiveManifest::rootIsMpd("<html><body><MPD></MPD></body></html>"));
    EXPECT_FALSE(AdaptiveManifest::rootIsMpd("#EXTM3U\n#EXT-X-VERSION:3\n"));
    EXPECT_FALSE(AdaptiveManifest::rootIsMpd(std::string("\x47\x40\x00\x10<MPD>", 10)));
    EXPECT_FALSE(AdaptiveManifest::rootIsMpd(""));
}

TEST(AdaptiveManifest, TheDashContentTypeIsKnownWhateverItsCaseAndParameters)
{
    EXPECT_TRUE(AdaptiveManifest::isDashContentType("application/dash+xml"));
    EXPECT_TRUE(AdaptiveManifest::isDashContentType(" Application/DASH+XML ; charset=utf-8"));
    EXPECT_FALSE(AdaptiveManifest::isDashContentType("application/xml"));
    EXPECT_FALSE(AdaptiveManifest::isDashContentType("application/dash+xml-patch"));
    EXPECT_FALSE(AdaptiveManifest::isDashContentType(""));
}
