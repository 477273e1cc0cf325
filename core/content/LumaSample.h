#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace zephyrscope {

// What a picture's subsampled luma says: how much of it is dark, how bright it
// is, and how far it moved from the picture before. Levels are shares of the
// luma range (0: black, 1: white).
struct PictureSummary {
    double darkShare = 0.0;
    double meanLevel = 0.0;
    // Mean absolute difference from the previous picture's samples; none for
    // the first picture, or after its size changed.
    std::optional<double> difference;
};

// Sums up pictures from their luma samples (every few pixels of every few rows,
// 8-bit), keeping the last picture's samples to compare the next with. Pure;
// one per video stream.
class LumaSample {
public:
    // blackCode, whiteCode: the luma codes of black and white (16 and 235 in
    // the limited range, 0 and 255 in the full); darkRatio: a sample is dark
    // below this share of the range.
    PictureSummary summarize(std::span<const std::uint8_t> samples, int blackCode, int whiteCode, double darkRatio);
    // Forget the last picture (a new stream, a seek).
    void reset() { m_previous.clear(); }

private:
    std::vector<std::uint8_t> m_previous;
};

} // namespace zephyrscope
