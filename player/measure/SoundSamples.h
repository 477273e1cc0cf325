#pragma once

// One block of interleaved sound as the audio sink got it, in its own format,
// read where it lies: a mapped buffer's memory, valid while it stays mapped.
// Streaming threads only. Private to player/.

#include <cstddef>
#include <cstdint>

namespace zephyrscope {

struct SoundSamples {
    enum class Format { Float32, Float64, Int16, Int32 };

    Format format = Format::Float32;
    const void* data = nullptr;
    std::size_t frames = 0;

    // Calls visit(samples, toFloat) with the samples as their own type; a
    // sample times toFloat is a float share of full scale.
    template <typename Visit>
    void read(Visit&& visit) const
    {
        switch (format) {
        case Format::Float32:
            visit(static_cast<const float*>(data), 1.0f);
            break;
        case Format::Float64:
            visit(static_cast<const double*>(data), 1.0f);
            break;
        case Format::Int16:
            visit(static_cast<const std::int16_t*>(data), 1.0f / 32768.0f);
            break;
        case Format::Int32:
            visit(static_cast<const std::int32_t*>(data), 1.0f / 2147483648.0f);
            break;
        }
    }
};

} // namespace zephyrscope
