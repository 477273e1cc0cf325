#include "BroadcastProtocols.h"

#include "BroadcastPackets.h"
#include "BroadcastSource.h"
#include "FactoryName.h"
#include "RistPacketCounts.h"
#include "RtpJitterBuffers.h"
#include "StreamCounters.h"
#include "UdpBatchSource.h"

#include <gst/gst.h>

namespace zephyrscope {

namespace {

constexpr ProtocolId kUdp[] = {ProtocolId::Udp};
constexpr ProtocolId kRtp[] = {ProtocolId::Rtp};
constexpr std::string_view kRtpFactories[] = {"rtpsrc"};
// rtpsrc receives over UDP alone, through an rtpbin's jitter buffers.
constexpr std::string_view kRtpUdpReceivers[] = {"udpsrc"};
constexpr RtpJitterBuffers::Children kRtpChildren {.jitterBuffer = "rtpjitterbuffer", .udpReceivers = kRtpUdpReceivers};
constexpr ProtocolId kRist[] = {ProtocolId::Rist};
constexpr std::string_view kRistFactories[] = {"ristsrc"};

void setUpSource(GstElement* source, const std::shared_ptr<StreamCounters>&)
{
    BroadcastSource::setUp(source);
}

// Raw UDP: one buffer is one datagram, stamped by the kernel as it came
// (SO_TIMESTAMPNS, which the source turns into the buffer's running time), and
// nothing but the continuity counters tells what went missing; the gaps in their
// arrival say more, and the PCRs' arrival is the stream's jitter.
void setUpUdpSource(GstElement* source, const std::shared_ptr<StreamCounters>& counters)
{
    counters->transportStream().timeDatagrams();
    // The player's own source stamps each datagram so; a udpsrc asked for by
    // name is asked to, and to make no sender's address, which nothing reads,
    // into an object and a meta on each buffer.
    if (factoryName(source) == "udpsrc") {
        gst_util_set_object_arg(G_OBJECT(source), "socket-timestamp", "realtime");
        g_object_set(source, "retrieve-sender-address", FALSE, nullptr);
    }
    setUpSource(source, counters);
}

void setUpRistSource(GstElement* source, const std::shared_ptr<StreamCounters>& counters)
{
    RistPacketCounts::watch(source);
    setUpSource(source, counters);
}

std::unique_ptr<SourceMeasurement> jitterBuffers()
{
    return std::make_unique<RtpJitterBuffers>(kRtpChildren);
}

std::string openingProblem(GstElement*, const std::string& uri, const StreamCounters& counters, unsigned)
{
    if (counters.bytes() > 0)
        return {};
    return "timed out while opening: " + BroadcastSource::silenceReason(uri);
}

} // namespace

const PlayerProtocol& udpProtocol()
{
    static const PlayerProtocol protocol {
        .protocols = kUdp,
        .sourceFactories = UdpBatchSource::kUdpFactories,
        .ownParsedPipeline = true,
        .registerElements = UdpBatchSource::registerElement,
        .setUpSource = setUpUdpSource,
        .measurement = measurementOf<BroadcastPackets>,
        .openingProblem = openingProblem,
    };
    return protocol;
}

const PlayerProtocol& rtpProtocol()
{
    static const PlayerProtocol protocol {
        .protocols = kRtp,
        .sourceFactories = kRtpFactories,
        .sourceAddsPads = true,
        .ownParsedPipeline = true,
        .setUpSource = setUpSource,
        .measurement = jitterBuffers,
        .openingProblem = openingProblem,
    };
    return protocol;
}

const PlayerProtocol& ristProtocol()
{
    static const PlayerProtocol protocol {
        .protocols = kRist,
        .sourceFactories = kRistFactories,
        .ownParsedPipeline = true,
        .setUpSource = setUpRistSource,
        .measurement = measurementOf<BroadcastPackets>,
        .openingProblem = openingProblem,
    };
    return protocol;
}

} // namespace zephyrscope
