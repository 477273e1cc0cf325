#pragma once

#include <cstdint>

namespace zephyrscope {

// What the program's options set for the content detectors: when a picture is
// black, when two pictures are the same, when sound is silent, and how long
// each must last to count. The defaults are the options'.
struct ContentSettings {
    // A pixel is dark below this share of the luma range (black to white).
    double blackLumaRatio = 0.10;
    // A picture is black when at least this share of its pixels is dark.
    double blackPixelShare = 0.98;
    // A picture equals the one before when their mean absolute luma difference
    // stays below this level, in dB of the luma range (-60 dB: 0.1 %).
    double freezeNoiseDb = -60.0;
    // Sound is silent while its peak stays below this level (dB full scale).
    double silenceDbfs = -60.0;
    // How long each must last to be a stretch.
    std::int64_t blackMinUs = 500000;
    std::int64_t freezeMinUs = 500000;
    std::int64_t silenceMinUs = 500000;
};

} // namespace zephyrscope
