#pragma once

#include "CWMPPlayer4.h"
#include "EventRecorder.h"
#include "MainLoopWait.h"
#include "MediaFactory.h"
#include "PlayerEngine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
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

// The engine itself with a recorder attached, for the whole figures of an
// entry (the stream errors too). Base: ::testing::Test or a TestWithParam.
template <class Base = ::testing::Test>
class EngineFixture : public Base {
protected:
    void SetUp() override
    {
        unsetenv("DISPLAY");
        gst_init(nullptr, nullptr);
        engine = std::make_unique<PlayerEngine>();
        engine->setFakeSinks(true);
        engine->setEventSink(&events);
    }
    void TearDown() override
    {
        engine.reset();
        RunMainLoopFor(std::chrono::milliseconds(50));
    }

    EventRecorder events;
    std::unique_ptr<PlayerEngine> engine;
};

} // namespace zephyrscope::testing
