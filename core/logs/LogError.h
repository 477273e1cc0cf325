#pragma once

#include <stdexcept>

namespace zephyrscope {

// A statistics log that cannot be created or written. what() names the path and the reason.
class LogError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace zephyrscope
