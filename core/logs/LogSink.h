#pragma once

#include <string_view>

namespace zephyrscope {

// Where sample lines and media blocks go. Each append is one complete text;
// an append that cannot be completed throws LogError and leaves nothing of the text behind.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void append(std::string_view text) = 0;
};

} // namespace zephyrscope
