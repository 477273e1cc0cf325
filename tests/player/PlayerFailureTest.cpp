#include "PlayerTestEnvironment.h"

#include "ConnectionProbe.h"
#include "EntryPlayback.h"
#include "HttpTestServer.h"
#include "PlayState.h"
#include "RtspServerProcess.h"
#include "SinkFactory.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <optional>

using namespace zephyrscope;
using namespace zephyrscope::testing;
using namespace std::chrono_literals;

namespace {

// A loopback port nobody listens on: bound to find it free, then closed.
int closedPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

class PlayerFailure : public PlayerFixture {
protected:
    // Puts the URL and expects exactly one error for it, then Ready; the error's
    // reason, or empty when there was none.
    std::string expectErrorThenReady(const std::string& url, std::chrono::milliseconds timeout = 20s)
    {
        player->putURL(url);
        EXPECT_TRUE(waitForState(kPlayStateReady, timeout)) << events.sequence();
        EXPECT_EQ(events.sequence(), "9 error 10");
        EXPECT_EQ(player->playState(), kPlayStateReady);
        EXPECT_EQ(events.errors.size(), 1u) << events.sequence();
        if (events.errors.empty())
            return {};
        EXPECT_EQ(events.errors[0].rfind(url + "|", 0), 0u) << events.errors[0];
        EXPECT_EQ(events.errors[0].find('\n'), std::string::npos) << events.errors[0];
        return events.errors[0].substr(std::min(events.errors[0].size(), url.size() + 1));
    }
};

} // namespace

TEST_F(PlayerFailure, MissingLocalFile)
{
    EXPECT_EQ(expectErrorThenReady((SharedMedia().dir() / "no-such-clip.mkv").string()), "Resource not found.");
}

TEST_F(PlayerFailure, FileThatIsNotMedia)
{
    EXPECT_EQ(expectErrorThenReady(SharedMedia().write("notes.mkv", std::string(4096, 'z')).string()),
              "This appears to be a text file");
}

// The sources say only "Internal data stream error" or "Could not open resource";
// the reason given must be the system's own.
TEST_F(PlayerFailure, RefusedHttpConnectionIsNamed)
{
    EXPECT_EQ(expectErrorThenReady("http://127.0.0.1:" + std::to_string(closedPort()) + "/clip.mkv"),
              std::string("Could not connect to 127.0.0.1: ") + std::strerror(ECONNREFUSED));
}

TEST_F(PlayerFailure, RefusedRtspConnectionIsNamed)
{
    EXPECT_EQ(expectErrorThenReady("rtsp://127.0.0.1:" + std::to_string(closedPort()) + "/clip", 30s),
              std::string("Could not connect to 127.0.0.1: ") + std::strerror(ECONNREFUSED));
}

TEST_F(PlayerFailure, UnresolvableHostNameIsNamed)
{
    // The .invalid domain never resolves, so no network is touched.
    const std::string reason = expectErrorThenReady("http://zephyrscope.invalid/clip.mkv", 30s);
    // GLib's words, which name the host in typographic quotes.
    EXPECT_NE(reason.find("Error resolving"), std::string::npos) << reason;
    EXPECT_NE(reason.find("zephyrscope.invalid"), std::string::npos) << reason;
}

TEST_F(PlayerFailure, StopBeforeOrAfterAFailingOpenCancelsItOrKeepsItsFailure)
{
    // Stopped before the source has run, the open is cancelled ...
    const std::string url = "http://127.0.0.1:" + std::to_string(closedPort()) + "/clip.mkv";
    player->putURL(url);
    player->controls()->stop();
    RunMainLoopFor(300ms);
    EXPECT_EQ(events.sequence(), "9 1");
    EXPECT_TRUE(events.errors.empty());

    // ... stopped once it has failed, the failure stands.
    events.events.clear();
    player->putURL(url);
    ASSERT_TRUE(waitForEvent("error")) << events.sequence();
    player->controls()->stop();
    RunMainLoopFor(300ms);
    EXPECT_EQ(events.sequence(), "9 error 10");
    ASSERT_EQ(events.errors.size(), 1u);
    EXPECT_EQ(events.errors[0].rfind(url + "|", 0), 0u) << events.errors[0];
}

namespace {

// Records the states an entry goes through, and what it says at its final one.
struct StateRecorder final : EntryPlayback::Listener {
    std::vector<EntryPlayback::State> states;
    EntryPlayback* playback = nullptr;
    std::string failureAtEnd;
    void entryStateChanged(EntryPlayback::State state) override
    {
        states.push_back(state);
        // Still whole when it tells of its end: the engine removes it only later.
        if (playback->ended())
            failureAtEnd = playback->failure();
    }
};

} // namespace

TEST(EntryPlaybackFailure, StoppedWhileItsFailureIsBeingExplainedItFailsWithTheReasonItHad)
{
    // In between (the source failed, the connection probe still out) the failure must not vanish.
    using State = EntryPlayback::State;
    gst_init(nullptr, nullptr);
    const std::string url = "http://127.0.0.1:" + std::to_string(closedPort()) + "/clip.mkv";
    SinkFactory sinks {SinkFactory::Choice::FakeOnly};
    StateRecorder recorder;
    EntryPlayback playback({url, "", url}, EntryPipeline::Settings {}, sinks, true, true, recorder);
    recorder.playback = &playback;
    playback.start();
    ASSERT_TRUE(RunMainLoopUntil([&] { return playback.state() >= State::Failing; }, 20s));
    ASSERT_EQ(playback.state(), State::Failing) << "the probe answered within the loop's iteration";
    playback.stop();
    EXPECT_EQ(playback.state(), State::Failed);
    EXPECT_FALSE(playback.failure().empty());
    EXPECT_EQ(recorder.failureAtEnd, playback.failure());
    EXPECT_EQ(recorder.states, (std::vector {State::Failing, State::Failed}));
    // Ended, it stays as it is: a second stop changes nothing.
    playback.stop();
    EXPECT_EQ(recorder.states.size(), 2u);
}

