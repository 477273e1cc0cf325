#pragma once

// The sinks the engine-alone baselines play into: the same fake sinks the
// program plays into in its headless runs (synced to the clock, the video sink
// dropping what comes later than 20 ms, as a display sink does), so the engine
// and the program do the same work per frame.

namespace zephyrscope::bench {

inline constexpr const char* kEngineVideoSink
    = "fakesink sync=true qos=true max-lateness=20000000 enable-last-sample=false";
inline constexpr const char* kEngineAudioSink = "fakesink sync=true enable-last-sample=false";

} // namespace zephyrscope::bench
