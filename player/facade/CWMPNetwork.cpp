#include "CWMPNetwork.h"

#include "PlayerEngine.h"
#include "Protocol.h"

namespace zephyrscope {

CWMPNetwork::CWMPNetwork(std::shared_ptr<PlayerEngine> engine)
    : m_engine(std::move(engine))
{
}

std::string CWMPNetwork::sourceProtocol()
{
    return std::string(columnOf(m_engine->figures().protocol));
}

std::int32_t CWMPNetwork::bandWidth()
{
    return m_engine->figures().bandWidth;
}

std::int32_t CWMPNetwork::recoveredPackets()
{
    return m_engine->figures().recoveredPackets;
}

std::int32_t CWMPNetwork::receivedPackets()
{
    return m_engine->figures().receivedPackets;
}

std::int32_t CWMPNetwork::lostPackets()
{
    return m_engine->figures().lostPackets;
}

std::int32_t CWMPNetwork::receptionQuality()
{
    return m_engine->figures().receptionQuality;
}

std::int32_t CWMPNetwork::bufferingCount()
{
    return m_engine->figures().bufferingCount;
}

std::int32_t CWMPNetwork::bufferingProgress()
{
    return m_engine->figures().bufferingProgress;
}

std::int32_t CWMPNetwork::bufferingTime()
{
    return m_engine->figures().bufferingTime;
}

std::int32_t CWMPNetwork::frameRate()
{
    return m_engine->figures().frameRate;
}

std::int32_t CWMPNetwork::bitRate()
{
    return m_engine->figures().bitRate;
}

std::int32_t CWMPNetwork::maxBandwidth()
{
    return m_engine->figures().maxBandwidth;
}

std::int32_t CWMPNetwork::encodedFrameRate()
{
    return m_engine->figures().encodedFrameRate;
}

std::int32_t CWMPNetwork::framesSkipped()
{
    return m_engine->figures().framesSkipped;
}

} // namespace zephyrscope
