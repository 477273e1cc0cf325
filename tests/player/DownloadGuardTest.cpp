#include "DownloadGuard.h"
#include "DownloadRefusals.h"
#include "HttpTestServer.h"
#include "MainLoopWait.h"
#include "UtcTimingFetch.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>

using namespace zephyrscope;

TEST(DownloadGuard, NamesLocalFilesInAManifestAndARedirectLoop)
{
    EXPECT_EQ(DownloadGuard::localFileIn("#EXTM3U\n#EXTINF:2,\nFILE:///etc/passwd\n"),
              "a remote manifest may not name local files ('FILE:///etc/passwd')");
    EXPECT_EQ(DownloadGuard::localFileIn("<MPD><BaseURL>file:/var/x/</BaseURL></MPD>"),
              "a remote manifest may not name local files ('file:/var/x/')");
    EXPECT_EQ(DownloadGuard::localFileIn("#EXTM3U\nhttp://h/profile:file:x/seg.ts\nseg-file:1.ts\n"), "");

    EXPECT_EQ(DownloadGuard::redirectLoop("gstsouphttpsrc.c(1690): gst_soup_http_src_parse_status ():\n"
                                          "Found (302), URL: http://h/loop, Redirect to: http://h/loop"),
              "redirect loop: the server kept redirecting (Found (302), last to 'http://h/loop')");
    EXPECT_FALSE(DownloadGuard::redirectLoop("Not Found (404), URL: http://h/x, Redirect to: (NULL)"));
    EXPECT_FALSE(DownloadGuard::redirectLoop(nullptr));
}

// Each entry tallies the refusals heard while it played: none from before it
// started or after it stopped listening, and the first one's reason is its own
// even when another comes later.
TEST(DownloadRefusals, TakesLibsoupsRefusalOfANonHttpUriAloneAndEachEntryTalliesItsOwn)
{
    EXPECT_TRUE(DownloadRefusals::isLocalUriRefusal(
        "libsoup", "soup_message_new_from_uri: assertion 'SOUP_URI_IS_VALID (uri)' failed"));
    EXPECT_FALSE(DownloadRefusals::isLocalUriRefusal("GStreamer", "assertion 'SOUP_URI_IS_VALID (uri)' failed"));
    EXPECT_FALSE(DownloadRefusals::isLocalUriRefusal("libsoup", "soup_session_send: assertion 'SOUP_IS_SESSION' failed"));
    EXPECT_FALSE(DownloadRefusals::isLocalUriRefusal("libsoup", nullptr));

    const std::string compressed = DownloadRefusals::compressedReason("http://h/v.m3u8", "gzip");
    EXPECT_EQ(compressed, "'http://h/v.m3u8' came compressed (gzip) though none was asked for: not inflated");
    EventTally first(DownloadRefusals::refusals());
    DownloadRefusals::refuse(compressed);
    EventTally second(DownloadRefusals::refusals()); // starts after the first refusal
    EXPECT_EQ(second.count(), 0u);
    first.stop();
    DownloadRefusals::refuse("a remote manifest may not name local files");
    EXPECT_EQ(first.count(), 1u);
    EXPECT_EQ(first.first(), compressed);
    EXPECT_EQ(second.count(), 1u);
    EXPECT_EQ(second.first(), "a remote manifest may not name local files");
    DownloadRefusals::refuse(compressed);
    EXPECT_EQ(second.count(), 2u);
    EXPECT_EQ(second.first(), "a remote manifest may not name local files");
}

namespace {

struct TimeFetchOutcome {
    int calls = 0;
    UtcTimingFetch::Result result;
    std::int64_t tookUs = 0; // from the request to the answer, at least the round trip
};

// Asks url for the time as scheme says, and waits (bounded) for the answer.
TimeFetchOutcome fetchTime(UtcTiming::Scheme scheme, const std::string& url)
{
    auto outcome = std::make_shared<TimeFetchOutcome>();
    const auto started = std::chrono::steady_clock::now();
    auto fetch = UtcTimingFetch::start(UtcTiming {scheme, url}, [outcome](UtcTimingFetch::Result result) {
        ++outcome->calls;
        outcome->result = std::move(result);
    });
    zephyrscope::testing::RunMainLoopUntil([&] { return outcome->calls > 0; },
                              std::chrono::seconds(UtcTimingFetch::kTimeoutS + 3));
    outcome->tookUs = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started)
                          .count();
    return *outcome;
}

} // namespace

