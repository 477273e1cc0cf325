#pragma once

#include "NetworkFigures.h"
#include "PlayerNetwork.h"
#include "Protocol.h"

namespace zephyrscope {

// Streaming statistics of the current entry, handed out by
// CWMPPlayer4::network() for one read: the engine's figures as they stood then,
// all measured; zeros and an empty protocol while nothing is loaded.
class CWMPNetwork final : public PlayerNetwork {
public:
    explicit CWMPNetwork(const NetworkFigures& figures) : m_f(figures) {}

    std::int32_t bandWidth() override { return m_f.bandWidth; }
    std::int32_t recoveredPackets() override { return m_f.recoveredPackets; }
    std::string sourceProtocol() override { return std::string(columnOf(m_f.protocol)); }
    std::int32_t receivedPackets() override { return m_f.receivedPackets; }
    std::int32_t lostPackets() override { return m_f.lostPackets; }
    std::int32_t receptionQuality() override { return m_f.receptionQuality; }
    std::int32_t bufferingCount() override { return m_f.bufferingCount; }
    std::int32_t bufferingProgress() override { return m_f.bufferingProgress; }
    std::int32_t bufferingTime() override { return m_f.bufferingTime; }
    std::int32_t frameRate() override { return m_f.frameRate; }
    std::int32_t bitRate() override { return m_f.bitRate; }
    std::int32_t maxBandwidth() override { return m_f.maxBandwidth; }
    std::int32_t encodedFrameRate() override { return m_f.encodedFrameRate; }
    std::int32_t framesSkipped() override { return m_f.framesSkipped; }

private:
    const NetworkFigures m_f;
};

} // namespace zephyrscope
