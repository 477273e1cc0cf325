#pragma once

#include "SpliceCommand.h"

#include <cstdint>
#include <optional>

namespace zephyrscope {

// Whether an ad break is on, from the splice commands heard: a command out of
// the network starts one when its splice point comes; it lasts its duration,
// or until a command back into the network with the same event id takes
// effect. A break without a duration lasts until such a command. Pure: the
// caller gives the wall-clock time (ms since 1970 UTC).
class AdBreakTracker {
public:
    void heard(const SpliceCommand& command, std::int64_t nowMs);
    bool on(std::int64_t nowMs) const;

private:
    bool m_out = false;
    std::uint32_t m_eventId = 0;
    std::int64_t m_startMs = 0;
    std::optional<std::int64_t> m_endMs; // from the duration or the command back in
};

} // namespace zephyrscope
