#pragma once

#include "PlayerEventSink.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zephyrscope::testing {

// Records the player's events in order, as text: "play 9", "open 13",
// "error <url>: <reason>". A hook runs after each event, for tests that act on one.
class EventRecorder final : public PlayerEventSink {
public:
    void OnPlayStateChange(std::int32_t newState) override;
    void OnOpenStateChange(std::int32_t newState) override;
    void OnMediaError(const std::string& url, const std::string& reason) override;

    // The play states in order, with open state 13 written as "open" and errors as "error".
    std::string sequence() const;
    int count(const std::string& event) const;
    bool has(const std::string& event) const { return count(event) > 0; }
    std::int32_t lastPlayState() const { return m_lastPlayState; }

    std::vector<std::string> events;
    std::vector<std::string> errors; // "<url>|<reason>"
    std::function<void(const std::string&)> onEvent;

private:
    void add(const std::string& event);
    std::int32_t m_lastPlayState = 0;
};

} // namespace zephyrscope::testing
