#pragma once

#include "MediaBlock.h"
#include "PlayState.h"
#include "SampleLine.h"

#include <string>

namespace zephyrscope::testing {

// Writes statistics logs with the program's own formatting, one sample per
// 500 ms of wall-clock time unless told otherwise.
class LogBuilder {
public:
    LogBuilder() { m_text = kLogHeader; }

    // Adds `count` samples in `state`; `shape` may adjust each sample before it is written.
    template <typename Shape>
    LogBuilder& samples(int count, std::int32_t state, Shape shape)
    {
        for (int i = 0; i < count; ++i) {
            SampleLine s = next;
            s.utcTime = {m_ms / 1000, static_cast<std::int32_t>(m_ms % 1000)};
            s.stateName = PlayStateName(state);
            shape(s, i);
            std::string line;
            FormatSampleLine(s, line);
            m_text += line;
            m_ms += stepMs;
        }
        return *this;
    }
    LogBuilder& samples(int count, std::int32_t state)
    {
        return samples(count, state, [](SampleLine&, int) {});
    }
    LogBuilder& media(const std::string& name, const std::string& url, double seconds, int width, int height)
    {
        MediaBlock b;
        b.name = name;
        b.sourceURL = url;
        b.duration = seconds;
        b.durationString = "00:0" + std::to_string(static_cast<int>(seconds) % 10);
        b.imageSourceWidth = width;
        b.imageSourceHeight = height;
        m_text += FormatMediaBlock(b);
        return *this;
    }
    LogBuilder& raw(const std::string& text)
    {
        m_text += text;
        return *this;
    }
    // Leaves sampling off for a while, as Stop followed by Play does.
    LogBuilder& pause(std::int64_t ms)
    {
        m_ms += ms;
        return *this;
    }

    const std::string& text() const { return m_text; }

    // Values every following sample starts from.
    SampleLine next;
    std::int64_t stepMs = 500;

private:
    std::string m_text;
    std::int64_t m_ms = 1765080000000;
};

} // namespace zephyrscope::testing
