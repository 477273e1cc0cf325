#include "SrtProtocol.h"

#include "SrtDeliveryGaps.h"
#include "SrtStatistics.h"

#include <gst/gst.h>

namespace zephyrscope {

namespace {

// srtsrc waits for data in slices of this, looking between them whether it is
// being shut down; without it a wait has no end of its own.
constexpr gint kSrtPollTimeoutMs = 500;

constexpr ProtocolId kProtocols[] = {ProtocolId::Srt};
constexpr std::string_view kFactories[] = {"srtsrc"};

void setUpSource(GstElement* source, const std::shared_ptr<StreamCounters>& counters)
{
    g_object_set(source, "poll-timeout", kSrtPollTimeoutMs, nullptr);
    SrtDeliveryGaps::watch(source, counters);
}

} // namespace

const PlayerProtocol& srtProtocol()
{
    static const PlayerProtocol protocol {
        .protocols = kProtocols,
        .sourceFactories = kFactories,
        .ownParsedPipeline = true,
        .setUpSource = setUpSource,
        .measurement = measurementOf<SrtStatistics>,
    };
    return protocol;
}

} // namespace zephyrscope
