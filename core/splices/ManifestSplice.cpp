#include "ManifestSplice.h"

namespace zephyrscope {

namespace {

// A splice_info_section is at most 4096 bytes: text far longer is not one.
constexpr std::size_t kMaxTextChars = 4 * 4096;

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int base64Digit(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+' || c == '-')
        return 62;
    if (c == '/' || c == '_')
        return 63;
    return -1;
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

} // namespace

std::optional<std::vector<std::uint8_t>> ManifestSplice::fromHex(std::string_view text)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    if (text.empty() || text.size() % 2 != 0 || text.size() > kMaxTextChars)
        return std::nullopt;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = hexDigit(text[i]);
        const int low = hexDigit(text[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
    }
    return bytes;
}

std::optional<std::vector<std::uint8_t>> ManifestSplice::fromBase64(std::string_view text)
{
    if (text.size() > kMaxTextChars)
        return std::nullopt;
    std::vector<std::uint8_t> bytes;
    std::uint32_t bits = 0;
    int held = 0;
    bool padded = false;
    for (const char c : text) {
        if (isSpace(c))
            continue;
        if (c == '=') {
            padded = true;
            continue;
        }
        const int digit = base64Digit(c);
        if (digit < 0 || padded) // nothing but padding after padding
            return std::nullopt;
        bits = bits << 6 | static_cast<std::uint32_t>(digit);
        held += 6;
        if (held >= 8) {
            held -= 8;
            bytes.push_back(static_cast<std::uint8_t>(bits >> held));
        }
    }
    // Leftover bits beyond a byte's worth mean a digit too many.
    if (bytes.empty() || held >= 6)
        return std::nullopt;
    return bytes;
}

} // namespace zephyrscope
