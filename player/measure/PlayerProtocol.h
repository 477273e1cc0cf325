#pragma once

// The player's side of a protocol: which source elements playbin3 makes for
// it, how they are set up, and how its packets are counted. core's Protocol row
// says what a protocol is (its column, schemes, live, local...); this says how
// the player plays and measures it. Each room of player/protocols/ gives one
// descriptor, and the probes and statistics here call its hooks; they name no
// protocol's elements themselves: what a shared measurement looks for (as
// RtpJitterBuffers' children) its room hands it. Private to player/.

#include "NetworkFigures.h"
#include "Protocol.h"
#include "SourceSettings.h"
#include "StreamCounters.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

typedef struct _GstElement GstElement;

namespace zephyrscope {

// One poll's packet counts as the protocol's transport counts them.
struct SourcePackets {
    std::uint64_t received = 0, lost = 0, recovered = 0;
    // What came off the network as the transport counts it (headers and
    // retransmissions included), when it counts; else the counted pads' bytes stand.
    std::optional<std::uint64_t> networkBytes;
};

// One entry's measurements of its protocol, made when its source first shows.
// Thread: the main loop's.
class SourceMeasurement {
public:
    virtual ~SourceMeasurement() = default;
    // One sample. source: the entry's source element; playing: the entry plays.
    // nullopt when the source has nothing to count yet: the buffers count then.
    virtual std::optional<SourcePackets> poll(const StreamCounters& counters, GstElement* source, bool playing) = 0;
    // The figures only this protocol has.
    virtual void fill(NetworkFigures& figures) const = 0;
    // The bit rate the sender declares (bit/s); 0 when it declares none.
    virtual std::int64_t senderBitRate() const { return 0; }
    // Whether RTP arrives over UDP (true) or TCP (false); unknown before data flows.
    virtual std::optional<bool> rtpOverUdp() const { return std::nullopt; }
};

struct PlayerProtocol {
    // core's rows this plays (core/protocols/Protocol.h).
    std::span<const ProtocolId> protocols;
    // The factories of the source elements playbin3 makes for it; none for a
    // protocol found inside the pipeline (the adaptive demuxers).
    std::span<const std::string_view> sourceFactories {};
    // A bin whose source pads come as its streams are found (count them as they come).
    bool sourceAddsPads = false;
    // Its streams come from its source alone, in one multiplex (an MPEG-TS
    // on its own transport) or each on a source pad of its own (RTSP's
    // sessions): a transport-only entry may then go from the source to the
    // parsers and the sinks without playbin3's queues, linking each stream as
    // it comes. Not for WebRTC, whose streams join one at a time.
    bool ownParsedPipeline = false;
    // Once per process, before any pipeline: the elements and type finders
    // of its own it makes known to GStreamer.
    void (*registerElements)() = nullptr;
    // The program's settings for a source of this protocol, at playbin3's
    // source-setup while the source is still in NULL.
    void (*configureSource)(GstElement* source, const SourceSettings& settings) = nullptr;
    // playbin3's source-setup, on whichever thread makes the source: bounds
    // its waits, watches what only it can say.
    void (*setUpSource)(GstElement* source, const std::shared_ptr<StreamCounters>& counters) = nullptr;
    // playbin3's element-setup, for each element of its bins: true when the
    // element is this protocol's and now watched.
    bool (*setUpElement)(GstElement* element, const std::shared_ptr<StreamCounters>& counters) = nullptr;
    // The entry's measurements of this protocol; none when the buffers count.
    std::unique_ptr<SourceMeasurement> (*measurement)() = nullptr;
    // Why the entry did not open in waitedS seconds, said better than "timed
    // out while opening"; empty when there is nothing better to say.
    std::string (*openingProblem)(GstElement* source, const std::string& uri, const StreamCounters& counters,
                                  unsigned waitedS) = nullptr;
    // Whether a picture is still to come though the streams announced none yet.
    bool (*pictureToCome)(GstElement* source) = nullptr;
};

// A descriptor's `measurement` for a measurement made with no arguments.
template <typename Measurement>
std::unique_ptr<SourceMeasurement> measurementOf()
{
    return std::make_unique<Measurement>();
}

// The descriptor whose sources come from factory; nullptr for none.
const PlayerProtocol* protocolOfSource(std::span<const PlayerProtocol* const> protocols, std::string_view factory);

} // namespace zephyrscope