// A time URL is hostile input like any other: bounded in size and in time.
TEST(UtcTimingFetch, ReadsTheServersClockAndRefusesWhatIsNotATimeInBounds)
{
    const auto root = std::filesystem::temp_directory_path() / ("zs-time-" + std::to_string(getpid()));
    std::filesystem::create_directories(root);
    std::ofstream(root / "big.txt") << std::string(1000, '7');
    std::ofstream(root / "page.html") << "<html>\n\x01</html>";
    zephyrscope::testing::HttpTestServer server(root);
    server.start();
    using Scheme = UtcTiming::Scheme;

    const auto ahead = fetchTime(Scheme::HttpXsDate, server.url("utc-time?clockAheadMs=3000"));
    ASSERT_TRUE(ahead.result.offsetUs) << ahead.result.error;
    // The server read its clock somewhere between the request and the answer:
    // the midpoint is off by at most half the exchange (32.8 ms off once in a
    // loaded sanitizer run, past a fixed 30 ms), and the date's milliseconds by one.
    EXPECT_NEAR(static_cast<double>(*ahead.result.offsetUs), 3000000.0, ahead.tookUs / 2.0 + 1000.0);
    // A scheme is the same whatever its case: HTTP:// is read as http:// is.
    const auto shouted = fetchTime(Scheme::HttpXsDate, "HTTP" + server.url("utc-time").substr(4));
    EXPECT_TRUE(shouted.result.offsetUs) << shouted.result.error;

    EXPECT_EQ(fetchTime(Scheme::HttpIso, server.url("big.txt")).result.error, "the answer is longer than 256 bytes");
    EXPECT_EQ(fetchTime(Scheme::HttpIso, server.url("page.html")).result.error, "'<html>?\?</html>' is not a time");
    EXPECT_EQ(fetchTime(Scheme::HttpXsDate, server.url("none.txt")).result.error, "404 Not Found");
    EXPECT_EQ(fetchTime(Scheme::HttpHead, server.url("big.txt")).result.error, "the answer has no Date header");
    const auto looping = fetchTime(Scheme::HttpXsDate, server.url("big.txt?redirectLoop=1"));
    EXPECT_EQ(looping.calls, 1);
    EXPECT_FALSE(looping.result.offsetUs);
    EXPECT_FALSE(looping.result.error.empty());
    // A server that sends part of its answer and then nothing.
    const auto stalled = fetchTime(Scheme::HttpXsDate, server.url("big.txt?stallAfter=10"));
    EXPECT_EQ(stalled.calls, 1);
    EXPECT_FALSE(stalled.result.offsetUs);
    EXPECT_FALSE(stalled.result.error.empty());

    // Not asked at all: said at once.
    int calls = 0;
    EXPECT_FALSE(UtcTimingFetch::start(UtcTiming {Scheme::HttpIso, "file:///etc/hostname"}, [&](UtcTimingFetch::Result result) {
        ++calls;
        EXPECT_EQ(result.error, "not an http(s) URL");
    }));
    EXPECT_EQ(calls, 1);
    // Given up before the answer: no word after.
    auto dropped = UtcTimingFetch::start(UtcTiming {Scheme::HttpXsDate, server.url("utc-time?holdFirstMs=300")},
                                         [&](UtcTimingFetch::Result) { ++calls; });
    dropped.reset();
    zephyrscope::testing::RunMainLoopFor(std::chrono::milliseconds(600));
    EXPECT_EQ(calls, 1);

    server.stop();
    std::filesystem::remove_all(root);
}
