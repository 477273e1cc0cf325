#include "WhepProtocol.h"

#include "WebRtcStatistics.h"
#include "WhepSource.h"

namespace zephyrscope {

namespace {

constexpr ProtocolId kProtocols[] = {ProtocolId::WebRtc};
constexpr std::string_view kFactories[] = {WhepSource::kFactoryName};

std::string openingProblem(GstElement* source, const std::string&, const StreamCounters&, unsigned waitedS)
{
    return WhepSource::openingProblem(source, waitedS);
}

void configureSource(GstElement* source, const SourceSettings& settings)
{
    WhepSource::Settings whep;
    whep.bearerToken = settings.bearerToken;
    whep.stunServer = settings.stunServer;
    whep.turnServer = settings.turnServer;
    WhepSource::configure(source, whep);
}

} // namespace

const PlayerProtocol& whepProtocol()
{
    static const PlayerProtocol protocol {
        .protocols = kProtocols,
        .sourceFactories = kFactories,
        .sourceAddsPads = true,
        .registerElements = WhepSource::registerElement,
        .configureSource = configureSource,
        .measurement = measurementOf<WebRtcStatistics>,
        .openingProblem = openingProblem,
        .pictureToCome = WhepSource::videoAnswered,
    };
    return protocol;
}

} // namespace zephyrscope
