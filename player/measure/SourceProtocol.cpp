#include "SourceProtocol.h"

#include "Protocol.h"

#include <algorithm>
#include <cctype>

namespace zephyrscope {

std::string SourceProtocol::name(const std::string& scheme, StreamCounters::Adaptive adaptive,
                                 std::optional<bool> rtpOverUdp)
{
    if (scheme == "rtsp" && rtpOverUdp)
        return *rtpOverUdp ? "RTSPU" : "RTSPT";
    switch (adaptive) {
    case StreamCounters::Adaptive::Hls:
        return "HLS";
    case StreamCounters::Adaptive::Dash:
        return "DASH";
    case StreamCounters::Adaptive::Mss:
        return "MSS";
    case StreamCounters::Adaptive::None:
        break;
    }
    return forScheme(scheme);
}

std::string SourceProtocol::forScheme(const std::string& scheme)
{
    if (const Protocol* protocol = protocolForScheme(scheme))
        return std::string(protocol->column);
    // A scheme the program does not play (it failed to open): its own name.
    std::string name = scheme;
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return name;
}

} // namespace zephyrscope
