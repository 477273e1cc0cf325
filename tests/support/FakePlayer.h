#pragma once

#include "Player.h"
#include "PlayerEventSink.h"
#include "TsErrorCounts.h"

#include <functional>
#include <string>
#include <vector>

namespace zephyrscope::testing {

// A scripted player. Tests set the values it reports, can make any read fail,
// and read back the journal of every call made on it, in order
// ("snapshot", "network", "network.frameRate", "release network", ...). The
// snapshot's state is `state`, whatever `net.playState` says.
class FakePlayer final : public Player {
public:
    using Network = NetworkFigures;
    struct Media {
        std::string sourceURL, durationString, name;
        std::int32_t imageSourceWidth = 0, imageSourceHeight = 0;
        double duration = 0.0;
    };

    void putURL(const std::string& url) override;
    std::unique_ptr<PlayerControls> controls() override;
    std::unique_ptr<PlayerMedia> currentMedia() override;
    std::unique_ptr<PlayerNetwork> network() override;
    std::int32_t playState() override;
    void snapshot(NetworkFigures& into) override;
    void setEventSink(PlayerEventSink* sink) override { eventSink = sink; }

    // Records a call, and throws PlayerError when it is the one set to fail.
    void record(const std::string& call);

    Network net;
    Media media;
    std::int32_t state = 0;
    std::vector<std::string> urls;
    PlayerEventSink* eventSink = nullptr;

    std::vector<std::string> journal;
    bool keepJournal = true;
    // A call (as the journal names it) that throws PlayerError instead of answering.
    std::string failingCall;
    // Live sub-objects; a released object is no longer counted.
    int liveObjects = 0;
};

} // namespace zephyrscope::testing
