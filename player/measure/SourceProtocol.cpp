#include "SourceProtocol.h"

#include "WhepSource.h"

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
    if (scheme == "file")
        return "File";
    if (scheme == "http")
        return "HTTP";
    if (scheme == "https")
        return "HTTPS";
    if (scheme == "rtspt")
        return "RTSPT";
    if (scheme == "rtsp" || scheme == "rtspu")
        return "RTSPU";
    if (scheme == "rtsps")
        return "RTSPT";
    if (scheme == "rtmp" || scheme == "rtmps")
        return "RTMP";
    if (scheme == "srt")
        return "SRT";
    if (scheme == "udp")
        return "UDP";
    if (scheme == "rtp")
        return "RTP";
    if (WhepSource::handles(scheme))
        return "WebRTC";
    std::string name = scheme;
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return name;
}

} // namespace zephyrscope
