#include "RtspProtocol.h"

#include "FactoryName.h"
#include "RtpJitterBuffers.h"
#include "UdpBatchSource.h"

#include <gst/gst.h>

namespace zephyrscope {

namespace {

// A silent RTSP server over TCP counts as gone after this.
constexpr guint64 kRtspTcpTimeoutUs = 10000000;

constexpr ProtocolId kProtocols[] = {ProtocolId::RtspUdp, ProtocolId::RtspTcp};
constexpr std::string_view kFactories[] = {"rtspsrc"};
// rtspsrc makes UDP sources only for a UDP transport, from udp:// URIs.
constexpr RtpJitterBuffers::Children kChildren {.jitterBuffer = "rtpjitterbuffer",
                                                .udpReceivers = UdpBatchSource::kUdpFactories};

// A udpsrc child would make a socket address object for every datagram, for a
// sender rtspsrc already knows from its session: at a 1080p50 stream's 500-odd
// packets a second, a cost no figure needs.
void onSourceChildAdded(GstBin*, GstElement* element, gpointer)
{
    if (factoryName(element) == "udpsrc")
        g_object_set(element, "retrieve-sender-address", FALSE, nullptr);
}

void setUpSource(GstElement* source, const std::shared_ptr<StreamCounters>&)
{
    g_object_set(source, "tcp-timeout", kRtspTcpTimeoutUs, nullptr);
    // The live latency's wall clock: rtspsrc has its jitter buffers stamp each
    // buffer with the sender's NTP time (PresentationTimes reads it), once RTCP
    // sender reports have tied it to RTP time.
    g_object_set(source, "add-reference-timestamp-meta", TRUE, nullptr);
    g_signal_connect(source, "element-added", G_CALLBACK(onSourceChildAdded), nullptr);
}

std::unique_ptr<SourceMeasurement> measurement()
{
    return std::make_unique<RtpJitterBuffers>(kChildren);
}

} // namespace

const PlayerProtocol& rtspProtocol()
{
    static const PlayerProtocol protocol {
        .protocols = kProtocols,
        .sourceFactories = kFactories,
        .sourceAddsPads = true,
        .ownParsedPipeline = true,
        .setUpSource = setUpSource,
        .measurement = measurement,
    };
    return protocol;
}

} // namespace zephyrscope
