#pragma once

#include "PlayerControls.h"
#include "PlayerMedia.h"
#include "PlayerNetwork.h"

#include <cstdint>
#include <memory>
#include <string>

namespace zephyrscope {

class PlayerEventSink;

// The media player as the measurement sees it. Sub-objects are handed out for
// one use: the caller owns the returned object and destroys it right after the read.
// Reads and commands may throw PlayerError.
class Player {
public:
    virtual ~Player() = default;

    // Opens a clip, stream or playlist and plays it; events follow later, from the main loop.
    virtual void putURL(const std::string& url) = 0;
    virtual std::unique_ptr<PlayerControls> controls() = 0;
    virtual std::unique_ptr<PlayerMedia> currentMedia() = 0;
    virtual std::unique_ptr<PlayerNetwork> network() = 0;
    virtual std::int32_t playState() = 0;

    // One snapshot of everything a tick reads: the state, the entry's protocol
    // and every figure, written into the caller's snapshot so that refilling
    // the same one allocates nothing once it has grown.
    virtual void snapshot(NetworkFigures& into) = 0;

    // Where events go; nullptr stops them. The sink must outlive its registration.
    virtual void setEventSink(PlayerEventSink* sink) = 0;
};

} // namespace zephyrscope
