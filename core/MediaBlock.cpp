#include "MediaBlock.h"

#include "Player.h"

#include <cstdio>

namespace zephyrscope {

namespace {

template <typename Read>
auto readMedia(Player& player, Read read)
{
    auto media = player.currentMedia();
    return read(*media);
}

template <typename... Args>
std::string format(const char* pattern, Args... args)
{
    const int n = std::snprintf(nullptr, 0, pattern, args...);
    if (n <= 0)
        return {};
    std::string text(static_cast<std::size_t>(n), '\0');
    std::snprintf(text.data(), text.size() + 1, pattern, args...);
    return text;
}

} // namespace

MediaBlock ReadMediaBlock(Player& player)
{
    MediaBlock block;
    block.name = readMedia(player, [](PlayerMedia& m) { return m.name(); });
    block.sourceURL = readMedia(player, [](PlayerMedia& m) { return m.sourceURL(); });
    block.durationString = readMedia(player, [](PlayerMedia& m) { return m.durationString(); });
    block.duration = readMedia(player, [](PlayerMedia& m) { return m.duration(); });
    block.imageSourceWidth = readMedia(player, [](PlayerMedia& m) { return m.imageSourceWidth(); });
    block.imageSourceHeight = readMedia(player, [](PlayerMedia& m) { return m.imageSourceHeight(); });
    return block;
}

std::string FormatMediaBlock(const MediaBlock& block)
{
    // The duration string is passed as an argument, not as the pattern, so a '%'
    // in a clip's texts is written as it is.
    std::string text;
    text += block.name;
    text += '\n';
    text += block.sourceURL;
    text += '\n';
    text += format("Duration: %s (%4.2f secs)", block.durationString.c_str(), block.duration);
    text += '\t';
    text += format("Resulation: %d*%d", block.imageSourceWidth, block.imageSourceHeight);
    text += '\n';
    return text;
}

} // namespace zephyrscope
