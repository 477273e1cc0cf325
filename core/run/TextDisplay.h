#pragma once

#include <string>

namespace zephyrscope {

// A one-line text shown to the user, such as the FPS box.
class TextDisplay {
public:
    virtual ~TextDisplay() = default;
    virtual void setText(const std::string& text) = 0;
};

} // namespace zephyrscope
