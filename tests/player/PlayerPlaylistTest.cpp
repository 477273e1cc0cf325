#include "PlayerTestEnvironment.h"

#include "HttpTestServer.h"
#include "MediaUrl.h"
#include "NestedPlaylists.h"
#include "PlayState.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

using namespace zephyrscope;
using namespace zephyrscope::testing;
using namespace std::chrono_literals;

namespace {

constexpr const char* kTwoEntries = "9 open 3 8 9 open 3 8 10";

// An HTTP entry buffers (Buffering, 6) when its queue has not filled by the
// time it opened, or runs low while it plays: on a loaded machine that is the
// player's right answer, not a fault of the list. What a list's test checks is
// the entries, their order and their ends.
std::string withoutBuffering(const std::string& sequence)
{
    std::istringstream events(sequence);
    std::string kept;
    for (std::string event; events >> event;)
        if (event != "6")
            kept += (kept.empty() ? "" : " ") + event;
    return kept;
}

void makeShortClips()
{
    MediaFactory::Clip clip;
    clip.seconds = 1.0;
    SharedMedia().make("short1.mkv", clip);
    clip.fps = 30;
    SharedMedia().make("short2.mkv", clip);
}

std::string m3u()
{
    return "#EXTM3U\n#EXTINF:1,First Entry\nshort1.mkv\n#EXTINF:1,Second Entry\nshort2.mkv\n";
}

struct Format {
    std::string extension;
    std::string text;
};

[[maybe_unused]] void PrintTo(const Format& format, std::ostream* out)
{
    *out << format.extension;
}

std::vector<Format> formats()
{
    return {
        {"m3u", m3u()},
        {"m3u8", m3u()},
        {"pls", "[playlist]\nFile1=short1.mkv\nTitle1=First Entry\nFile2=short2.mkv\nTitle2=Second Entry\n"
                "NumberOfEntries=2\nVersion=2\n"},
        {"xspf", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<playlist version=\"1\" "
                 "xmlns=\"http://xspf.org/ns/0/\"><trackList>"
                 "<track><location>short1.mkv</location><title>First Entry</title></track>"
                 "<track><location>short2.mkv</location><title>Second Entry</title></track>"
                 "</trackList></playlist>\n"},
        {"asx", "<asx version=\"3.0\">\n<entry><title>First Entry</title><ref href=\"short1.mkv\"/></entry>\n"
                "<entry><title>Second Entry</title><ref href=\"short2.mkv\"/></entry>\n</asx>\n"},
        // Windows lists name entries with backslashes.
        {"wpl", "<?wpl version=\"1.0\"?>\n<smil><head><title>Two</title></head><body><seq>\n"
                "<media src=\".\\short1.mkv\"/>\n<media src=\".\\short2.mkv\"/>\n</seq></body></smil>\n"},
    };
}

class PlayerPlaylist : public PlayerFixture, public ::testing::WithParamInterface<Format> {
protected:
    void SetUp() override
    {
        PlayerFixture::SetUp();
        makeShortClips();
    }

    // Plays a list to its end, noting each entry's name and URL at its open.
    void playList(const std::string& url)
    {
        events.onEvent = [this](const std::string& event) {
            if (event == "open 13") {
                names.push_back(player->currentMedia()->name());
                urls.push_back(player->currentMedia()->sourceURL());
            }
        };
        player->putURL(url);
        ASSERT_TRUE(waitForState(kPlayStateReady, 20s)) << events.sequence();
        events.onEvent = nullptr;
        EXPECT_TRUE(events.errors.empty()) << ::testing::PrintToString(events.errors);
    }

    std::vector<std::string> names;
    std::vector<std::string> urls;
};

} // namespace

TEST_P(PlayerPlaylist, LocalListPlaysBothEntriesInOrder)
{
    const Format& format = GetParam();
    const auto list = SharedMedia().write("two." + format.extension, format.text);
    playList(list.string());
    EXPECT_EQ(events.sequence(), kTwoEntries);
    EXPECT_EQ(events.count("open 13"), 2);
    EXPECT_EQ(events.count("play 8"), 2);
    EXPECT_EQ(events.count("play 10"), 1);
    ASSERT_EQ(urls.size(), 2u);
    EXPECT_NE(urls[0].find("short1.mkv"), std::string::npos) << urls[0];
    EXPECT_NE(urls[1].find("short2.mkv"), std::string::npos) << urls[1];
    if (format.extension != "wpl") {
        EXPECT_EQ(names[0], "First Entry");
        EXPECT_EQ(names[1], "Second Entry");
    } else {
        EXPECT_EQ(names[0], "short1");
        EXPECT_EQ(names[1], "short2");
    }
}

// A list saved by a Windows editor starts with a UTF-8 byte-order mark. Its
// entries resolve as the same list's without one: an absolute path (here under
// the temporary folder, where the parser reads its mended copy) as it stands, a
// relative one against the list's own folder, parent included.
TEST_P(PlayerPlaylist, ListWithAByteOrderMarkPlaysItsAbsoluteAndRelativeEntries)
{
    const Format& format = GetParam();
    const bool windows = format.extension == "wpl";
    std::string text = "\xEF\xBB\xBF" + format.text;
    const std::string first = windows ? ".\\short1.mkv" : "short1.mkv";
    const std::string second = windows ? ".\\short2.mkv" : "short2.mkv";
    const std::string absolute = (SharedMedia().dir() / "short1.mkv").string();
    ASSERT_EQ(absolute.rfind(std::filesystem::temp_directory_path().string(), 0), 0u) << absolute;
    text.replace(text.find(first), first.size(), absolute);
    text.replace(text.find(second), second.size(), windows ? "..\\short2.mkv" : "../short2.mkv");
    const auto list = SharedMedia().write("lists/marked." + format.extension, text);
    playList(list.string());
    EXPECT_EQ(events.sequence(), kTwoEntries);
    ASSERT_EQ(urls.size(), 2u);
    EXPECT_EQ(urls[0], MediaUrl::toUri(absolute));
    EXPECT_EQ(urls[1], MediaUrl::toUri((SharedMedia().dir() / "short2.mkv").string()));
    if (!windows) {
        EXPECT_EQ(names[0], "First Entry");
    }
}

