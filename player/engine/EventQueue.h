#pragma once

#include "GLibHandles.h"
#include "MediaInfo.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>

namespace zephyrscope {

class PlayerEventSink;

// Player events waiting for the main loop. Queued from the main-loop thread
// (from inside a call into the player or a bus handler); delivered one per
// dispatch of a source on the default GMainContext, so a sink never sees an
// event from inside a call it made, and a sink that runs a nested loop still
// receives the following events in order.
//
// An open event carries the media it announces: by the time it is delivered the
// player may have moved on to another entry, and the sink must read the one
// that opened.
class EventQueue {
public:
    EventQueue() = default;
    ~EventQueue() = default;
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    void setSink(PlayerEventSink* sink) { m_sink = sink; }

    void playStateChanged(std::int32_t state);
    // media: what was opened, for the open event that announces it.
    void openStateChanged(std::int32_t state, std::optional<MediaInfo> media = std::nullopt);
    void mediaError(const std::string& url, const std::string& reason);
    // Work for the owner, done in turn with the events (whether or not a sink is
    // set), from the main loop: how the engine removes what has ended without
    // destroying it from inside its own handlers.
    void defer(std::function<void()> work);

    // The media of the open event being delivered right now, or nullptr.
    const MediaInfo* deliveringMedia() const { return m_delivering; }

private:
    struct Event {
        enum class Kind { PlayState, OpenState, MediaError, Deferred } kind;
        std::int32_t state = 0;
        std::string url;
        std::string reason;
        std::optional<MediaInfo> media;
        std::function<void()> work;
    };

    void push(Event event);
    void schedule();
    static int dispatchOne(void* self);

    std::deque<Event> m_events;
    PlayerEventSink* m_sink = nullptr;
    gsthandles::SourcePtr m_idle; // while an event waits for its dispatch
    const MediaInfo* m_delivering = nullptr;
};

} // namespace zephyrscope
