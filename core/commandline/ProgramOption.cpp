#include "ProgramOption.h"

#include <charconv>

namespace zephyrscope {

namespace {

// A terminal's 80 columns, less one so that no line wraps on its own.
constexpr std::size_t kHelpWidth = 79;
constexpr std::size_t kLabelIndent = 2;

} // namespace

std::string DefaultText(const OptionDefault& byDefault)
{
    if (const int* number = std::get_if<int>(&byDefault))
        return std::to_string(*number);
    if (const std::string_view* words = std::get_if<std::string_view>(&byDefault))
        return std::string(*words);
    return {};
}

std::string FormatHelpItem(std::string_view label, std::size_t column, std::string_view text)
{
    std::string out(kLabelIndent, ' ');
    out += label;
    // The label needs a space after it before the text's column.
    if (out.size() + 1 > column) {
        out += '\n';
        out.append(column, ' ');
    } else {
        out.append(column - out.size(), ' ');
    }
    std::size_t lineStart = out.rfind('\n') == std::string::npos ? 0 : out.rfind('\n') + 1;
    bool firstWord = true;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find(' ', at), text.size());
        const std::string_view word = text.substr(at, end - at);
        at = end + 1;
        if (word.empty())
            continue;
        if (!firstWord && out.size() - lineStart + 1 + word.size() > kHelpWidth) {
            out += '\n';
            lineStart = out.size();
            out.append(column, ' ');
        } else if (!firstWord) {
            out += ' ';
        }
        out += word;
        firstWord = false;
    }
    return out + '\n';
}

std::string NotGiven(const std::optional<std::string>& value)
{
    return value ? ", not '" + *value + "'" : std::string();
}

std::optional<int> ParseWholeNumber(std::string_view text)
{
    int number = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, number);
    if (text.empty() || error != std::errc() || stop != end)
        return std::nullopt;
    return number;
}

} // namespace zephyrscope
