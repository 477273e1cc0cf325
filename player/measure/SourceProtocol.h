#pragma once

// An entry's protocol in the statistics (the log's Protocol column): core's
// table for its scheme, made more precise by what the stream turned out to be
// (an adaptive demuxer; RTSP's transport). Private to player/.

#include <optional>
#include <string>

namespace zephyrscope {

struct Protocol;

class SourceProtocol {
public:
    // scheme: the entry URI's, in lower case. adaptive: the protocol of the
    // demuxer that plays it, if any. rtpOverUdp: how its RTP arrives, once
    // known, for a scheme whose client chooses (core's Scheme::overTcp).
    static const Protocol* of(const std::string& scheme, const Protocol* adaptive, std::optional<bool> rtpOverUdp);
    // The protocol of a scheme alone, before anything is known of the stream;
    // for a scheme the program does not play, a row named after it in upper case.
    static const Protocol* forScheme(const std::string& scheme);
};

} // namespace zephyrscope
