#pragma once

// What a message on a pipeline's bus says, as plain values, for the entry
// playback to act on. Private to player/. Any thread; the messages are only read.

#include <gst/gst.h>

#include <cstdint>
#include <optional>
#include <string>

namespace zephyrscope {

class BusMessages {
public:
    struct Error {
        std::string reason;
        bool vague = false; // the source did not say why (a bare flow error, or could not open)
    };
    // An error's reason as the program reports it; the details go to stderr.
    // nothingReceived: the source delivered no data, which a flow error then says.
    static Error error(GstMessage* message, bool nothingReceived);
    // Whether a source's error leaves out the system's reason: a bare flow error
    // (souphttpsrc with libsoup 3 on a refused port, an unknown host or a refused
    // certificate), or rtspsrc's "Could not open resource". Such a failure of a
    // source ConnectionProbe::appliesTo is worth a connection probe. Upstream: see ConnectionProbe.h.
    static bool vague(const GError* error);

    // A warning that the source can read no more (its server stopped answering), with its reason.
    static std::optional<std::string> sourceLost(GstMessage* message);

    // Frames an element has dropped so far, from a QoS message of a video element.
    struct Dropped {
        std::string element; // its path
        std::uint64_t frames = 0;
    };
    static std::optional<Dropped> framesDropped(GstMessage* message);

    struct Tags {
        std::string title;        // empty when the tags have none
        std::uint32_t bitrate = 0; // bits per second, 0 when the tags have none
        std::string element;      // the path of the element that posted them
    };
    static Tags tags(GstMessage* message);

    // Whether the streams playbin3 selected include video.
    static bool videoSelected(GstMessage* message);

    // An adaptive demuxer's "adaptive-streaming-statistics": a manifest downloaded,
    // or (hlsdemux2) a switch to a variant of the given declared bit rate.
    struct AdaptiveStatistics {
        std::string manifestUri;
        bool manifestDownloaded = false;
        std::int64_t bitrate = 0; // bit/s; 0 when the message is not a switch
    };
    static std::optional<AdaptiveStatistics> adaptiveStatistics(GstMessage* message);

    // The description of the plugin a missing-plugin message asks for; empty for other messages.
    static std::string missingPlugin(GstMessage* message);
};

} // namespace zephyrscope
