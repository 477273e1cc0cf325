#pragma once

// The HTTP side of a WHEP session (WebRTC-HTTP Egress Protocol): the SDP offer
// POSTed to the endpoint and its answer, then the session's resource DELETEd
// at the end. Blocking calls over libsoup, each on a session of its own, so
// any thread may make them (the WHEP source makes them off the main loop).

#include <string>

typedef struct _GCancellable GCancellable;

namespace zephyrscope {

class WhepExchange {
public:
    struct Answer {
        std::string sdp;
        std::string sessionUrl; // the Location the endpoint gave, made absolute
        std::string error;      // non-empty: the offer was refused or not sent, and why
    };

    // endpoint: the http(s) URL of the WHEP endpoint; token: a bearer token, or empty.
    WhepExchange(std::string endpoint, std::string token);

    Answer offer(const std::string& sdp, GCancellable* cancellable) const;
    // Ends the session; the reason it could not, or empty.
    std::string end(const std::string& sessionUrl) const;

    // "404 Not Found: <the body's first line>", as a refusal is reported.
    static std::string refusal(unsigned status, const std::string& reason, const std::string& body);

private:
    std::string m_endpoint;
    std::string m_token;
};

} // namespace zephyrscope
