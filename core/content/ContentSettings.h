#pragma once

#include <cstdint>

namespace zephyrscope {

// The content detectors' defaults, in the whole units their options take
// (--black-level=PERCENT ...): the option table and ContentOptions start from
// these, and so do the settings below.
inline constexpr int kDefaultBlackLevelPercent = 10;
inline constexpr int kDefaultBlackSharePercent = 98;
inline constexpr int kDefaultBlackMinMs = 500;
inline constexpr int kDefaultFreezeNoiseDb = -60;
inline constexpr int kDefaultFreezeMinMs = 500;
inline constexpr int kDefaultSilenceDbfs = -60;
inline constexpr int kDefaultSilenceMinMs = 500;

// What the program's options set for the content detectors: when a picture is
// black, when two pictures are the same, when sound is silent, and how long
// each must last to count. The defaults are the options'.
struct ContentSettings {
    // A pixel is dark below this share of the luma range (black to white).
    double blackLumaRatio = kDefaultBlackLevelPercent / 100.0;
    // A picture is black when at least this share of its pixels is dark.
    double blackPixelShare = kDefaultBlackSharePercent / 100.0;
    // A picture equals the one before when their mean absolute luma difference
    // stays below this level, in dB of the luma range (-60 dB: 0.1 %).
    double freezeNoiseDb = kDefaultFreezeNoiseDb;
    // Sound is silent while its peak stays below this level (dB full scale).
    double silenceDbfs = kDefaultSilenceDbfs;
    // How long each must last to be a stretch.
    std::int64_t blackMinUs = std::int64_t {kDefaultBlackMinMs} * 1000;
    std::int64_t freezeMinUs = std::int64_t {kDefaultFreezeMinMs} * 1000;
    std::int64_t silenceMinUs = std::int64_t {kDefaultSilenceMinMs} * 1000;
};

} // namespace zephyrscope
