// What a server sends that must not be taken as it comes: a redirect loop, a
// playlist far larger than any playlist (as one that inflates to a gigabyte
// is), and a remote manifest that names local files. Each is refused at once with its reason, never after
// a timeout, and nothing local is read.
#include "FaultFixture.h"
#include "HttpTestServer.h"

#include <filesystem>
#include <fstream>

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
