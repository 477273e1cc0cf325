#pragma once

// One HTTP request of the player's own over libsoup, on the default main
// context: a manifest's copy for its splices, a DASH server's clock. The answer
// is hostile input: its body is read up to a bound, and each read, and where
// asked the whole exchange, ends after a time. Destroying the fetch cancels it,
// and no callback follows. Private to player/.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace zephyrscope {

class HttpFetch {
public:
    // Set as object data on the SoupMessages of fetches made `own`, so that the
    // demuxer's request counting leaves them out.
    static constexpr const char* kOwnRequestKey = "zephyrscope-own-request";

    struct Request {
        const char* method = "GET";
        std::string url;
        unsigned readTimeoutS = 5;
        unsigned deadlineS = 0; // the whole exchange; 0: no bound but each read's
        std::size_t maxBodyBytes = 0; // 0: the body is not read
        bool own = false;
    };
    struct Answer {
        std::string error; // why no answer came; empty when one did
        unsigned status = 0;
        std::string reason;
        std::string date; // the Date header; empty when there is none
        std::string body; // maxBodyBytes + 1 bytes when the body is longer than allowed
        std::int64_t sentUs = 0; // real time the request went
        std::int64_t answeredUs = 0; // real time its status and headers came
    };
    using Done = std::function<void(Answer)>;

    // Starts the request; done is called once, from the main loop; or, when the
    // request cannot even be made (no http(s) URL), before this returns, and
    // then nothing is returned.
    static std::unique_ptr<HttpFetch> start(const Request& request, Done done);
    ~HttpFetch();
    HttpFetch(const HttpFetch&) = delete;
    HttpFetch& operator=(const HttpFetch&) = delete;

    bool finished() const;

    struct State;

private:
    explicit HttpFetch(std::shared_ptr<State> state);
    std::shared_ptr<State> m_state;
};

} // namespace zephyrscope
