// What a server sends that must not be taken as it comes: a redirect loop, a
// playlist far larger than any playlist (as one that inflates to a gigabyte
// is), and a remote manifest that names local files. Each is refused at once with its reason, never after
// a timeout, and nothing local is read.
#include "FaultFixture.h"
#include "HttpTestServer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

using namespace zephyrscope::testing;
namespace fs = std::filesystem;

namespace {

class FaultServerInput : public FaultFixture {
protected:
    void SetUp() override
    {
        server = std::make_unique<HttpTestServer>(media.dir());
        server->start();
    }
    std::unique_ptr<HttpTestServer> server;
};

QString q(const std::string& text)
{
    return QString::fromStdString(text);
}

// A media playlist of `bytes` (what a small compressed one may inflate to).
void writeHugePlaylist(const fs::path& file, std::size_t bytes)
{
    std::ofstream out(file, std::ios::binary);
    out << "#EXTM3U\n#EXT-X-TARGETDURATION:2\n";
    std::string block;
    while (block.size() < (1u << 20))
        block += "#EXTINF:2,\nsegment.ts\n";
    for (std::size_t written = 0; written < bytes; written += block.size())
        out << block;
}

} // namespace

TEST_F(FaultServerInput, RedirectLoopHugePlaylistAndLocalFilesAreRefusedAtOnceWithTheirReason)
{
    writeHugePlaylist(path("huge.m3u8"), std::size_t(20) << 20);
    const fs::path secret = media.write("secret.ts", "not to be read\n");
    media.write("local.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\nfile:///etc/passwd\n#EXTINF:2,\nfile://"
                                  + secret.string() + "\n#EXT-X-ENDLIST\n");
    const std::string loop = server->url("loop.mkv?redirectLoop=1");
    const std::string hugeEntry = server->url("huge.m3u8?entry=1");
    const std::string local = server->url("local.m3u8");
    const fs::path list = media.write("hostile.m3u", "#EXTM3U\n" + loop + "\n" + hugeEntry + "\n" + local + "\n");

    ProgramResult result = run({q(list.string()), "list.dat"}, 120000);
    EXPECT_EQ(result.exitStatus, 3) << result.stderrText;
    EXPECT_EQ(playFailure(result, loop),
              "redirect loop: the server kept redirecting (Found (302), last to '" + loop + "')")
        << result.stderrText;
    EXPECT_EQ(playFailure(result, hugeEntry), "the manifest is larger than 16 MiB once decompressed: not read further")
        << result.stderrText;
    EXPECT_EQ(playFailure(result, local), "a remote manifest may not name local files ('file:///etc/passwd')")
        << result.stderrText;
    EXPECT_EQ(result.stderrText.find("CRITICAL"), std::string::npos) << result.stderrText;
    EXPECT_EQ(result.stderrText.find("timed out"), std::string::npos) << result.stderrText;
    // Three failures in a row, each at once: well under one 30-s open timeout.
    EXPECT_LT(result.seconds, 60.0) << result.stderrText;
    EXPECT_TRUE(ExpectWellFormedLog(path("list.dat")).media.empty());

    // The same playlist as the URL itself: fetched once, as a playlist, and cut.
    const std::string huge = server->url("huge.m3u8");
    result = run({q(huge), "huge.dat"});
    EXPECT_EQ(result.exitStatus, 3) << result.stderrText;
    EXPECT_EQ(playFailure(result, huge), "Cannot open playlist '" + huge + "': the playlist is larger than 16 MiB once decompressed: not read further")
        << result.stderrText;
}

// A live playlist that grows by a thousand entries of one segment at each
// refresh: the demuxer downloads segment after segment and drops them (they all
// carry the same timestamps). Their bytes were received; nothing played.
TEST_F(FaultServerInput, SegmentsTheDemuxerDropsAreReceivedBytesAndTheEntryFailsSayingSo)
{
    MediaFactory::Clip clip;
    media.makeHls("hls", clip);
    // Bodies at 1 MB/s: the bit rate to expect is the server's 8 Mbit/s, a little
    // less for the connections it opens and closes between bodies; counted twice
    // it would be about double.
    constexpr long long kBytesPerSecond = 1000000;
    server->setRateSchedule({{0, kBytesPerSecond}});
    const std::string url = server->url("hls/index.m3u8?grow=1000");
    // The no-data timeout shortened to 10 s (test-only), so the run does not wait 30.
    setenv("ZEPHYRSCOPE_TEST_NO_DATA_TIMEOUT_MS", "10000", 1);
    const ProgramResult result = run({q(url), "grow.dat"});
    unsetenv("ZEPHYRSCOPE_TEST_NO_DATA_TIMEOUT_MS");
    EXPECT_EQ(result.exitStatus, 3) << result.stderrText;
    EXPECT_EQ(playFailure(result, url), "no data for 10 s (segments arrived, but the demuxer passed none of them on)")
        << result.stderrText;
    const auto log = ExpectWellFormedLog(path("grow.dat"));
    std::vector<std::int32_t> rates;
    for (const auto& sample : log.samples)
        if (sample.isStalled())
            rates.push_back(sample.bitRate);
    ASSERT_GE(rates.size(), 6u);
    std::sort(rates.begin(), rates.end());
    const double median = rates[rates.size() / 2];
    std::printf("[ observed ] median Bit_Rate while dropped segments arrive: %.0f bit/s (server: %lld at most, "
                "%d requests)\n",
                median, kBytesPerSecond * 8, server->requestCount());
    EXPECT_GT(median, 0.6 * kBytesPerSecond * 8);
    EXPECT_LT(median, 1.4 * kBytesPerSecond * 8);
}
