#pragma once

#include "Clock.h"

#include <cstdint>
#include <optional>
#include <string>

namespace zephyrscope {

// One gap in a monitored channel's play: from the moment nothing more was to be
// played (the entry ended or failed) until an entry plays again.
struct Outage {
    std::string reason;            // why the entry before it ended: the failure, or "ended"
    std::int64_t startedWallMs = 0; // ms since 1970 UTC
    std::int64_t durationMs = 0;    // on the process clock, so a wall-clock step cannot bend it
};

// Whether a monitored channel is up, and its outages: how many and how long.
// The channel is up from its entry's first Playing until that entry ends or
// fails; a stall within an entry is not an outage (the stall figures count it).
// Before the first entry plays the channel is neither up nor in an outage.
//
// Pure logic on the caller's clock; UI thread only.
class OutageTracker {
public:
    explicit OutageTracker(Clock& clock);

    // An entry plays. Returns the outage this ends, if one was open.
    std::optional<Outage> playing();
    // Nothing is playing any more, for reason. Returns the outage it opens, or
    // nothing when one is open already (the first reason stays).
    std::optional<Outage> down(const std::string& reason);

    bool up() const { return m_up; }
    bool inOutage() const { return m_open.has_value(); }
    // Outages begun, the open one included.
    std::uint64_t outages() const { return m_outages; }
    // Time spent in outages, the open one up to now (reads the clock).
    std::int64_t outageMs();
    // The open outage up to now (reads the clock); nothing when there is none.
    std::optional<Outage> openOutage();

private:
    Clock& m_clock;
    bool m_up = false;
    std::uint64_t m_outages = 0;
    std::int64_t m_closedMs = 0;
    std::optional<Outage> m_open;
    ProcessClockMs m_openSince = 0;
};

} // namespace zephyrscope
