#pragma once

#include "PlayerMedia.h"

#include <memory>

namespace zephyrscope {

class PlayerEngine;

// The current media, handed out by CWMPPlayer4::currentMedia() for one read.
// Reads the player's live state; all zeros and empty texts before a clip opened.
class CWMPMedia final : public PlayerMedia {
public:
    explicit CWMPMedia(std::shared_ptr<PlayerEngine> engine);

    std::string sourceURL() override;
    std::int32_t imageSourceWidth() override;
    std::int32_t imageSourceHeight() override;
    double duration() override;
    std::string durationString() override;
    std::string name() override;

    // "MM:SS", or "HH:MM:SS" from one hour, of whole seconds rounded to nearest.
    static std::string formatDuration(double seconds);

private:
    std::shared_ptr<PlayerEngine> m_engine;
};

} // namespace zephyrscope
