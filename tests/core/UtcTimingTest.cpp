#include "AdaptiveManifest.h"
#include "UtcTiming.h"

#include <gtest/gtest.h>

using namespace zephyrscope;
using Scheme = UtcTiming::Scheme;

namespace {

constexpr std::int64_t kNoonUs = 1769860800LL * 1000000; // 2026-01-31T12:00:00Z

struct TimeCase {
    Scheme scheme;
    const char* text;
    std::optional<std::int64_t> expectedUs;
};

std::ostream& operator<<(std::ostream& out, const TimeCase& c)
{
    return out << static_cast<int>(c.scheme) << " '" << c.text << "'";
}

class UtcTimingTime : public ::testing::TestWithParam<TimeCase> {};

} // namespace

TEST_P(UtcTimingTime, IsReadAsItsSchemeWritesIt)
{
    EXPECT_EQ(UtcTiming::parseTime(GetParam().scheme, GetParam().text), GetParam().expectedUs);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, UtcTimingTime,
    ::testing::Values(
        // xs:dateTime and ISO 8601 bodies: fractions, zones, a time server's line end.
        TimeCase {Scheme::HttpXsDate, "2026-01-31T12:00:00Z", kNoonUs},
        TimeCase {Scheme::HttpXsDate, "2026-01-31T12:00:00.123456Z\r\n", kNoonUs + 123456},
        TimeCase {Scheme::HttpXsDate, "  2026-01-31T12:00:00.5Z", kNoonUs + 500000},
        TimeCase {Scheme::HttpIso, "2026-01-31T13:30:00.250+01:30", kNoonUs + 250000},
        TimeCase {Scheme::HttpIso, "2026-01-31T10:00:00-0200", kNoonUs},
        TimeCase {Scheme::HttpIso, "2026-01-31T17:00:00+05", kNoonUs},
        TimeCase {Scheme::HttpIso, "2026-02-01T00:00:00+12:00", kNoonUs},
        TimeCase {Scheme::Direct, "2026-01-31T12:00:00", kNoonUs},
        // Garbage, and times with something after them.
        TimeCase {Scheme::HttpXsDate, "", std::nullopt},
        TimeCase {Scheme::HttpXsDate, "\n", std::nullopt},
        TimeCase {Scheme::HttpXsDate, "<html>503</html>", std::nullopt},
        TimeCase {Scheme::HttpXsDate, "2026-01-31T12:00:00Zjunk", std::nullopt},
        TimeCase {Scheme::HttpXsDate, "2026-01-31T12:00:00+01:00junk", std::nullopt},
        TimeCase {Scheme::HttpIso, "2026-01-31T12:00:0x10Z", std::nullopt},
        TimeCase {Scheme::HttpIso, "2026-01-31T12:00:1e1Z", std::nullopt},
        TimeCase {Scheme::HttpIso, "2026-01-31T12:00:00.Z", std::nullopt},
        TimeCase {Scheme::HttpIso, "2026-01-31T12:00:00+1:00", std::nullopt},
        TimeCase {Scheme::HttpIso, "2026-01-31T12:00:00+25:00", std::nullopt},
        TimeCase {Scheme::HttpIso, " 2026-1-31T12:00:00Z", std::nullopt},
        TimeCase {Scheme::HttpIso, "2026-01-31 12:00:00Z", std::nullopt},
        TimeCase {Scheme::HttpIso, "1769860800", std::nullopt},
        // HTTP-date, as a HEAD answer's Date header gives it.
        TimeCase {Scheme::HttpHead, "Sat, 31 Jan 2026 12:00:00 GMT", kNoonUs},
        TimeCase {Scheme::HttpHead, "Sat, 31 Jan 2026 12:00:59 GMT", kNoonUs + 59000000},
        TimeCase {Scheme::HttpHead, "Sat, 31 Jan 2026 12:00:00 UTC", std::nullopt},
        TimeCase {Scheme::HttpHead, "Saturday, 31-Jan-26 12:00:00 GMT", std::nullopt},
        TimeCase {Scheme::HttpHead, "Sat, 31 Foo 2026 12:00:00 GMT", std::nullopt},
        TimeCase {Scheme::HttpHead, "Sat, 31 Jan 2026 12:00:00 GMT tomorrow", std::nullopt},
        TimeCase {Scheme::HttpHead, "2026-01-31T12:00:00Z", std::nullopt}));

