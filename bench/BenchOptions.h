#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace zephyrscope::bench {

// The command line of a benchmark: "--name value" pairs, each name declared with
// where its value goes. parse() throws on an unknown name or a name without a
// value, with a message saying which.
class BenchOptions {
public:
    using Handler = std::function<void(const std::string& value)>;

    BenchOptions& on(const std::string& name, Handler handler);
    BenchOptions& path(const std::string& name, std::string& target); // made absolute
    BenchOptions& number(const std::string& name, int& target, int minimum);
    BenchOptions& list(const std::string& name, std::vector<std::string>& target); // comma-separated, empties dropped
    BenchOptions& repeated(const std::string& name, std::vector<std::string>& target); // one item per use

    void parse(int argc, char** argv) const;

    // Items of text between separators, without empty ones.
    static std::vector<std::string> split(const std::string& text, char separator);

private:
    std::map<std::string, Handler> m_handlers;
};

} // namespace zephyrscope::bench
