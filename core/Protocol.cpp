#include "Protocol.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace zephyrscope {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

constexpr std::string_view kFile[] = {"file"};
constexpr std::string_view kHttp[] = {"http"};
constexpr std::string_view kHttps[] = {"https"};
// Plain rtsp:// lets the client choose; it tries UDP first, and the column
// says RTSPT once the session fell back to (or asked for) TCP.
constexpr std::string_view kRtspUdp[] = {"rtsp", "rtspu"};
constexpr std::string_view kRtspTcp[] = {"rtspt", "rtsps"};
constexpr std::string_view kRtmp[] = {"rtmp", "rtmps"};
constexpr std::string_view kSrt[] = {"srt"};
constexpr std::string_view kUdp[] = {"udp"};
constexpr std::string_view kRtp[] = {"rtp"};
constexpr std::string_view kRist[] = {"rist"};
constexpr std::string_view kWhep[] = {"whep+http", "whep+https"};

// column, schemes, live, adaptive, local, wallClock, connectionProbe
const std::array kProtocols {
    Protocol {"File", kFile, false, false, true, false, false},
    Protocol {"HTTP", kHttp, false, false, false, false, true},
    Protocol {"HTTPS", kHttps, false, false, false, false, true},
    Protocol {"HLS", {}, false, true, false, true, false},
    Protocol {"DASH", {}, false, true, false, true, false},
    Protocol {"MSS", {}, false, true, false, false, false},
    Protocol {"RTSPU", kRtspUdp, true, false, false, true, true},
    Protocol {"RTSPT", kRtspTcp, true, false, false, true, true},
    Protocol {"RTMP", kRtmp, true, false, false, false, false},
    Protocol {"SRT", kSrt, true, false, false, false, false},
    Protocol {"UDP", kUdp, true, false, false, false, false},
    Protocol {"RTP", kRtp, true, false, false, false, false},
    Protocol {"RIST", kRist, true, false, false, false, false},
    Protocol {"WebRTC", kWhep, true, false, false, false, false},
};

} // namespace

std::span<const Protocol> allProtocols()
{
    return kProtocols;
}

const Protocol* protocolForScheme(std::string_view scheme)
{
    for (const Protocol& p : kProtocols)
        for (std::string_view s : p.schemes)
            if (equalsIgnoringCase(s, scheme))
                return &p;
    return nullptr;
}

const Protocol* protocolForColumn(std::string_view column)
{
    for (const Protocol& p : kProtocols)
        if (p.column == column)
            return &p;
    return nullptr;
}

bool isAdaptiveColumn(std::string_view column)
{
    const Protocol* p = protocolForColumn(column);
    return p && p->adaptive;
}

bool isLocalScheme(std::string_view scheme)
{
    const Protocol* p = protocolForScheme(scheme);
    return p && p->local;
}

} // namespace zephyrscope
