#pragma once

// The name of an entry's protocol in the statistics (the log's Protocol column):
// core's table for its scheme, made more precise by what the stream turned out
// to be (an adaptive demuxer; RTSP's transport). Private to player/.

#include "StreamCounters.h"

#include <optional>
#include <string>

namespace zephyrscope {

class SourceProtocol {
public:
    // scheme: the entry URI's, in lower case. adaptive: the demuxer that plays
    // it, if any. rtpOverUdp: for RTSP, how its RTP arrives, once known.
    static std::string name(const std::string& scheme, StreamCounters::Adaptive adaptive,
                            std::optional<bool> rtpOverUdp);
    // The name for a scheme alone, before anything is known of the stream.
    static std::string forScheme(const std::string& scheme);
};

} // namespace zephyrscope
