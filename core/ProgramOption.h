#pragma once

#include <span>
#include <string>
#include <string_view>

namespace zephyrscope {

// One option of a program's command line, said once: the parser finds it here
// and --help prints it from here; the manual pages and the README are checked
// against that --help by the package tests.
struct ProgramOption {
    // Who takes it off the command line.
    enum class Taker {
        Program,      // the program's parser
        EndOfOptions, // "--": nothing after it is an option
        Qt,           // left in place for QApplication
    };
    // As typed, dashes included: "--ca-file", "--", "-platform".
    std::string_view name;
    // The short form, "-h"; empty: none.
    std::string_view alias;
    // The value's name as --help shows it ("FILE", "stun://HOST:PORT"); empty:
    // the option takes no value.
    std::string_view argument;
    // One paragraph, wrapped when printed.
    std::string_view help;
    // What holds when the option is not given, as --help says it; empty: nothing to say.
    std::string_view defaultValue = {};
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
// "--name<separator>ARGUMENT", then the help with its range and default.
std::string FormatOptionList(std::span<const ProgramOption> options, std::size_t column, char separator);

} // namespace zephyrscope
