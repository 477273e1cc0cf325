#pragma once

#include <gst/gst.h>

#include <mutex>

namespace zephyrscope {

// The URI handler of a source element of ours: `stateOf(element)` gives its
// state, which keeps the URI in `uri` under `mutex`; `setUri` checks and takes
// a new one. `protocols` is the null-ended list of the schemes it plays.
template <const gchar* const* protocols, auto stateOf, auto setUri>
void initSourceUriHandler(gpointer iface)
{
    auto* handler = static_cast<GstURIHandlerInterface*>(iface);
    handler->get_type = [](GType) { return GST_URI_SRC; };
    handler->get_protocols = [](GType) { return protocols; };
    handler->get_uri = [](GstURIHandler* element) {
        auto& state = stateOf(element);
        const std::lock_guard lock(state.mutex);
        return g_strdup(state.uri.c_str());
    };
    handler->set_uri = [](GstURIHandler* element, const gchar* uri, GError** error) -> gboolean {
        return setUri(GST_ELEMENT(element), uri, error);
    };
}

} // namespace zephyrscope
