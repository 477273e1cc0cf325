#pragma once

// The streams webrtcbin receives, wired out of a WHEP source: each is counted
// as RTP, depayloaded and exposed as an encoded elementary stream, all of them
// together once every stream the answer announced has come.

#include <cstdint>

namespace zephyrscope {

struct WhepState;

class WhepStreams {
public:
    // After the first stream came, the others are waited for this long at most.
    static constexpr std::int64_t kExposeWaitUs = 2000000;

    // Wires every stream webrtcbin adds from now on.
    static void connect(WhepState& state);
    // Adds the streams' pads, once; any thread.
    static void expose(WhepState& state);
};

} // namespace zephyrscope
