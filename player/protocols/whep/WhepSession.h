#pragma once

// The signalling of a WHEP source: webrtcbin's offer POSTed to the endpoint with
// every ICE candidate in it (no trickle), the answer given back to webrtcbin,
// then the connection watched until the element stops; the session DELETEd at
// the end. Its own worker thread, so the element's state changes never wait on
// the network.

#include <string>

namespace zephyrscope {

struct WhepState;

class WhepSession {
public:
    // Follows webrtcbin's ICE states from now on.
    static void connect(WhepState& state);
    // Adds the receiving transceivers, once, before the first negotiation.
    static void addTransceivers(WhepState& state);
    // Starts the worker; stop() ends it (and any request it waits on).
    static void start(WhepState& state);
    static void stop(WhepState& state);
    // Ends the session at the endpoint, once; said on stderr when it cannot be.
    static void end(WhepState& state);
    // Why the session has not opened yet, as a user needs it, after waiting
    // waitedS seconds; empty when ICE is connected (the media is what is late).
    static std::string openingProblem(WhepState& state, unsigned waitedS);
};

} // namespace zephyrscope