TEST_P(PlayerPlaylist, RemoteListIsFetchedAndResolvedAgainstItsUrl)
{
    const Format& format = GetParam();
    SharedMedia().write("remote." + format.extension, format.text);
    HttpTestServer server(SharedMedia().dir());
    server.start();
    playList(server.url("remote." + format.extension));
    EXPECT_EQ(withoutBuffering(events.sequence()), kTwoEntries);
    ASSERT_EQ(urls.size(), 2u);
    EXPECT_EQ(urls[0], server.url("short1.mkv"));
    EXPECT_EQ(urls[1], server.url("short2.mkv"));
    server.stop();
}

INSTANTIATE_TEST_SUITE_P(Formats, PlayerPlaylist, ::testing::ValuesIn(formats()),
                         [](const ::testing::TestParamInfo<Format>& info) { return info.param.extension; });

class PlayerPlaylistFailure : public PlayerFixture {
protected:
    void SetUp() override
    {
        PlayerFixture::SetUp();
        makeShortClips();
    }

    // The one error names the list and ends with one of the reasons given.
    void expectListError(const std::string& url, const std::vector<std::string>& reasons)
    {
        const std::string& error = events.errors.at(0);
        EXPECT_EQ(error.rfind(url + "|", 0), 0u) << error;
        const bool known = std::any_of(reasons.begin(), reasons.end(), [&](const std::string& reason) {
            return error.size() >= reason.size() && error.compare(error.size() - reason.size(), reason.size(), reason) == 0;
        });
        EXPECT_TRUE(known) << error;
    }
};

TEST_F(PlayerPlaylistFailure, EmptyListGivesAnErrorAndReady)
{
    const auto list = SharedMedia().write("empty.m3u", "#EXTM3U\n");
    player->putURL(list.string());
    ASSERT_TRUE(waitForState(kPlayStateReady)) << events.sequence();
    EXPECT_EQ(events.sequence(), "9 error 10");
    ASSERT_EQ(events.errors.size(), 1u);
    expectListError(list.string(), {"the playlist is empty"});
}

TEST_F(PlayerPlaylistFailure, BrokenListGivesAnErrorAndReady)
{
    const auto list = SharedMedia().write("broken.xspf", "<playlist><trackList><track><loca");
    player->putURL(list.string());
    ASSERT_TRUE(waitForState(kPlayStateReady)) << events.sequence();
    EXPECT_EQ(events.sequence(), "9 error 10");
    ASSERT_EQ(events.errors.size(), 1u);
    // totem-plparser takes a truncated XSPF for a list with no entries.
    expectListError(list.string(), {"the playlist is empty"});
}

TEST_F(PlayerPlaylistFailure, MissingEntryIsSkippedAndTheNextPlays)
{
    const auto list = SharedMedia().write("gap.m3u", "missing.mkv\nshort1.mkv\n");
    player->putURL(list.string());
    ASSERT_TRUE(waitForState(kPlayStateReady)) << events.sequence();
    EXPECT_EQ(events.sequence(), "9 error open 3 8 10");
    ASSERT_EQ(events.errors.size(), 1u);
    // The entry as the list resolved it, with the source's reason.
    EXPECT_EQ(events.errors[0], "file://" + (SharedMedia().dir() / "missing.mkv").string() + "|Resource not found.");
}

TEST_F(PlayerPlaylistFailure, MissingRemoteListGivesAnErrorAndReady)
{
    HttpTestServer server(SharedMedia().dir());
    server.start();
    player->putURL(server.url("nowhere.pls"));
    ASSERT_TRUE(waitForState(kPlayStateReady)) << events.sequence();
    EXPECT_EQ(events.sequence(), "9 error 10");
    server.stop();
}

// Lists within lists, as deep as a user could nest them by mistake: each clip
// once, a list within itself skipped, and no list opened past the depth limit.
TEST(NestedPlaylists, ExpandsInPlaceSkipsCyclesAndStopsAtTheDepthLimit)
{
    MediaFactory media;
    const std::string dir = media.dir().string();
    // l0 lists l1 ... l9 lists a clip; l1 also lists l0, which is on its own path.
    for (int i = 0; i < 10; ++i)
        media.write("l" + std::to_string(i) + ".m3u",
                    (i == 9 ? std::string("deep.mkv\n") : "l" + std::to_string(i + 1) + ".m3u\n")
                        + (i == 1 ? "l0.m3u\nmid.mkv\n" : ""));
    // The user's list, which lists l0.
    const std::string top = "file://" + dir + "/top.m3u";
    std::optional<NestedPlaylists::Result> result;
    NestedPlaylists nested(top, "", [&](NestedPlaylists::Result r) { result = std::move(r); });
    nested.start({{"file://" + dir + "/l0.m3u", ""}});
    ASSERT_TRUE(result.has_value()); // local lists only: answered from start()
    ASSERT_EQ(result->entries.size(), 1u);
    EXPECT_EQ(result->entries[0].uri, "file://" + dir + "/mid.mkv");
    ASSERT_EQ(result->failures.size(), 1u);
    EXPECT_EQ(result->failures[0].url, "file://" + dir + "/l8.m3u");
    EXPECT_EQ(result->failures[0].reason, "playlists are nested more than 8 deep");
}
