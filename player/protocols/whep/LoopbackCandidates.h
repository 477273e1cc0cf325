#pragma once

// Loopback ICE candidates for a WHEP endpoint on this host. libnice (0.1.21)
// leaves loopback addresses out of its host candidates whenever another
// interface is up, so a server bound to 127.0.0.1 (a lab, a sidecar), whose
// answer offers only its 127.0.0.1 candidate, could never be reached; and where
// loopback is the only interface (a network namespace) it gathers nothing and
// never completes. Naming the local addresses ends libnice's own discovery, so
// every address it would have found is named too, the loopback ones last.

#include <string>

typedef struct _GCancellable GCancellable;
typedef struct _GstElement GstElement;

namespace zephyrscope {

class LoopbackCandidates {
public:
    // Whether the endpoint URL's host is a loopback address (127.0.0.0/8, ::1),
    // or a name that resolves to one ("localhost"). May block on the resolver:
    // the negotiation worker's thread.
    static bool isLoopbackEndpoint(const std::string& endpoint, GCancellable* cancellable);
    // Names every address of the interfaces that are up, loopback included, to
    // webrtcbin's ICE agent; before its first gathering. The number named;
    // 0 when the agent cannot take them (said on stderr).
    static int addTo(GstElement* webrtc);
};

} // namespace zephyrscope