TEST(UtcTiming, SchemesAreKnownByTheirUrnsOfEitherYear)
{
    EXPECT_EQ(UtcTiming::schemeOf("urn:mpeg:dash:utc:direct:2014"), Scheme::Direct);
    EXPECT_EQ(UtcTiming::schemeOf("urn:mpeg:dash:utc:http-xsdate:2014"), Scheme::HttpXsDate);
    EXPECT_EQ(UtcTiming::schemeOf("urn:mpeg:dash:utc:http-iso:2012"), Scheme::HttpIso);
    EXPECT_EQ(UtcTiming::schemeOf("urn:mpeg:dash:utc:http-head:2014"), Scheme::HttpHead);
    for (const char* other : {"urn:mpeg:dash:utc:ntp:2014", "urn:mpeg:dash:utc:http-ntp:2014",
                              "urn:mpeg:dash:utc:http-iso:2015", "urn:mpeg:dash:utc:http-iso", "http-iso", ""})
        EXPECT_FALSE(UtcTiming::schemeOf(other)) << other;
}

TEST(UtcTiming, TheMpdsDirectTimeWinsElseItsFirstUrlResolvedAgainstIt)
{
    const std::string head = "<?xml version=\"1.0\"?><MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\" type=\"dynamic\" "
                             "availabilityStartTime=\"2026-01-31T12:00:00Z\"><Period/>";
    const std::string ntp = "<UTCTiming schemeIdUri=\"urn:mpeg:dash:utc:ntp:2014\" value=\"pool.ntp.org\"/>";
    const std::string iso = "<UTCTiming schemeIdUri=\"urn:mpeg:dash:utc:http-iso:2014\" value=\"../time?iso\"/>";
    const std::string xsdate
        = "<UTCTiming schemeIdUri=\"urn:mpeg:dash:utc:http-xsdate:2014\" value=\"https://t.example/x\"/>";
    const std::string direct
        = "<UTCTiming schemeIdUri=\"urn:mpeg:dash:utc:direct:2014\" value=\"2026-01-31T12:00:10Z\"/>";
    const std::string mpdUri = "http://h/live/a/manifest.mpd";

    const auto fetched = AdaptiveManifest::dashLiveClock(head + ntp + iso + xsdate + "</MPD>", mpdUri);
    ASSERT_TRUE(fetched);
    ASSERT_TRUE(fetched->timeSource);
    EXPECT_EQ(fetched->timeSource->scheme, Scheme::HttpIso);
    EXPECT_EQ(fetched->timeSource->value, "http://h/live/time?iso");
    EXPECT_FALSE(fetched->serverTimeUs);

    const auto given = AdaptiveManifest::dashLiveClock(head + xsdate + direct + "</MPD>", mpdUri);
    ASSERT_TRUE(given);
    EXPECT_FALSE(given->timeSource);
    EXPECT_EQ(given->serverTimeUs, kNoonUs + 10000000);

    // A direct time that is no time gives way to the URL.
    std::string broken = direct;
    broken.replace(broken.find("2026"), 4, "soon");
    const auto fallback = AdaptiveManifest::dashLiveClock(head + broken + xsdate + "</MPD>", mpdUri);
    ASSERT_TRUE(fallback && fallback->timeSource);
    EXPECT_EQ(fallback->timeSource->value, "https://t.example/x");

    const auto none = AdaptiveManifest::dashLiveClock(head + ntp + "</MPD>", mpdUri);
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->timeSource);
    EXPECT_FALSE(none->serverTimeUs);
}
