#pragma once

#include <optional>

namespace zephyrscope {

// What one session's score is made of (docs/QOE.md): whether its picture came,
// how long that took, its stalls, and the picture against the stream's best.
struct QoeInputs {
    bool started = false;        // a first picture was shown
    double startupSeconds = 0.0; // Video Start Time
    int stalls = 0;              // Rebuffering Count
    double stallSeconds = 0.0;   // Rebuffering Duration
    // The mean over the time played of the pixels shown and of the bit rate,
    // each over the stream's top variant (1: all of it at the top).
    double resolutionRatio = 1.0;
    double bitRateRatio = 1.0;
    // The stretches of damaged picture (shown concealed after a loss) and their time.
    int damageStretches = 0;
    double damagedSeconds = 0.0;
};

struct QoeScore {
    double score = 0.0;     // 0..100
    double stallMos = 5.0;  // 1..5, the stall model
    double startMos = 5.0;  // 1..5, the initial-delay model
    double damageMos = 5.0; // 1..5, the stall model over the damaged stretches
    double quality = 1.0;   // 0..1, picture against the top variant
};

// The exponential stall model of Hossfeld et al. (count and mean length), once
// for the stalls and once for the stretches of damaged picture, the logarithmic
// initial-delay curve, and the picture's share of the top variant, multiplied: each on 0..1, the product times 100. A session whose picture
// never came scores 0.
QoeScore ScoreSession(const QoeInputs& inputs);

// The score's model constants, as docs/QOE.md gives them.
namespace qoe {
inline constexpr double kStallAmplitude = 3.50;   // MOS = a * exp(-(b*L + c) * N) + d
inline constexpr double kStallPerSecond = 0.15;   // b, per second of mean stall length L
inline constexpr double kStallPerEvent = 0.19;    // c
inline constexpr double kStallFloor = 1.50;       // d
inline constexpr double kStartSlope = 0.5;        // MOS = 5 - k * ln(1 + T)
inline constexpr double kQualityPerHalving = 0.2; // lost for each halving of pixels or bits
} // namespace qoe

} // namespace zephyrscope
