#pragma once

#include "GstHandles.h"

#include <cstdint>
#include <optional>

namespace zephyrscope {

// Makes the sinks of each entry's pipeline. Video goes to ximagesink in the given
// X11 window when there is a display; otherwise, and always when
// ZEPHYRSCOPE_FAKE_SINKS is set, to a synced fake sink that drops late frames as a
// real one would, so frame counts and timing stay those of real playback. Audio
// goes to the first real device, else to a synced fake sink. Main thread only.
class SinkFactory {
public:
    gsthandles::ElementPtr makeVideoSink(std::uintptr_t window);
    gsthandles::ElementPtr makeAudioSink();

private:
    bool audioDeviceAvailable();

    // Probed once: opening devices is slow and their presence does not change.
    std::optional<bool> m_audioDevice;
};

} // namespace zephyrscope
