#pragma once

#include <cstdint>
#include <optional>

namespace zephyrscope {

// What the viewer got: a stretch of black or frozen picture, or of silence; or
// of pictures the decoder had to repair (Damage: shown marked corrupted).
enum class ContentKind { Black, Freeze, Silence, Damage };

// One stretch as the player found it at its sinks. Wall-clock times are ms
// since 1970 UTC of the pictures or sound shown; media times are the running
// times the sinks play by (us), from which the wall-clock times are taken.
struct ContentStretch {
    ContentKind kind = ContentKind::Black;
    std::int64_t startWallMs = 0;
    // How long it had lasted when it was found (the minimum, to a frame or block).
    std::int64_t foundAfterMs = 0;
    // When it ended; none while it lasts.
    std::optional<std::int64_t> endWallMs;
    std::int64_t startMediaUs = 0, endMediaUs = 0;
};

} // namespace zephyrscope
