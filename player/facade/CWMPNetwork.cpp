#include "CWMPNetwork.h"

#include "PlayerEngine.h"

namespace zephyrscope {

CWMPNetwork::CWMPNetwork(std::shared_ptr<PlayerEngine> engine)
    : m_engine(std::move(engine))
{
}

std::string CWMPNetwork::sourceProtocol()
{
    return m_engine->network().sourceProtocol;
}

std::int32_t CWMPNetwork::bandWidth()
{
    return m_engine->network().bandWidth;
}

std::int32_t CWMPNetwork::recoveredPackets()
{
    return m_engine->network().recoveredPackets;
}

std::int32_t CWMPNetwork::receivedPackets()
{
    return m_engine->network().receivedPackets;
}

std::int32_t CWMPNetwork::lostPackets()
{
    return m_engine->network().lostPackets;
}

std::int32_t CWMPNetwork::receptionQuality()
{
    return m_engine->network().receptionQuality;
}

std::int32_t CWMPNetwork::bufferingCount()
{
    return m_engine->network().bufferingCount;
}

std::int32_t CWMPNetwork::bufferingProgress()
{
    return m_engine->network().bufferingProgress;
}

std::int32_t CWMPNetwork::bufferingTime()
{
    return m_engine->network().bufferingTime;
}

std::int32_t CWMPNetwork::frameRate()
{
    return m_engine->network().frameRate;
}

std::int32_t CWMPNetwork::bitRate()
{
    return m_engine->network().bitRate;
}

std::int32_t CWMPNetwork::maxBandwidth()
{
    return m_engine->network().maxBandwidth;
}

std::int32_t CWMPNetwork::encodedFrameRate()
{
    return m_engine->network().encodedFrameRate;
}

std::int32_t CWMPNetwork::framesSkipped()
{
    return m_engine->network().framesSkipped;
}

NetworkFigures CWMPNetwork::figures()
{
    return m_engine->network();
}

} // namespace zephyrscope
