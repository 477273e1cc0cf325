#include "ProgramOption.h"

#include <algorithm>

namespace zephyrscope {

namespace {

// A terminal's 80 columns, less one so that no line wraps on its own.
constexpr std::size_t kHelpWidth = 79;
constexpr std::size_t kLabelIndent = 2;

// A row's default as --help says it; empty when it has none.
std::string defaultText(const ProgramOption::Default& byDefault)
{
    if (const int* number = std::get_if<int>(&byDefault))
        return std::to_string(*number);
    if (const std::string_view* words = std::get_if<std::string_view>(&byDefault))
        return std::string(*words);
    return {};
}

} // namespace

const ProgramOption* findProgramOption(std::span<const ProgramOption> options, std::string_view name)
{
    for (const ProgramOption& option : options) {
        if (option.taker == ProgramOption::Taker::Program
            && (option.name == name || (!option.alias.empty() && option.alias == name)))
            return &option;
    }
    return nullptr;
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

std::string FormatOptionList(std::span<const ProgramOption> options, std::size_t column, char separator)
{
    std::string out;
    for (const ProgramOption& option : options) {
        std::string label;
        if (!option.alias.empty())
            label = std::string(option.alias) + ", ";
        label += option.name;
        if (!option.argument.empty())
            label += (option.taker == ProgramOption::Taker::Qt ? ' ' : separator) + std::string(option.argument);
        std::string help(option.help);
        std::string notes;
        if (option.min != option.max)
            notes = std::string(option.argument) + ": " + std::to_string(option.min) + " to " + std::to_string(option.max);
        if (const std::string byDefault = defaultText(option.byDefault); !byDefault.empty())
            notes += (notes.empty() ? "" : "; ") + std::string("default: ") + byDefault;
        if (!notes.empty())
            help += " (" + notes + ")";
        out += FormatHelpItem(label, column, help);
    }
    return out;
}

} // namespace zephyrscope
