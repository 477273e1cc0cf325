#pragma once

#include <cstdint>
#include <deque>
#include <string>

typedef struct _GSource GSource;

namespace zephyrscope {

class PlayerEventSink;

// Player events waiting for the main loop. Queued from the main-loop thread
// (from inside a call into the player or a bus handler); delivered one per
// dispatch of an idle source on the default GMainContext, so a sink never sees
// an event from inside a call it made, and a sink that runs a nested loop still
// receives the following events in order.
class EventQueue {
public:
    EventQueue();
    ~EventQueue();
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    void setSink(PlayerEventSink* sink) { m_sink = sink; }

    void playStateChanged(std::int32_t state);
    void openStateChanged(std::int32_t state);
    void mediaError(const std::string& url, const std::string& reason);

private:
    struct Event {
        enum class Kind { PlayState, OpenState, MediaError } kind;
        std::int32_t state = 0;
        std::string url;
        std::string reason;
    };

    void push(Event event);
    void schedule();
    static int dispatchOne(void* self);

    std::deque<Event> m_events;
    PlayerEventSink* m_sink = nullptr;
    GSource* m_idle = nullptr;
};

} // namespace zephyrscope
