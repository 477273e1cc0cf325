#include "EventQueue.h"

#include "PlayerEventSink.h"

#include <glib.h>

#include <exception>
#include <iostream>

namespace zephyrscope {

void EventQueue::playStateChanged(std::int32_t state)
{
    push({Event::Kind::PlayState, state, {}, {}, std::nullopt, {}});
}

void EventQueue::openStateChanged(std::int32_t state, std::optional<MediaInfo> media)
{
    push({Event::Kind::OpenState, state, {}, {}, std::move(media), {}});
}

void EventQueue::mediaError(const std::string& url, const std::string& reason)
{
    push({Event::Kind::MediaError, 0, url, reason, std::nullopt, {}});
}

void EventQueue::defer(std::function<void()> work)
{
    push({Event::Kind::Deferred, 0, {}, {}, std::nullopt, std::move(work)});
}

void EventQueue::push(Event event)
{
    m_events.push_back(std::move(event));
    schedule();
}

void EventQueue::schedule()
{
    if (m_idle || m_events.empty())
        return;
    GSource* idle = g_idle_source_new();
    // At the priority of timers and I/O, so a busy loop cannot hold events back
    // while the player moves on.
    g_source_set_priority(idle, G_PRIORITY_DEFAULT);
    m_idle = gsthandles::attach(idle, &EventQueue::dispatchOne, this);
}

int EventQueue::dispatchOne(void* self)
{
    auto* queue = static_cast<EventQueue*>(self);
    // Its one dispatch is this one; GLib keeps it alive until the call returns.
    queue->m_idle.reset();
    if (queue->m_events.empty())
        return G_SOURCE_REMOVE;
    Event event = std::move(queue->m_events.front());
    queue->m_events.pop_front();
    // Scheduled before delivery so that a sink running a nested loop still gets the rest.
    queue->schedule();
    if (event.kind == Event::Kind::Deferred) {
        try {
            event.work();
        } catch (const std::exception& e) {
            std::cerr << "Cannot finish player entry: " << e.what() << '\n';
        }
        return G_SOURCE_REMOVE;
    }
    PlayerEventSink* sink = queue->m_sink;
    if (!sink)
        return G_SOURCE_REMOVE;
    // Restored on the way out, also when a nested loop delivers further events.
    const MediaInfo* const outer = queue->m_delivering;
    queue->m_delivering = event.media ? &*event.media : nullptr;
    // No exception may unwind through GLib's dispatcher.
    try {
        switch (event.kind) {
        case Event::Kind::PlayState:
            sink->OnPlayStateChange(event.state);
            break;
        case Event::Kind::OpenState:
            sink->OnOpenStateChange(event.state);
            break;
        case Event::Kind::MediaError:
            sink->OnMediaError(event.url, event.reason);
            break;
        case Event::Kind::Deferred:
            break;
        }
    } catch (const std::exception& e) {
        std::cerr << "Cannot deliver player event: " << e.what() << '\n';
    } catch (...) {
        std::cerr << "Cannot deliver player event: unknown error\n";
    }
    queue->m_delivering = outer;
    return G_SOURCE_REMOVE;
}

} // namespace zephyrscope
