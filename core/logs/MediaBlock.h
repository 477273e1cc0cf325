#pragma once

#include <cstdint>
#include <string>
#include <string_view>

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
// and picture-size items separated by a tab. Texts go in as the player returned them,
// except that no text may break the block's three lines (see the two below).
std::string FormatMediaBlock(const MediaBlock& block);

// A clip's name (or the duration text) as the log writes it: each control character
// but the tab (0x00-0x1F, 0x7F) becomes its stand-in from Unicode's Control Pictures
// block in UTF-8, U+2400 + code ("\n" is U+240A), DEL U+2421. The stand-ins are
// visible in any viewer and map back one to one; a name that already held them is
// the one case the mapping cannot tell apart.
std::string LogSafeName(std::string_view name);

// A URL as the log writes it: each control character but the tab becomes %XX (upper
// case hex), the form a URI gives that byte, so the line is the same address.
std::string LogSafeUrl(std::string_view url);

} // namespace zephyrscope
