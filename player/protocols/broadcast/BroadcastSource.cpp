#include "BroadcastSource.h"

#include "FactoryName.h"
#include "GstHandles.h"
#include "GstStructureFields.h"
#include "RistPacketCounts.h"
#include "StreamCounters.h"
#include "UdpBatchSource.h"

#include <gst/gst.h>

#include <algorithm>
#include <iterator>

namespace zephyrscope {

using namespace gsthandles;

namespace {

constexpr const char* kInterfaceParameter = "multicast-iface";

// The value of one query parameter of uri; nullopt when absent.
std::optional<std::string> queryParameter(const std::string& uri, const char* name)
{
    GUri* parsed = g_uri_parse(uri.c_str(), G_URI_FLAGS_ENCODED_QUERY, nullptr);
    if (!parsed)
        return std::nullopt;
    std::optional<std::string> value;
    if (const char* query = g_uri_get_query(parsed)) {
        if (GHashTable* parameters = g_uri_parse_params(query, -1, "&", G_URI_PARAMS_NONE, nullptr)) {
            if (const auto* found = static_cast<const char*>(g_hash_table_lookup(parameters, name)))
                value = found;
            g_hash_table_unref(parameters);
        }
    }
    g_uri_unref(parsed);
    return value;
}

// A probe must not lose what the network delivered: a busy machine's streaming
// thread can fall a second behind, more than the system's default socket buffer
// (about 200 KB) holds of a stream of a few Mbit/s. The sources ask for it past
// the system's limit where they may (SO_RCVBUFFORCE).
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;

bool receivesUdp(const std::string& factory)
{
    return std::ranges::find(UdpBatchSource::kUdpFactories, factory) != std::end(UdpBatchSource::kUdpFactories);
}

void enlargeReceiveBuffer(GstElement* element)
{
    if (receivesUdp(factoryName(element)))
        g_object_set(element, "buffer-size", kReceiveBufferBytes, nullptr);
}

// rtpsrc and ristsrc are bins whose udpsrc children come now or when they go to READY.
void enlargeReceiveBuffers(GstElement* source)
{
    if (!GST_IS_BIN(source)) {
        enlargeReceiveBuffer(source);
        return;
    }
    g_signal_connect(source, "deep-element-added",
                     G_CALLBACK(+[](GstBin*, GstBin*, GstElement* element, gpointer) { enlargeReceiveBuffer(element); }),
                     nullptr);
    forEachObject<GstElement>(gst_bin_iterate_recurse(GST_BIN(source)), enlargeReceiveBuffer);
}

} // namespace

void BroadcastSource::setUp(GstElement* source)
{
    const std::string factory = factoryName(source);
    if (!receivesUdp(factory) && factory != "rtpsrc" && factory != "ristsrc")
        return;
    const std::string uri = stringProperty(source, "uri");
    if (const auto interface = queryParameter(uri, kInterfaceParameter))
        g_object_set(source, kInterfaceParameter, interface->c_str(), nullptr);
    enlargeReceiveBuffers(source);
    if (factory == "rtpsrc") {
        GstCaps* caps = nullptr;
        g_object_get(source, "caps", &caps, nullptr);
        CapsPtr owned(caps);
        if (!owned && stringProperty(source, "encoding-name").empty())
            g_object_set(source, "encoding-name", "MP2T", nullptr);
    }
}

std::optional<BroadcastSource::Packets> BroadcastSource::poll(GstElement* source, const StreamCounters& counters)
{
    const std::string factory = factoryName(source);
    if (receivesUdp(factory)) {
        const TransportStreamWatch::Snapshot ts = counters.transportStream().snapshot();
        return Packets {ts.packets, ts.missing, 0, std::nullopt};
    }
    if (factory != "ristsrc")
        return std::nullopt;
    // The packets from the sequence numbers ristsrc delivers, not its stats'
    // counts (see RistPacketCounts); the stats give the round trip alone.
    Packets packets;
    if (const auto counts = RistPacketCounts::of(source)) {
        packets.received = counts->received;
        packets.lost = counts->lost;
        packets.recovered = counts->recovered;
    }
    const StructurePtr stats = structureProperty(source, "stats");
    // The jitter buffers' retransmission round trip, in nanoseconds; 0 before one.
    if (const std::uint64_t rttNs = stats ? StructureUint64(stats.get(), "rtx-roundtrip-time") : 0; rttNs > 0)
        packets.roundTripMs = static_cast<double>(rttNs) / 1e6;
    return packets;
}

std::string BroadcastSource::silenceReason(const std::string& uri)
{
    GUri* parsed = g_uri_parse(uri.c_str(), G_URI_FLAGS_NONE, nullptr);
    if (!parsed)
        return "no data arrived on '" + uri + "'";
    const char* host = g_uri_get_host(parsed);
    const std::string where = std::string(host && *host ? host : "any address") + " port "
        + std::to_string(g_uri_get_port(parsed));
    g_uri_unref(parsed);
    return "no data arrived on " + where;
}

} // namespace zephyrscope
