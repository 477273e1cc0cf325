#pragma once

#include <cstdint>
#include <string>

namespace zephyrscope {

class Player;

// What the log records of each opened clip.
struct MediaBlock {
    std::string name;
    std::string sourceURL;
    std::string durationString;
    double duration = 0.0; // seconds
    std::int32_t imageSourceWidth = 0;
    std::int32_t imageSourceHeight = 0;
};

// Reads the six properties of the player's current media, each through a
// current-media object of its own. Throws PlayerError when a read fails.
MediaBlock ReadMediaBlock(Player& player);

// The block as the log holds it: name and URL on a line each, then the duration
// and picture-size items separated by a tab. Texts go in as the player returned them.
std::string FormatMediaBlock(const MediaBlock& block);

} // namespace zephyrscope
