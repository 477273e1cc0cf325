#pragma once

#include <string>

namespace zephyrscope {

// What a run asks of the window that shows it. UI thread only.
class RunHost {
public:
    virtual ~RunHost() = default;

    // Shows text to the user (and on stderr) and waits until it is seen; the
    // run may be quit meanwhile (a termination signal).
    virtual void showMessage(const std::string& text) = 0;
    // Runs the auto-shutdown countdown modally; returns 1 (OK) or 2 (Cancel).
    virtual int runAutoShutdown() = 0;
    // The run has ended (its logs are closed): nothing the player reports has
    // anywhere to go any more, and the window ends with whatever is open above it.
    virtual void endRun() = 0;
};

} // namespace zephyrscope
