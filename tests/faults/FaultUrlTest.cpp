// Bad URLs given on the command line of an unattended run: each is reported with
// what failed and why, and the run ends by itself with whole lines in its log.
#include "FaultFixture.h"
#include "HttpTestServer.h"
#include "SilentServer.h"

#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sys/stat.h>
#include <tuple>
#include <vector>

using namespace zephyrscope::testing;
namespace fs = std::filesystem;

namespace {

class FaultUrl : public FaultFixture {};

class FaultHttpUrl : public FaultFixture {
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

TEST_F(FaultUrl, EmptyUrlIsReportedAndTheRunEndsWithStatus3)
{
    // As a script gives it when its URL variable is unset.
    const ProgramResult result = run({"", "run.dat"}, 40000);
    EXPECT_TRUE(result.endedByItself);
    EXPECT_EQ(result.exitStatus, 3) << result.stderrText;
    EXPECT_NE(result.stderrText.find("Cannot play '': "), std::string::npos) << result.stderrText;
    EXPECT_TRUE(ExpectWellFormedLog(path("run.dat")).media.empty());
}

TEST_F(FaultUrl, TruncatedClipPlaysWhatThereIsAndTheRunEndsByItself)
{
    const fs::path whole = shortClip("whole.mkv", 4.0);
    const std::string text = FileText(whole);
    const fs::path cut = media.write("cut.mkv", text.substr(0, text.size() / 2));

    const ProgramResult result = run({q(cut.string()), "run.dat"});
    EXPECT_TRUE(result.endedByItself);
    // What there is plays to where it stops; that counts as the clip's end.
    EXPECT_EQ(result.exitStatus, 0) << result.stderrText;
    const auto written = ExpectWellFormedLog(path("run.dat"));
    ASSERT_EQ(written.media.size(), 1u);
    EXPECT_EQ(written.media[0].name, "cut");
    EXPECT_TRUE(std::any_of(written.samples.begin(), written.samples.end(),
                            [](const auto& s) { return s.isPlaying(); }));
    EXPECT_EQ(result.stderrText.find("Cannot play"), std::string::npos) << result.stderrText;
}

TEST_F(FaultUrl, PathWithSpacesAndNonAsciiCharactersPlays)
{
    const fs::path clip = shortClip("clip with spaces – Zéphyr 東京.mkv");
    const ProgramResult result = run({q(clip.string()), "run.dat"});
    EXPECT_EQ(result.exitStatus, 0) << result.stderrText;
    const auto written = ExpectWellFormedLog(path("run.dat"));
    ASSERT_EQ(written.media.size(), 1u);
    EXPECT_EQ(written.media[0].name, "clip with spaces – Zéphyr 東京");
    EXPECT_EQ(written.media[0].width, 320);
}

TEST_F(FaultUrl, PercentEncodedFileUrlWithSpacesAndNonAsciiCharactersPlays)
{
    const fs::path clip = shortClip("clip with spaces – Zéphyr 東京.mkv");
    const QByteArray encoded = QUrl::fromLocalFile(q(clip.string())).toEncoded();
    ASSERT_TRUE(encoded.contains("%20")) << encoded.toStdString();
    const ProgramResult result = run({QString::fromLatin1(encoded), "run.dat"});
    EXPECT_EQ(result.exitStatus, 0) << result.stderrText;
    const auto written = ExpectWellFormedLog(path("run.dat"));
    ASSERT_EQ(written.media.size(), 1u);
    EXPECT_EQ(written.media[0].name, "clip with spaces – Zéphyr 東京");
}

TEST_F(FaultUrl, ClipAndLogNamesThatAreNotUtf8AreTakenByteForByte)
{
    // Latin-1 names, as an older system or a copied archive leaves them: the
    // bytes name the files, whatever they would decode to.
    const std::string clipName = "caf\xe9 clip.mkv";
    const std::string logName = "r\xe9sultat.dat";
    fs::copy_file(shortClip("clip.mkv"), path(clipName));
    ProgramProcess::Options o = options({});
    o.rawArguments = {path(clipName).string(), logName};
    const ProgramResult result = ProgramProcess::run(o);
    EXPECT_EQ(result.exitStatus, 0) << result.stderrText;
    ASSERT_TRUE(fs::exists(path(logName))) << "the log was made under another name";
    const auto written = ExpectWellFormedLog(path(logName));
    ASSERT_EQ(written.media.size(), 1u);
    EXPECT_EQ(written.media[0].name, "caf\xe9 clip");
}

TEST_F(FaultHttpUrl, UrlOf64KiBPlaysAndItsMediaBlockHoldsItWhole)
{
    shortClip("clip.mkv");
    std::string url = server->url("clip.mkv?pad=");
    url += std::string(64 * 1024 - url.size(), 'a');
    ASSERT_EQ(url.size(), 64u * 1024u);
    const ProgramResult result = run({q(url), "run.dat"});
    EXPECT_EQ(result.exitStatus, 0) << result.stderrText.substr(0, 2000);
    EXPECT_EQ(CountReports(result.stderrText), 0) << result.stderrText.substr(0, 2000);
    const auto written = ExpectWellFormedLog(path("run.dat"));
    ASSERT_EQ(written.media.size(), 1u);
    EXPECT_EQ(written.media[0].url, url);
    EXPECT_GE(written.samples.size(), 4u);
}

TEST_F(FaultHttpUrl, ServerStallingLongerThanTheBufferIsWaitedForAndTheClipEnds)
{
    // Half of the clip, then nine seconds of silence: longer than the five the
    // buffer holds, shorter than the time after which a silent server counts as gone.
    const fs::path clip = shortClip("clip.mkv", 12.0);
    const auto size = fs::file_size(clip);
    const std::string url = server->url("clip.mkv?stallAfter=" + std::to_string(size / 2) + "&stallMs=9000");
    const ProgramResult result = run({q(url), "run.dat"});
    EXPECT_EQ(result.exitStatus, 0) << result.stderrText;
    EXPECT_FALSE(playFailure(result, url).has_value()) << result.stderrText;
    const auto written = ExpectWellFormedLog(path("run.dat"));
    ASSERT_EQ(written.media.size(), 1u);
    // The silence shows as samples in Buffering after playing had begun.
    bool played = false;
    int stalledAfterPlaying = 0;
    for (const auto& s : written.samples) {
        played = played || s.isPlaying();
        stalledAfterPlaying += played && s.isStalled();
    }
    EXPECT_GE(stalledAfterPlaying, 2) << FileText(path("run.dat"));
}

// One list, so that the two give-ups share one countdown.
TEST_F(FaultUrl, ServersThatAcceptAndNeverAnswerAreGivenUpAndTheRunEndsWithStatus3)
{
    SilentServer httpServer;
    SilentServer rtspServer;
    const std::string http = "http://127.0.0.1:" + std::to_string(httpServer.port()) + "/clip.mkv";
    const std::string rtsp = "rtsp://127.0.0.1:" + std::to_string(rtspServer.port()) + "/clip.mkv";
    const fs::path list = media.write("silent.m3u", "#EXTM3U\n" + http + "\n" + rtsp + "\n");
    const ProgramResult result = run({q(list.string()), "run.dat"}, 120000);
    EXPECT_TRUE(result.endedByItself);
    EXPECT_EQ(result.exitStatus, 3) << result.stderrText;
    EXPECT_TRUE(ExpectWellFormedLog(path("run.dat")).media.empty());
    // The connection succeeds, so no probe can say more than the source did.
    for (const auto& [url, why] : {std::pair<std::string, std::string> {http, ": nothing was received from the source"},
                                   std::pair<std::string, std::string> {rtsp, "Could not read from resource."}}) {
        const std::string reason = playFailure(result, url).value_or("");
        EXPECT_TRUE(reason.size() >= why.size() && reason.compare(reason.size() - why.size(), why.size(), why) == 0)
            << url << ": " << reason << "\n" << result.stderrText;
    }
}

TEST_F(FaultUrl, LineBreaksAndAFakeSampleInTheClipsNameAndPathStayInsideItsMediaBlock)
{
    // A sample line as the program writes it, with the bit rate no 30-fps test clip has.
    const std::string fakeSample = "1765000000.0\t0.0\t100\t0\t0\t20000000\t0\t0\t43.79\t30\t0\t0\t0\t0\t100\tFile\t43.79"
                                   "\tPlaying";
    const std::string fileName = "nl\n" + fakeSample + "\r.mkv";
    fs::copy_file(shortClip("clip.mkv"), path(fileName));
    ProgramProcess::Options o = options({});
    o.rawArguments = {path(fileName).string(), "run.dat"};
    const ProgramResult result = ProgramProcess::run(o);
    EXPECT_EQ(result.exitStatus, 0) << result.stderrText;
    const auto written = ExpectWellFormedLog(path("run.dat"));
    ASSERT_EQ(written.media.size(), 1u);
    EXPECT_EQ(written.media[0].name, "nl\u240A" + fakeSample + "\u240D");
    EXPECT_EQ(written.media[0].url, path("nl%0A" + fakeSample + "%0D.mkv").string());
    EXPECT_EQ(written.media[0].width, 320);
    ASSERT_GE(written.samples.size(), 4u);
    for (const auto& s : written.samples)
        EXPECT_NE(s.network.bitRate, 20000000) << "line " << s.line;
}

TEST_F(FaultUrl, FifoAsUrlOrPlaylistIsRefusedAtOnceAndSignalsStillEndTheRun)
{
    // Opening a FIFO waits for a writer that never comes: the run must neither
    // hang before its log exists nor stop answering signals.
    ASSERT_EQ(::mkfifo(path("clip.fifo").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(path("list.m3u").c_str(), 0600), 0);
    const std::tuple<const char*, int, int> cases[] = {{"clip.fifo", SIGTERM, 143}, {"list.m3u", SIGINT, 130}};
    for (const auto& [name, signalNumber, status] : cases) {
        ProgramProcess program(options({q(path(name).string()), "run.dat"}));
        ASSERT_TRUE(program.start());
        ASSERT_TRUE(program.waitForStderr("it is a FIFO, not a regular file\n")) << program.stderrSoFar();
        EXPECT_TRUE(fs::exists(path("run.dat")));
        program.sendSignal(signalNumber);
        const ProgramResult result = program.finish(10000);
        EXPECT_EQ(result.exitStatus, status) << result.stderrText;
        EXPECT_NE(result.stderrText.find("Cannot play '"), std::string::npos) << result.stderrText;
        EXPECT_TRUE(ExpectWellFormedLog(path("run.dat")).media.empty());
    }

    // In a list, the FIFO is skipped and the clip after it plays: something played,
    // one entry failed, so the run ends by itself as incomplete.
    const fs::path clip = shortClip("clip.mkv");
    const fs::path list = media.write("fifo-first.m3u", path("clip.fifo").string() + "\n" + clip.string() + "\n");
    const ProgramResult result = run({q(list.string()), "list.dat"});
    EXPECT_TRUE(result.endedByItself);
    EXPECT_EQ(result.exitStatus, 4) << result.stderrText;
    const auto reason = playFailure(result, "clip.fifo");
    ASSERT_TRUE(reason.has_value()) << result.stderrText;
    EXPECT_EQ(*reason, "it is a FIFO, not a regular file");
    const auto written = ExpectWellFormedLog(path("list.dat"));
    ASSERT_EQ(written.media.size(), 1u);
    EXPECT_EQ(written.media[0].name, "clip");
}

// What a server sends that must not be taken as it comes: a redirect loop, a
// playlist far larger than any playlist (as one that inflates to a gigabyte
// is), a remote manifest that names local files, and segments a demuxer drops.
// Each is refused at once with its reason, never after a timeout, and nothing
// local is read.

TEST_F(FaultHttpUrl, RedirectLoopHugePlaylistAndLocalFilesAreRefusedAtOnceWithTheirReason)
{
    writeHugePlaylist(path("huge.m3u8"), std::size_t(20) << 20);
    const fs::path secret = media.write("secret.ts", "not to be read\n");
    media.write("local.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\nfile:///etc/passwd\n#EXTINF:2,\nfile://"
                                  + secret.string() + "\n#EXT-X-ENDLIST\n");
    const std::string loop = server->url("loop.mkv?redirectLoop=1");
    const std::string hugeEntry = server->url("huge.m3u8?entry=1");
    const std::string local = server->url("local.m3u8");
    shortClip("clip.mkv");
    const std::string notFound = server->url("missing.mkv");
    const std::string serverError = server->url("clip.mkv?status=500");
    const fs::path list = media.write("hostile.m3u", "#EXTM3U\n" + loop + "\n" + hugeEntry + "\n" + local + "\n"
                                                         + notFound + "\n" + serverError + "\n");

    ProgramResult result = run({q(list.string()), "list.dat"}, 120000);
    EXPECT_EQ(result.exitStatus, 3) << result.stderrText;
    EXPECT_EQ(playFailure(result, loop),
              "redirect loop: the server kept redirecting (Found (302), last to '" + loop + "')")
        << result.stderrText;
    // A listed .m3u8 is first read as a list within the list: the same cap, as a playlist.
    EXPECT_EQ(playFailure(result, hugeEntry), "the playlist is larger than 16 MiB once decompressed: not read further")
        << result.stderrText;
    EXPECT_EQ(playFailure(result, local), "a remote manifest may not name local files ('file:///etc/passwd')")
        << result.stderrText;
    // The server's own answers, as it worded them.
    EXPECT_EQ(playFailure(result, notFound), "Not Found") << result.stderrText;
    EXPECT_EQ(playFailure(result, serverError), "Internal Server Error") << result.stderrText;
    // What a file: URI in a manifest once gave, on the way to a 30-s timeout.
    EXPECT_EQ(result.stderrText.find("libsoup-CRITICAL"), std::string::npos) << result.stderrText;
    EXPECT_EQ(result.stderrText.find("timed out"), std::string::npos) << result.stderrText;
    // Five failures in a row, each at once: well under one 30-s open timeout.
    EXPECT_LT(result.seconds, 60.0) << result.stderrText;
    EXPECT_TRUE(ExpectWellFormedLog(path("list.dat")).media.empty());

    // The same playlist as the URL itself: fetched once, as a playlist, and cut.
    const std::string huge = server->url("huge.m3u8");
    result = run({q(huge), "huge.dat"});
    EXPECT_EQ(result.exitStatus, 3) << result.stderrText;
    EXPECT_EQ(playFailure(result, huge), "the playlist is larger than 16 MiB once decompressed: not read further")
        << result.stderrText;
}

// What an adaptive demuxer downloads itself, behind a master playlist that is
// harmless: a variant playlist that inflates to a gigabyte is never inflated
// (it is not asked for compressed, and one that comes so all the same is
// refused), and a variant playlist that names local files is refused at once,
// without libsoup's critical or a 30-s wait. One run, two entries.
TEST_F(FaultHttpUrl, VariantPlaylistsThatInflateToAGigabyteOrNameLocalFilesAreRefusedAtOnce)
{
    media.write("bomb.m3u8", "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=500000\nvariant.m3u8?gzipBomb=1024\n");
    media.write("local.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\nfile:///etc/passwd\n#EXT-X-ENDLIST\n");
    media.write("named.m3u8", "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=500000\nlocal.m3u8\n");
    const std::string bomb = server->url("bomb.m3u8");
    const std::string named = server->url("named.m3u8");
    const fs::path list = media.write("variants.m3u", "#EXTM3U\n" + bomb + "\n" + named + "\n");

    const ProgramResult result = run({q(list.string()), "variants.dat"});
    EXPECT_EQ(result.exitStatus, 3) << result.stderrText;
    EXPECT_EQ(playFailure(result, bomb), "'" + server->url("variant.m3u8?gzipBomb=1024")
                                             + "' came compressed (gzip) though none was asked for: not inflated")
        << result.stderrText;
    EXPECT_EQ(playFailure(result, named), "a remote manifest may not name local files") << result.stderrText;
    EXPECT_EQ(result.stderrText.find("CRITICAL"), std::string::npos) << result.stderrText;
    EXPECT_EQ(result.stderrText.find("timed out"), std::string::npos) << result.stderrText;
    EXPECT_LT(result.seconds, 45.0) << result.stderrText;
    EXPECT_TRUE(ExpectWellFormedLog(path("variants.dat")).media.empty());
}

// A live playlist that grows by a thousand entries of one segment at each
// refresh: the demuxer downloads segment after segment and drops them (they all
// carry the same timestamps). Their bytes were received; nothing played.
TEST_F(FaultHttpUrl, SegmentsTheDemuxerDropsAreReceivedBytesAndTheEntryFailsSayingSo)
{
    MediaFactory::Clip clip;
    media.makeHls("hls", clip);
    // Bodies at most 1 MB/s. The truth is the rate at which the server really
    // wrote segments (a slowed player fetches less); counted twice, the bit rate
    // would be about double.
    constexpr long long kBytesPerSecond = 1000000;
    server->setRateSchedule({{0, kBytesPerSecond}});
    const std::string url = server->url("hls/index.m3u8?grow=1000");
    // The no-data timeout shortened to 10 s, so the run does not wait 30.
    const ProgramResult result = run({"--no-data-timeout=10", q(url), "grow.dat"});
    // The first segment's pictures may still be shown before the rest are dropped
    // as late, when the machine is slow enough: then the entry played, briefly,
    // and lost its data, which is the other right answer.
    const std::optional<std::string> failure = playFailure(result, url);
    if (failure && failure->rfind("connection lost after ", 0) == 0) {
        EXPECT_EQ(result.exitStatus, 4) << result.stderrText;
    } else {
        EXPECT_EQ(result.exitStatus, 3) << result.stderrText;
        EXPECT_EQ(failure, "no data for 10 s (segments arrived, but the demuxer passed none of them on)")
            << result.stderrText;
    }
    long long segmentBytes = 0;
    std::optional<std::chrono::steady_clock::time_point> first, last;
    for (const HttpTestServer::Sent& sent : server->sentLog()) {
        if (sent.path.find(".ts") == std::string::npos)
            continue;
        segmentBytes += sent.bytes;
        first = first.value_or(sent.time);
        last = sent.time;
    }
    ASSERT_TRUE(first && *last > *first) << server->requestCount() << " requests";
    const double sentBitsPerSecond = 8.0 * static_cast<double>(segmentBytes)
        / std::chrono::duration<double>(*last - *first).count();
    const auto log = ExpectWellFormedLog(path("grow.dat"));
    std::vector<std::int32_t> rates;
    for (const auto& sample : log.samples)
        if (sample.isStalled())
            rates.push_back(sample.network.bitRate);
    ASSERT_GE(rates.size(), 6u);
    std::sort(rates.begin(), rates.end());
    const double median = rates[rates.size() / 2];
    EXPECT_LE(sentBitsPerSecond, 1.05 * kBytesPerSecond * 8);
    EXPECT_GT(median, 0.6 * sentBitsPerSecond) << sentBitsPerSecond << " bit/s sent";
    EXPECT_LT(median, 1.4 * sentBitsPerSecond) << sentBitsPerSecond << " bit/s sent";
}

// An open-file limit too low for a pipeline: the entry fails with one line that
// names the limit, instead of playing on behind hundreds of GStreamer-CRITICAL
// lines (a bus or clock without its descriptors), and the run ends by itself.
TEST_F(FaultHttpUrl, OpenFileLimitTooLowForAnEntryIsNamedOnceAndTheRunEndsWithStatus3)
{
    MediaFactory::Clip clip;
    media.makeHls("hls", clip);
    const std::string url = server->url("hls/index.m3u8");
    ProgramProcess::Options limited = options({q(url), "fd.dat"});
    constexpr rlim_t kLimit = 24; // enough for the program to start, not for its pipeline too
    limited.openFileLimit = kLimit;
    const ProgramResult result = ProgramProcess::run(limited, 60000);
    EXPECT_EQ(result.exitStatus, 3) << result.stderrText;
    const std::string reason = "file descriptors ran out (limit " + std::to_string(kLimit) + ")";
    EXPECT_EQ(playFailure(result, url), reason) << result.stderrText;
    std::size_t said = 0;
    for (auto at = result.stderrText.find(reason); at != std::string::npos; at = result.stderrText.find(reason, at + 1))
        ++said;
    EXPECT_EQ(said, 1u) << result.stderrText;
    EXPECT_EQ(result.stderrText.find("CRITICAL"), std::string::npos) << result.stderrText;
    EXPECT_TRUE(ExpectWellFormedLog(path("fd.dat")).media.empty());
}
