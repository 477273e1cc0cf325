#include "EventRecorder.h"

#include <algorithm>

namespace zephyrscope::testing {

void EventRecorder::OnPlayStateChange(std::int32_t newState)
{
    m_lastPlayState = newState;
    add("play " + std::to_string(newState));
}

void EventRecorder::OnOpenStateChange(std::int32_t newState)
{
    add("open " + std::to_string(newState));
}

void EventRecorder::OnMediaError(const std::string& url, const std::string& reason)
{
    errors.push_back(url + "|" + reason);
    add("error");
}

void EventRecorder::add(const std::string& event)
{
    events.push_back(event);
    if (onEvent)
        onEvent(event);
}

std::string EventRecorder::sequence() const
{
    std::string text;
    for (const auto& event : events) {
        std::string item;
        if (event.rfind("play ", 0) == 0)
            item = event.substr(5);
        else if (event == "open 13")
            item = "open";
        else if (event == "error")
            item = "error";
        else
            continue;
        text += text.empty() ? item : " " + item;
    }
    return text;
}

int EventRecorder::count(const std::string& event) const
{
    return static_cast<int>(std::count(events.begin(), events.end(), event));
}

} // namespace zephyrscope::testing
