#pragma once

#include "GstHandles.h"

#include <cstdint>
#include <optional>

namespace zephyrscope {

// Makes the sinks of each entry's pipeline. Video goes to ximagesink in the given
// X11 window when there is a display; otherwise, and always when told to use
// fake sinks only, to a synced fake sink that drops late frames as a real one
// would, so frame counts and timing stay those of real playback. Audio goes to
// the first real device, else (or when told so) to a synced fake sink. Main
// thread only.
class SinkFactory {
public:
    enum class Choice {
        DeviceWhenPresent,
        FakeOnly, // nothing shown or heard, whatever the machine has: for tests and benches
    };
    explicit SinkFactory(Choice choice = Choice::DeviceWhenPresent)
        : m_choice(choice)
    {
    }
    // Takes effect at the next sink made.
    void choose(Choice choice) { m_choice = choice; }

    gsthandles::ElementPtr makeVideoSink(std::uintptr_t window);
    gsthandles::ElementPtr makeAudioSink();
    // For a parsed, undecoded stream: a fake sink synced to the stream's
    // timestamps that never drops a unit, late or not (nothing is shown, so
    // nothing is late to anyone), whatever the machine has.
    gsthandles::ElementPtr makeStreamSink();

private:
    bool audioDeviceAvailable();

    Choice m_choice;

    // Probed once: opening devices is slow and their presence does not change.
    std::optional<bool> m_audioDevice;
};

} // namespace zephyrscope
