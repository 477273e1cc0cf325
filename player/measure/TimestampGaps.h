#pragma once

// Frames missing from a stream that is parsed but not decoded: each access
// unit's decoding time against the one before, in units of the stream's frame
// duration. A unit more than half a frame later than the next one was due
// stands after frames that never came (lost on the way, or dropped by the
// demuxer for a damaged packet). Pure: it is given the times; it never reads a
// clock. Private to player/; one streaming thread feeds it.

#include <cstdint>

namespace zephyrscope {

class TimestampGaps {
public:
    // A jump this long is the stream starting again (a sender restarted, a new
    // segment), not frames lost: nobody loses two seconds of a live stream
    // without the transport stalling first.
    static constexpr std::int64_t kRestartUs = 2000000;

    // One access unit's decoding time (us on the stream's clock; its
    // presentation time where it carries none) and the stream's frame duration
    // (us, 0 when not known). Returns the frames missing right before it.
    std::uint64_t add(std::int64_t timeUs, std::int64_t frameUs);

    std::uint64_t missing() const { return m_missing; }

private:
    std::int64_t m_lastUs = -1;
    std::uint64_t m_missing = 0;
};

} // namespace zephyrscope
