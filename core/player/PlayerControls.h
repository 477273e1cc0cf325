#pragma once

namespace zephyrscope {

// The player's controls object, obtained from Player::controls() for one call.
class PlayerControls {
public:
    virtual ~PlayerControls() = default;

    // Starts the current entry again after stop, or the list from its first entry when Ready.
    virtual void play() = 0;
    // Stops playback; the position goes back to the start of the entry.
    virtual void stop() = 0;
};

} // namespace zephyrscope
