#pragma once

#include "PlayerNetwork.h"

#include <memory>

namespace zephyrscope {

class PlayerEngine;

// Streaming statistics of the current entry, handed out by
// CWMPPlayer4::network() for one read. Every value is measured from the engine;
// zeros and an empty protocol while nothing is loaded.
class CWMPNetwork final : public PlayerNetwork {
public:
    explicit CWMPNetwork(std::shared_ptr<PlayerEngine> engine);

    std::int32_t bandWidth() override;
    std::int32_t recoveredPackets() override;
    std::string sourceProtocol() override;
    std::int32_t receivedPackets() override;
    std::int32_t lostPackets() override;
    std::int32_t receptionQuality() override;
    std::int32_t bufferingCount() override;
    std::int32_t bufferingProgress() override;
    std::int32_t bufferingTime() override;
    std::int32_t frameRate() override;
    std::int32_t bitRate() override;
    std::int32_t maxBandwidth() override;
    std::int32_t encodedFrameRate() override;
    std::int32_t framesSkipped() override;

private:
    std::shared_ptr<PlayerEngine> m_engine;
};

} // namespace zephyrscope
