#include "Protocol.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

namespace zephyrscope {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

// name, tls, defaultPort, overTcp. RTSP's sources take 554 for every one of
// its schemes, rtsps too; RTMP's take 443 for rtmps.
constexpr Scheme kFile[] = {{"file"}};
constexpr Scheme kHttp[] = {{"http", false, 80}};
constexpr Scheme kHttps[] = {{"https", true, 443}};
// Plain rtsp:// lets the client choose; it tries UDP first, and the column
// says RTSPT once the session fell back to (or asked for) TCP.
constexpr Scheme kRtspUdp[] = {{"rtsp", false, 554, ProtocolId::RtspTcp}, {"rtspu", false, 554}};
constexpr Scheme kRtspTcp[] = {{"rtspt", false, 554}, {"rtsps", true, 554}};
constexpr Scheme kRtmp[] = {{"rtmp", false, 1935}, {"rtmps", true, 443}};
constexpr Scheme kSrt[] = {{"srt"}};
constexpr Scheme kUdp[] = {{"udp"}};
constexpr Scheme kRtp[] = {{"rtp"}};
constexpr Scheme kRist[] = {{"rist"}};
constexpr Scheme kWhep[] = {{"whep+http", false, 80}, {"whep+https", true, 443}};

using enum ProtocolId;

// id, column, schemes, live, adaptive, local, wallClock, connectionProbe; in the order of ProtocolId.
const std::array kProtocols {
    Protocol {File, "File", kFile, false, false, true, false, false},
    Protocol {Http, "HTTP", kHttp, false, false, false, false, true},
    Protocol {Https, "HTTPS", kHttps, false, false, false, false, true},
    Protocol {Hls, "HLS", {}, false, true, false, true, false},
    Protocol {Dash, "DASH", {}, false, true, false, true, false},
    Protocol {Mss, "MSS", {}, false, true, false, false, false},
    Protocol {RtspUdp, "RTSPU", kRtspUdp, true, false, false, true, true},
    Protocol {RtspTcp, "RTSPT", kRtspTcp, true, false, false, true, true},
    Protocol {Rtmp, "RTMP", kRtmp, true, false, false, false, false},
    Protocol {Srt, "SRT", kSrt, true, false, false, false, false},
    Protocol {Udp, "UDP", kUdp, true, false, false, false, false},
    Protocol {Rtp, "RTP", kRtp, true, false, false, false, false},
    Protocol {Rist, "RIST", kRist, true, false, false, false, false},
    Protocol {WebRtc, "WebRTC", kWhep, true, false, false, false, false},
};

// A scheme's protocol and its row; nulls for a scheme the program does not play.
std::pair<const Protocol*, const Scheme*> findScheme(std::string_view scheme)
{
    for (const Protocol& p : kProtocols)
        for (const Scheme& s : p.schemes)
            if (equalsIgnoringCase(s.name, scheme))
                return {&p, &s};
    return {};
}

} // namespace

std::span<const Protocol> allProtocols()
{
    return kProtocols;
}

const Protocol& protocolRow(ProtocolId id)
{
    return kProtocols.at(static_cast<std::size_t>(id));
}

const Protocol* protocolForScheme(std::string_view scheme)
{
    return findScheme(scheme).first;
}

const Scheme* schemeNamed(std::string_view scheme)
{
    return findScheme(scheme).second;
}

const Protocol* protocolForColumn(std::string_view column)
{
    for (const Protocol& p : kProtocols)
        if (equalsIgnoringCase(p.column, column))
            return &p;
    return nullptr;
}

const Protocol* protocolNamed(std::string_view column)
{
    if (column.empty())
        return nullptr;
    if (const Protocol* row = protocolForColumn(column))
        return row;
    // Rows of names outside the table: deques, so a row never moves once handed out.
    static std::mutex mutex;
    static std::deque<std::string> names;
    static std::deque<Protocol> others;
    const std::lock_guard lock(mutex);
    for (const Protocol& p : others)
        if (p.column == column)
            return &p;
    if (others.size() >= kMaxOtherProtocols)
        return nullptr;
    const std::string& name = names.emplace_back(column);
    Protocol& row = others.emplace_back();
    row.column = name;
    return &row;
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

bool isHttpScheme(std::string_view scheme)
{
    const Protocol* p = protocolForScheme(scheme);
    return p && (p->id == Http || p->id == Https);
}

} // namespace zephyrscope
