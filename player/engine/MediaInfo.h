#pragma once

#include <cstdint>
#include <string>

namespace zephyrscope {

// What the player knows of the entry it has opened.
struct MediaInfo {
    std::string name;
    std::string sourceURL;
    double duration = 0.0; // seconds
    std::int32_t width = 0;
    std::int32_t height = 0;
};

} // namespace zephyrscope
