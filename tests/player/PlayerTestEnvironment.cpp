#include "PlayerTestEnvironment.h"

#include <cstdlib>

namespace zephyrscope::testing {

MediaFactory& SharedMedia()
{
    static MediaFactory media;
    return media;
}

std::string Clip25()
{
    MediaFactory::Clip clip;
    clip.title = "Zephyr Test Clip";
    return SharedMedia().make("clip25.mkv", clip).string();
}

std::string Clip30()
{
    MediaFactory::Clip clip;
    clip.fps = 30;
    return SharedMedia().make("clip30.mkv", clip).string();
}

std::string ClipWithAudio()
{
    MediaFactory::Clip clip;
    clip.audio = true;
    return SharedMedia().make("clip25av.mkv", clip).string();
}

std::string AudioOnly()
{
    MediaFactory::Clip clip;
    clip.video = false;
    clip.audio = true;
    return SharedMedia().make("audio.mkv", clip).string();
}

void PlayerFixture::SetUp()
{
    // Headless, whatever the caller's session offers.
    unsetenv("DISPLAY");
    player = std::make_unique<CWMPPlayer4>();
    player->setFakeSinks(true);
    player->setEventSink(&events);
}

void PlayerFixture::TearDown()
{
    player.reset();
    // Lets what the player left behind on the main context run out.
    RunMainLoopFor(std::chrono::milliseconds(50));
}

bool PlayerFixture::waitForState(std::int32_t state, std::chrono::milliseconds timeout)
{
    return waitForEvent("play " + std::to_string(state), 1, timeout);
}

bool PlayerFixture::waitForEvent(const std::string& event, int occurrences, std::chrono::milliseconds timeout)
{
    return RunMainLoopUntil([&] { return events.count(event) >= occurrences; }, timeout);
}

} // namespace zephyrscope::testing

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
