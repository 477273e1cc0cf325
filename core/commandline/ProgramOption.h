#pragma once

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zephyrscope {

// Who takes an option off the command line.
enum class OptionTaker {
    Program,      // the program's parser
    EndOfOptions, // "--": nothing after it is an option
    Qt,           // left in place for QApplication
};

// What holds when an option is not given: a number's own value, or words
// where no number says it ("the host's own addresses only").
using OptionDefault = std::variant<std::monostate, int, std::string_view>;

// One option of a program's command line, said once: the parser finds it here
// and writes its value through the row's field of `Options`, the struct the
// program's options are parsed into, and --help prints it, its range and its
// default from here; the manual pages and the README are checked against that
// --help by the package tests.
template <class Options>
struct OptionRow {
    using Taker = OptionTaker;
    // Where the parser puts the value, and so how it reads it.
    // A flag: true when given; it takes no value.
    using Flag = bool& (*)(Options&);
    // A whole number from min to max.
    using Number = int& (*)(Options&);
    // Any text but an empty one (a file name, a token); where `schemes` names
    // some ("turn://", "turns://"), a URL of one of them. `needs`, where given,
    // says what an empty one lacks ("the name of a file to write").
    struct Text {
        std::string& (*field)(Options&);
        std::span<const std::string_view> schemes = {};
        std::string_view needs = {};
    };
    // A value with a grammar of its own: the function stores it and returns
    // what is wrong with it, said in one line; empty when nothing is.
    using Parsed = std::string (*)(Options&, const OptionRow&, const std::optional<std::string>& value);
    using Field = std::variant<std::monostate, Flag, Number, Text, Parsed>;
    using Default = OptionDefault;

    // As typed, dashes included: "--ca-file", "--", "-platform".
    std::string_view name;
    // The short form, "-h"; empty: none.
    std::string_view alias;
    // The value's name as --help shows it ("FILE", "stun://HOST:PORT"); empty:
    // the option takes no value.
    std::string_view argument;
    // One paragraph, wrapped when printed.
    std::string_view help;
    Field field = {};
    Default byDefault = {};
    // A number's range, inclusive; min == max: no range.
    int min = 0;
    int max = 0;
    Taker taker = Taker::Program;
};

// A row's way into its options: the member at the end of `path`
// (&ProgramOptions::content, &ContentOptions::blackMinMs).
template <class Member>
struct ClassOf;
template <class Class, class Type>
struct ClassOf<Type Class::*> {
    using type = Class;
};
template <auto first, auto... path>
auto& field(typename ClassOf<decltype(first)>::type& options)
{
    return ((options.*first) .* ... .* path);
}

// The row named `name` ("--help") or aliased so ("-h") that the program's own
// parser takes; nullptr for any other.
template <class Rows>
auto findProgramOption(const Rows& options, std::string_view name) -> decltype(&*std::begin(options))
{
    for (const auto& option : options) {
        if (option.taker == OptionTaker::Program
            && (option.name == name || (!option.alias.empty() && option.alias == name)))
            return &option;
    }
    return nullptr;
}

// "  LABEL     text..." with the text word-wrapped to 79 columns and every
// line after the first indented to `column`; when LABEL reaches `column` the
// text starts on the next line. Each line ends in a line feed.
std::string FormatHelpItem(std::string_view label, std::size_t column, std::string_view text);

// A row's default as --help says it; empty when it has none.
std::string DefaultText(const OptionDefault& byDefault);

// The rows as --help lists them, one item each: "-h, --help" or
// "--name<separator>ARGUMENT", then the help with "(ARGUMENT: MIN to MAX;
// default: DEFAULT)" made from the row's range and default.
template <class Rows>
std::string FormatOptionList(const Rows& options, std::size_t column, char separator)
{
    std::string out;
    for (const auto& option : options) {
        std::string label;
        if (!option.alias.empty())
            label = std::string(option.alias) + ", ";
        label += option.name;
        if (!option.argument.empty())
            label += (option.taker == OptionTaker::Qt ? ' ' : separator) + std::string(option.argument);
        std::string help(option.help);
        std::string notes;
        if (option.min != option.max)
            notes = std::string(option.argument) + ": " + std::to_string(option.min) + " to " + std::to_string(option.max);
        if (const std::string byDefault = DefaultText(option.byDefault); !byDefault.empty())
            notes += (notes.empty() ? "" : "; ") + std::string("default: ") + byDefault;
        if (!notes.empty())
            help += " (" + notes + ")";
        out += FormatHelpItem(label, column, help);
    }
    return out;
}

// ", not 'VALUE'" when a value was given, for the end of an error.
std::string NotGiven(const std::optional<std::string>& value);

// A whole number as typed ("-60", "500"): digits after an optional minus, and
// small enough for an int; nullopt for anything else ("", "2.5", "3s", "+5").
std::optional<int> ParseWholeNumber(std::string_view text);

// Takes one value into the field its row names; returns the usage error, or
// an empty text when the value is good.
template <class Options>
struct ValueTaker {
    using Row = OptionRow<Options>;
    Options& options;
    const Row& row;
    const std::optional<std::string>& value;

    std::string option() const { return "option '" + std::string(row.name) + "'"; }

    std::string operator()(std::monostate) const { return option() + " is not the program's own"; }
    std::string operator()(typename Row::Flag flag) const
    {
        if (value)
            return option() + " takes no value";
        flag(options) = true;
        return {};
    }
    std::string operator()(typename Row::Number number) const
    {
        const std::optional<int> given = value ? ParseWholeNumber(*value) : std::nullopt;
        if (!given || *given < row.min || *given > row.max)
            return option() + " takes " + std::string(row.argument) + " from " + std::to_string(row.min) + " to "
                + std::to_string(row.max) + NotGiven(value);
        number(options) = *given;
        return {};
    }
    std::string operator()(const typename Row::Text& text) const
    {
        if (!text.needs.empty() && (!value || value->empty()))
            return !value ? option() + " needs a value" : std::string(row.name) + " needs " + std::string(text.needs);
        // "--ca-file=FILE" needs a file name, "--stun-server=URL" a value.
        if (!value || value->empty())
            return option() + " needs " + (row.argument == "FILE" ? "a file name" : "a value") + " ("
                + std::string(row.name) + "=" + std::string(text.schemes.empty() ? row.argument : "URL") + ")";
        const auto starts = [this](std::string_view scheme) { return value->starts_with(scheme); };
        if (!text.schemes.empty() && std::ranges::none_of(text.schemes, starts))
            return option() + " takes " + std::string(row.argument) + NotGiven(value);
        text.field(options) = *value;
        return {};
    }
    std::string operator()(typename Row::Parsed parse) const { return parse(options, row, value); }
};

// Takes argv[1...] into `options` by `rows`: "--name=VALUE" or "--name VALUE"
// for a row with a value, a row's short form on its own, and "--" ending
// them. Every other argument goes to operand(options, argument, afterDashes)
// in its order. Returns the first usage error, said in one line (the
// operand's own included); empty when there is none.
template <class Options, class Operand>
std::string ParseOptions(std::span<const OptionRow<Options>> rows, const std::vector<std::string>& argv,
                         Options& options, Operand operand)
{
    bool optionsEnded = false;
    for (std::size_t i = 1; i < argv.size(); ++i) {
        const std::string& argument = argv[i];
        std::string error;
        if (optionsEnded) {
            error = operand(options, argument, true);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument.size() > 2 && argument.starts_with("--")) {
            const std::size_t equals = argument.find('=');
            const std::string name = argument.substr(0, equals);
            const OptionRow<Options>* row = findProgramOption(rows, name);
            if (!row)
                return "unknown option '" + name + "'";
            std::optional<std::string> value;
            if (equals != std::string::npos)
                value = argument.substr(equals + 1);
            else if (!row->argument.empty() && i + 1 < argv.size())
                // "--metrics ADDR:PORT" as well as "--metrics=ADDR:PORT"; the same for every valued option.
                value = argv[++i];
            error = std::visit(ValueTaker<Options> {options, *row, value}, row->field);
        } else if (const OptionRow<Options>* row = findProgramOption(rows, argument); row && row->alias == argument) {
            error = std::visit(ValueTaker<Options> {options, *row, std::nullopt}, row->field);
        } else {
            error = operand(options, argument, false);
        }
        if (!error.empty())
            return error;
    }
    return {};
}

} // namespace zephyrscope
