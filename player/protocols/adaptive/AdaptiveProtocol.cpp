#include "AdaptiveProtocol.h"

#include "AdaptiveRequests.h"
#include "DashManifestType.h"
#include "DownloadGuard.h"
#include "FactoryName.h"
#include "GstHandles.h"
#include "Protocol.h"
#include "SourceDateTimes.h"
#include "StreamProbes.h"

#include <gst/gst.h>

namespace zephyrscope {

using namespace gsthandles;

namespace {

constexpr ProtocolId kProtocols[] = {ProtocolId::Hls, ProtocolId::Dash, ProtocolId::Mss};

// A manifest the demuxer reads whole; far beyond any real one.
constexpr std::uint64_t kMaxManifestBytes = 16 << 20;

// The protocol a demuxer plays; null for an element that is none of them.
const Protocol* adaptiveKind(const std::string& factory)
{
    if (factory.rfind("hlsdemux", 0) == 0)
        return &protocolRow(ProtocolId::Hls);
    if (factory.rfind("dashdemux", 0) == 0)
        return &protocolRow(ProtocolId::Dash);
    if (factory.rfind("mssdemux", 0) == 0)
        return &protocolRow(ProtocolId::Mss);
    return nullptr;
}

// Whether the entry's source reads a local file (a path, or a URI of a local
// scheme): its manifest may name others.
bool isLocalEntry(const std::shared_ptr<StreamCounters>& counters)
{
    const ElementPtr source(counters->source());
    const std::string location = stringProperty(source.get(), "location");
    return source && (location.empty() || location[0] == '/' || isLocalScheme(location.substr(0, location.find(':'))));
}

// The demuxer's input, streaming thread: the manifest, kept for its variants.
GstPadProbeReturn onManifestPad(GstPad*, GstPadProbeInfo* info, gpointer data)
{
    if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
        GstMapInfo map;
        GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
        if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            StreamProbes::countersOf(data).manifestData(reinterpret_cast<const char*>(map.data), map.size);
            gst_buffer_unmap(buffer, &map);
        }
    }
    return GST_PAD_PROBE_OK;
}

bool setUpElement(GstElement* element, const std::shared_ptr<StreamCounters>& counters)
{
    if (DashManifestType::watchTypeFind(element))
        return true;
    const std::string factory = factoryName(element);
    if (const Protocol* kind = adaptiveKind(factory)) {
        counters->setAdaptive(kind);
        const ElementPtr source(counters->source());
        AdaptiveRequests::watch(stringProperty(source.get(), "location"), counters);
        if (PadPtr pad {gst_element_get_static_pad(element, "sink")})
            StreamProbes::addProbe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER, onManifestPad, counters);
        DownloadGuard::watch(element, "sink", {kMaxManifestBytes, "the manifest", !isLocalEntry(counters)});
        return true;
    }
    if (factory != "parsebin")
        return false;
    // The demuxer's parsebin: what it takes in is the segments' data.
    const ObjectPtr parent(gst_object_get_parent(GST_OBJECT(element)));
    const Protocol* demuxer
        = parent && GST_IS_ELEMENT(parent.get()) ? adaptiveKind(factoryName(GST_ELEMENT(parent.get()))) : nullptr;
    if (!demuxer)
        return false;
    if (PadPtr pad {gst_element_get_static_pad(element, "sink")})
        StreamProbes::countData(pad.get(), counters);
    if (demuxer->id == ProtocolId::Hls)
        SourceDateTimes::watch(element, counters);
    return true;
}

} // namespace

const PlayerProtocol& adaptiveProtocol()
{
    static const PlayerProtocol protocol {
        .protocols = kProtocols,
        .registerElements = DashManifestType::registerTypeFinder,
        .setUpElement = setUpElement,
    };
    return protocol;
}

} // namespace zephyrscope
