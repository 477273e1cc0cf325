#pragma once

#include "CWMPPlayer4.h"
#include "EventRecorder.h"
#include "MainLoopWait.h"
#include "MediaFactory.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

namespace zephyrscope::testing {

// The clips every player test shares, made once per run.
MediaFactory& SharedMedia();
std::string Clip25();        // 3 s, 320x240, 25 fps, title "Zephyr Test Clip"
std::string Clip30();        // 3 s, 320x240, 30 fps, no title
std::string ClipWithAudio(); // 3 s, 320x240, 25 fps, with audio
std::string AudioOnly();     // 3 s audio

// A player with a recorder attached, and waits on its events.
class PlayerFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    bool waitForState(std::int32_t state, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    bool waitForEvent(const std::string& event, int occurrences = 1,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20));

    std::unique_ptr<CWMPPlayer4> player;
    EventRecorder events;
};

} // namespace zephyrscope::testing
