#include "CWMPMedia.h"

#include "PlayerEngine.h"

#include <cmath>
#include <cstdio>

namespace zephyrscope {

CWMPMedia::CWMPMedia(std::shared_ptr<PlayerEngine> engine)
    : m_engine(std::move(engine))
{
}

std::string CWMPMedia::sourceURL()
{
    return m_engine->media().sourceURL;
}

std::int32_t CWMPMedia::imageSourceWidth()
{
    return m_engine->media().width;
}

std::int32_t CWMPMedia::imageSourceHeight()
{
    return m_engine->media().height;
}

double CWMPMedia::duration()
{
    return m_engine->media().duration;
}

std::string CWMPMedia::durationString()
{
    return formatDuration(m_engine->media().duration);
}

std::string CWMPMedia::name()
{
    return m_engine->media().name;
}

std::string CWMPMedia::formatDuration(double seconds)
{
    const long total = seconds > 0.0 ? std::lround(seconds) : 0;
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    else
        std::snprintf(text, sizeof text, "%02ld:%02ld", total / 60, total % 60);
    return text;
}

} // namespace zephyrscope
