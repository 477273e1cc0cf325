#pragma once

#include <stdexcept>

namespace zephyrscope {

// Raised by a player read or command that cannot be carried out. It ends the
// handler that made the call; whatever the handler obtained is released on the way out.
class PlayerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace zephyrscope
