#pragma once

#include <cstdint>

namespace zephyrscope {

// A timer of the run's (the sample timer, the reconnect wait), kept by its
// owner: on each expiry the owner calls the run back, through the method the
// run names for it. A wait that is to expire once is stopped by the run as it
// expires. UI thread only.
class RunTimer {
public:
    virtual ~RunTimer() = default;

    // Starts the timer with the given period, the period counting afresh from
    // now when it runs already.
    virtual void start(std::int32_t periodMs) = 0;
    // Stops the timer; stopping a stopped timer does nothing.
    virtual void stop() = 0;
    virtual bool isActive() const = 0;
};

} // namespace zephyrscope
