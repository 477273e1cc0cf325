#pragma once

#include "LogSink.h"

#include <string>
#include <vector>

namespace zephyrscope::testing {

// A log that keeps each append as one entry.
class MemoryLog final : public LogSink {
public:
    void append(std::string_view text) override { appends.emplace_back(text); }

    std::string contents() const
    {
        std::string all;
        for (const auto& a : appends)
            all += a;
        return all;
    }

    std::vector<std::string> appends;
};

} // namespace zephyrscope::testing
