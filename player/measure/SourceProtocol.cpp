#include "SourceProtocol.h"

#include "Protocol.h"

#include <algorithm>
#include <cctype>

namespace zephyrscope {

const Protocol* SourceProtocol::of(const std::string& scheme, const Protocol* adaptive, std::optional<bool> rtpOverUdp)
{
    // A scheme that lets the client choose its transport: the column says which it took.
    if (const Scheme* row = schemeNamed(scheme); row && row->overTcp != ProtocolId::Other && rtpOverUdp)
        return *rtpOverUdp ? protocolForScheme(scheme) : &protocolRow(row->overTcp);
    return adaptive ? adaptive : forScheme(scheme);
}

const Protocol* SourceProtocol::forScheme(const std::string& scheme)
{
    if (const Protocol* protocol = protocolForScheme(scheme))
        return protocol;
    // A scheme the program does not play (it failed to open): its own name.
    std::string name = scheme;
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return protocolNamed(name);
}

} // namespace zephyrscope
