#pragma once

// What the WHEP source reads and mends in the SDP it exchanges.

#include <gst/sdp/sdp.h>

namespace zephyrscope {

class WhepSdp {
public:
    // webrtcbin (1.22) offers retransmission for the first codec of a stream
    // only: a sender that picks VP8 over H.264 could then repair nothing. Each
    // video codec offered with NACK gets its own rtx payload type here.
    // Upstream fix: 36c983ccd5 "webrtcbin: ensure RTX entry for all formats" (1.28.0; 1.26.1).
    static void offerRetransmissionForEveryCodec(GstSDPMessage* sdp);
    // The answer's streams that will send: m-lines with a port, of the kind
    // asked for ("video"), or of any kind (nullptr).
    static int sendingStreams(const GstSDPMessage* sdp, const char* kind = nullptr);
    // The ICE candidates in a description, over all its m-lines.
    static int candidates(const GstSDPMessage* sdp);
};

} // namespace zephyrscope