TEST(ConnectionProbe, AnswersOnceAndNeverAfterItIsGone)
{
    std::optional<std::optional<std::string>> answer;
    int answers = 0;
    const auto record = [&](std::optional<std::string> unreachable) {
        answer = std::move(unreachable);
        ++answers;
    };

    // A server that listens: nothing to report.
    HttpTestServer server(SharedMedia().dir());
    server.start();
    {
        ConnectionProbe probe(server.url("clip.mkv"), "", record);
        ASSERT_TRUE(RunMainLoopUntil([&] { return answers > 0; }, 10s));
    }
    EXPECT_EQ(answers, 1);
    EXPECT_FALSE(answer->has_value()) << **answer;

    // Gone before its answer: no call, no crash when the connect completes.
    answers = 0;
    const std::string refused = "http://127.0.0.1:" + std::to_string(closedPort()) + "/";
    std::make_unique<ConnectionProbe>(refused, "", record).reset();
    RunMainLoopFor(300ms);
    EXPECT_EQ(answers, 0);

    // Finished by hand: one answer, then none from the connect.
    ConnectionProbe probe(refused, "", record);
    probe.finishNow();
    EXPECT_EQ(answers, 1);
    EXPECT_FALSE(answer->has_value());
    RunMainLoopFor(300ms);
    EXPECT_EQ(answers, 1);
}

TEST_F(PlayerFailure, MissingPluginIsNamed)
{
    const std::string url = "zephyrproto://127.0.0.1/clip";
    const std::string reason = expectErrorThenReady(url);
    EXPECT_NE(reason.find("missing plugin"), std::string::npos) << reason;
    EXPECT_NE(reason.find("zephyrproto"), std::string::npos) << reason;
}

class PlayerRtspServerGone : public PlayerFixture, public ::testing::WithParamInterface<std::string> {};

TEST_P(PlayerRtspServerGone, EntryEndsWithoutHanging)
{
    auto server = std::make_unique<RtspServerProcess>(ZEPHYRSCOPE_RTSP_SERVER,
                                                      std::vector<std::string> {"--seconds", "30", "--timeout", "60"});
    player->putURL(server->url(GetParam()));
    ASSERT_TRUE(waitForState(kPlayStatePlaying, 20s)) << events.sequence();
    server->finish();
    ASSERT_TRUE(waitForState(kPlayStateReady, 30s)) << events.sequence();
    EXPECT_EQ(events.sequence(), "9 open 6 3 error 10");
    ASSERT_EQ(events.errors.size(), 1u);
    // rtspsrc's words: over TCP the closed connection; over UDP only the control
    // connection's failure, which reads like a failed open.
    const std::string reason = GetParam() == "rtspt" ? "Could not read from resource. (The server closed the connection.)"
                                                      : "Could not open resource for reading and writing.";
    EXPECT_EQ(events.errors[0], server->url(GetParam()) + "|" + reason);
}

INSTANTIATE_TEST_SUITE_P(Transports, PlayerRtspServerGone, ::testing::Values("rtspt", "rtspu"));

TEST_F(PlayerFailure, EmptyUrlIsReportedAndLeavesThePlayerReady)
{
    player->putURL("");
    ASSERT_TRUE(waitForState(kPlayStateReady)) << events.sequence();
    EXPECT_EQ(events.sequence(), "9 error 10");
    ASSERT_EQ(events.errors.size(), 1u);
    EXPECT_EQ(events.errors[0], "|no URL was given");
    // With nothing loaded, play and stop have nothing to act on.
    player->controls()->play();
    player->controls()->stop();
    RunMainLoopFor(100ms);
    EXPECT_EQ(events.sequence(), "9 error 10");
    EXPECT_EQ(player->playState(), kPlayStateReady);
}

TEST_F(PlayerFailure, PlayerDestroyedWhilePlaying)
{
    player->putURL(Clip25());
    ASSERT_TRUE(waitForState(kPlayStatePlaying));
    player.reset();
    RunMainLoopFor(200ms);
    EXPECT_EQ(events.count("play 8"), 0);
}

TEST_F(PlayerFailure, StoppingWhileOpeningNeverFreezesThePlayer)
{
    // Shutting a pipeline down while it is still finding out the type of its
    // data can deadlock inside the engine; the player must go on regardless.
    for (int round = 0; round < 8; ++round) {
        player->putURL(round % 2 ? Clip25() : Clip30());
        RunMainLoopFor(std::chrono::milliseconds(5 * round));
        player->controls()->stop();
    }
    player->putURL(Clip25());
    ASSERT_TRUE(waitForState(kPlayStateReady, 30s)) << events.sequence();
    const std::string sequence = events.sequence();
    const std::string ending = "1 9 open 3 8 10";
    ASSERT_GE(sequence.size(), ending.size()) << sequence;
    EXPECT_EQ(sequence.substr(sequence.size() - ending.size()), ending) << sequence;
    EXPECT_TRUE(events.errors.empty());
}

TEST_F(PlayerFailure, NewUrlWhileOpeningReplacesTheOldOne)
{
    player->putURL(Clip30());
    player->putURL(Clip25());
    ASSERT_TRUE(waitForState(kPlayStateReady));
    EXPECT_EQ(events.sequence(), "9 open 3 8 10");
    EXPECT_EQ(player->currentMedia()->name(), "Zephyr Test Clip");
}
