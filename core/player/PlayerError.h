#pragma once

#include <stdexcept>
#include <string>

namespace zephyrscope {

// Raised by a player read or command that cannot be carried out. It ends the
// handler that made the call; whatever the handler obtained is released on the way out.
class PlayerError : public std::runtime_error {
public:
    explicit PlayerError(const std::string& what)
        : std::runtime_error(what)
    {
    }
};

} // namespace zephyrscope
