#include "MediaBlock.h"

#include "Player.h"
#include "RedactedUrl.h"

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

// The tab separates items and stays; every other control character could end a
// line for some reader (a carriage return does for many).
bool isControl(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && byte != '\t') || byte == 0x7F;
}

// The text with each control character but the tab replaced by what standIn
// appends for it.
template <typename StandIn>
std::string withControlsReplaced(std::string_view text, StandIn standIn)
{
    std::string safe;
    safe.reserve(text.size());
    for (char c : text) {
        if (isControl(c))
            standIn(safe, static_cast<unsigned char>(c));
        else
            safe += c;
    }
    return safe;
}

} // namespace

std::string LogSafeName(std::string_view name)
{
    // U+2400..U+241F and U+2421 are E2 90 80..9F and E2 90 A1 in UTF-8.
    return withControlsReplaced(name, [](std::string& text, unsigned char byte) {
        text += '\xE2';
        text += '\x90';
        text += static_cast<char>(byte == 0x7F ? 0xA1 : 0x80 + byte);
    });
}

std::string LogSafeUrl(std::string_view url)
{
    return withControlsReplaced(url, [](std::string& text, unsigned char byte) {
        static constexpr char kHex[] = "0123456789ABCDEF";
        text += '%';
        text += kHex[byte >> 4];
        text += kHex[byte & 0x0F];
    });
}

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
    text += LogSafeName(block.name);
    text += '\n';
    text += LogSafeUrl(RedactedUrl(block.sourceURL));
    text += '\n';
    text += format("Duration: %s (%4.2f secs)", LogSafeName(block.durationString).c_str(), block.duration);
    text += '\t';
    text += format("Resulation: %d*%d", block.imageSourceWidth, block.imageSourceHeight);
    text += '\n';
    return text;
}

} // namespace zephyrscope
