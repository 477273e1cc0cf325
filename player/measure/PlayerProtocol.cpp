#include "PlayerProtocol.h"

namespace zephyrscope {

const PlayerProtocol* protocolOfSource(std::span<const PlayerProtocol* const> protocols, std::string_view factory)
{
    for (const PlayerProtocol* protocol : protocols)
        for (std::string_view name : protocol->sourceFactories)
            if (name == factory)
                return protocol;
    return nullptr;
}

} // namespace zephyrscope
