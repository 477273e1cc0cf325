#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace zephyrscope {

struct ProgramOptions;

// One option of a program's command line, said once: the parser finds it here
// and writes its value through the row's field, and --help prints it, its
// range and its default from here; the manual pages and the README are checked
// against that --help by the package tests.
struct ProgramOption {
    // Who takes it off the command line.
    enum class Taker {
        Program,      // the program's parser
        EndOfOptions, // "--": nothing after it is an option
        Qt,           // left in place for QApplication
    };
    // Where the program's parser puts the value, and so how it reads it. The
    // report's rows have none: its parser is its own.
    // A flag: true when given; it takes no value.
    using Flag = bool& (*)(ProgramOptions&);
    // A whole number from min to max.
    using Number = int& (*)(ProgramOptions&);
    // Any text but an empty one (a file name, a token); where `schemes` names
    // some ("turn://", "turns://"), a URL of one of them.
    struct Text {
        std::string& (*field)(ProgramOptions&);
        std::span<const std::string_view> schemes = {};
    };
    // A value with a grammar of its own: the function stores it and returns
    // what is wrong with it, said in one line; empty when nothing is.
    using Parsed = std::string (*)(ProgramOptions&, const ProgramOption&, const std::optional<std::string>& value);
    using Field = std::variant<std::monostate, Flag, Number, Text, Parsed>;
    // What holds when the option is not given: a number's own value, or words
    // where no number says it ("the host's own addresses only").
    using Default = std::variant<std::monostate, int, std::string_view>;

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

// The row named `name` ("--help") or aliased so ("-h") that the program's own
// parser takes; nullptr for any other.
const ProgramOption* findProgramOption(std::span<const ProgramOption> options, std::string_view name);

// "  LABEL     text..." with the text word-wrapped to 79 columns and every
// line after the first indented to `column`; when LABEL reaches `column` the
// text starts on the next line. Each line ends in a line feed.
std::string FormatHelpItem(std::string_view label, std::size_t column, std::string_view text);

// The rows as --help lists them, one item each: "-h, --help" or
// "--name<separator>ARGUMENT", then the help with "(ARGUMENT: MIN to MAX;
// default: DEFAULT)" made from the row's range and default.
std::string FormatOptionList(std::span<const ProgramOption> options, std::size_t column, char separator);

} // namespace zephyrscope
