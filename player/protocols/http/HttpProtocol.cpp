#include "HttpProtocol.h"

#include <gst/gst.h>

namespace zephyrscope {

namespace {

constexpr guint kHttpTimeoutS = 10; // a silent HTTP server counts as gone after this

constexpr ProtocolId kProtocols[] = {ProtocolId::Http, ProtocolId::Https};
constexpr std::string_view kFactories[] = {"souphttpsrc"};

void setUpSource(GstElement* source, const std::shared_ptr<StreamCounters>&)
{
    g_object_set(source, "timeout", kHttpTimeoutS, nullptr);
}

} // namespace

const PlayerProtocol& httpProtocol()
{
    static const PlayerProtocol protocol {
        .protocols = kProtocols,
        .sourceFactories = kFactories,
        .setUpSource = setUpSource,
    };
    return protocol;
}

} // namespace zephyrscope
