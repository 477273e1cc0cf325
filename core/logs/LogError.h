#pragma once

#include <stdexcept>
#include <string>

namespace zephyrscope {

// A statistics log that cannot be created or written. what() names the path and the reason.
class LogError : public std::runtime_error {
public:
    explicit LogError(const std::string& what)
        : std::runtime_error(what)
    {
    }
};

} // namespace zephyrscope
