#pragma once

// The offset of a live DASH server's clock from ours, asked once at the URL of
// its MPD's UTCTiming (http-xsdate, http-iso, http-head) over libsoup, on the
// default main context. The answer is hostile input: its body is read up to
// kMaxBodyBytes, and the whole exchange ends after kTimeoutS. Destroying the
// fetch cancels it, and no callback follows. Private to player/.

#include "HttpFetch.h"
#include "UtcTiming.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace zephyrscope {

class UtcTimingFetch {
public:
    static constexpr unsigned kTimeoutS = 5;
    static constexpr std::size_t kMaxBodyBytes = 256;

    struct Result {
        std::optional<std::int64_t> offsetUs; // the server's clock less ours
        std::string error;                    // why there is no offset
    };
    using Done = std::function<void(Result)>;

    // Starts asking timing.value. done is called once, from the main loop; or,
    // when the request cannot even be made (not an http(s) URL), before this
    // returns, and then nothing is returned.
    static std::unique_ptr<HttpFetch> start(const UtcTiming& timing, Done done);

    // The offset an answer to a request of `scheme` says.
    static Result offsetOf(UtcTiming::Scheme scheme, const HttpFetch::Answer& answer);
};

} // namespace zephyrscope
