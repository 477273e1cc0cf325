#include "RtspProtocol.h"

#include "RtpJitterBuffers.h"

#include <gst/gst.h>

namespace zephyrscope {

namespace {

// A silent RTSP server over TCP counts as gone after this.
constexpr guint64 kRtspTcpTimeoutUs = 10000000;

constexpr std::string_view kColumns[] = {"RTSPU", "RTSPT"};
constexpr std::string_view kFactories[] = {"rtspsrc"};

void setUpSource(GstElement* source, const std::shared_ptr<StreamCounters>&)
{
    g_object_set(source, "tcp-timeout", kRtspTcpTimeoutUs, nullptr);
}

std::unique_ptr<SourceMeasurement> measurement()
{
    return std::make_unique<RtpJitterBuffers>();
}

} // namespace

const PlayerProtocol& rtspProtocol()
{
    static const PlayerProtocol protocol {
        .columns = kColumns,
        .sourceFactories = kFactories,
        .sourceAddsPads = true,
        .setUpSource = setUpSource,
        .measurement = measurement,
    };
    return protocol;
}

} // namespace zephyrscope
