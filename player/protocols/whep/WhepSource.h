#pragma once

// A source element for WHEP endpoints, so playbin3 plays them like any URL:
// "whep+http://host/path" and "whep+https://host/path" name the endpoint
// "http(s)://host/path". WHEP endpoints are plain http(s) URLs, so they need
// a marker of their own; a scheme prefix keeps the rest of the URL exactly as a
// server's documentation gives it ('+' is allowed in a scheme, as in
// svn+ssh:// or git+https://, which name one protocol carried over another).
//
// Inside: webrtcbin receiving (recvonly) one video (H.264 or VP8) and one
// audio (Opus) stream, bundled, with NACK/RTX offered. WhepSession does the
// offer and answer (POSTed once every ICE candidate is in it, no trickle) and
// watches the connection; WhepStreams depayloads each stream that arrives and
// exposes it as an encoded elementary stream. The session is DELETEd whenever
// the element leaves PAUSED, however the entry ended. Errors go to the bus: a
// refused offer, a failed ICE connection, media that stops. The entry's open
// timeout bounds the rest; openingProblem() says then what was missing.

#include <string>

typedef struct _GstElement GstElement;

namespace zephyrscope {

class WhepSource {
public:
    static constexpr const char* kFactoryName = "zephyrscopewhepsrc";
    // URI schemes (lower case) and what they stand for.
    static constexpr const char* kHttpScheme = "whep+http";
    static constexpr const char* kHttpsScheme = "whep+https";

    // Makes the element known to GStreamer in this process (once; any thread).
    static void registerElement();
    static bool handles(const std::string& scheme) { return scheme == kHttpScheme || scheme == kHttpsScheme; }
    // "whep+https://h/p" -> "https://h/p"; empty for a URI of another scheme.
    static std::string endpointOf(const std::string& uri);
    // The webrtcbin inside a WHEP source (a new reference), or nullptr for any other element.
    static GstElement* webrtcOf(GstElement* source);
    // Whether the endpoint's answer sends a video stream: its picture then comes,
    // though playbin3 may have announced the audio alone first.
    static bool videoAnswered(GstElement* source);
    // Why a WHEP source has not opened after waitedS seconds, e.g. "Cannot
    // connect to WHEP endpoint '...': no ICE connection in 30 s"; empty for any
    // other element, and when ICE is connected.
    static std::string openingProblem(GstElement* source, unsigned waitedS);

    // What a WHEP source is given (the program's options).
    struct Settings {
        std::string bearerToken;
        std::string stunServer; // stun://host:port, or empty
        std::string turnServer; // turn(s)://user:password@host:port, or empty
        // Media that stops for this long, once it flowed, ends the session.
        unsigned silenceTimeoutS = 4;
    };
    // Makes source, while it is still in NULL (playbin3's source-setup), use
    // settings; nothing for any other element.
    static void configure(GstElement* source, const Settings& settings);
};

} // namespace zephyrscope
