#pragma once

#include <string>

namespace zephyrscope {

// What the program's options give an entry's source, whatever its protocol:
// each protocol's set-up takes what concerns it. Copied into every pipeline.
struct SourceSettings {
    // The certificate authorities (a PEM file) HTTPS fetches trust; empty: the system's.
    std::string caFile;
    // WebRTC (WHEP): the endpoint's bearer token, and the ICE servers.
    std::string bearerToken;
    std::string stunServer; // stun://host:port, or empty
    std::string turnServer; // turn(s)://user:password@host:port, or empty
};

} // namespace zephyrscope
