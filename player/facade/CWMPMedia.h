#pragma once

#include "MediaInfo.h"
#include "PlayerMedia.h"

namespace zephyrscope {

// The current media, handed out by CWMPPlayer4::currentMedia() for one read:
// what the engine knew of it then; all zeros and empty texts before a clip opened.
class CWMPMedia final : public PlayerMedia {
public:
    explicit CWMPMedia(MediaInfo media) : m_media(std::move(media)) {}

    std::string sourceURL() override { return m_media.sourceURL; }
    std::int32_t imageSourceWidth() override { return m_media.width; }
    std::int32_t imageSourceHeight() override { return m_media.height; }
    double duration() override { return m_media.duration; }
    std::string durationString() override { return formatDuration(m_media.duration); }
    std::string name() override { return m_media.name; }

    // "MM:SS", or "HH:MM:SS" from one hour, of whole seconds rounded to nearest.
    static std::string formatDuration(double seconds);

private:
    const MediaInfo m_media;
};

} // namespace zephyrscope
