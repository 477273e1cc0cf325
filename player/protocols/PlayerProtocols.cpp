#include "PlayerProtocols.h"

#include "AdaptiveProtocol.h"
#include "BroadcastProtocols.h"
#include "HttpProtocol.h"
#include "Protocol.h"
#include "RtspProtocol.h"
#include "SrtProtocol.h"
#include "WhepProtocol.h"

#include <array>

namespace zephyrscope {

std::span<const PlayerProtocol* const> playerProtocols()
{
    static const std::array all {
        &httpProtocol(), &adaptiveProtocol(), &rtspProtocol(), &srtProtocol(),
        &udpProtocol(),  &rtpProtocol(),      &ristProtocol(), &whepProtocol(),
    };
    return all;
}

void registerPlayerProtocolElements()
{
    for (const PlayerProtocol* protocol : playerProtocols())
        if (protocol->registerElements)
            protocol->registerElements();
}

const PlayerProtocol* playerProtocolForScheme(std::string_view scheme)
{
    const Protocol* row = protocolForScheme(scheme);
    if (!row)
        return nullptr;
    for (const PlayerProtocol* protocol : playerProtocols())
        for (ProtocolId id : protocol->protocols)
            if (id == row->id)
                return protocol;
    return nullptr;
}

} // namespace zephyrscope
