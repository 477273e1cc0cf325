#include "DashManifestType.h"

#include "AdaptiveManifest.h"
#include "FactoryName.h"
#include "GstHandles.h"
#include "Version.h"

#include <gst/gst.h>

#include <cstring>
#include <mutex>
#include <string>

namespace zephyrscope {

using namespace gsthandles;

namespace {

constexpr const char* kDashCaps = "application/dash+xml";
// The most of a stream looked at: a root start tag (the XML declaration and
// comments before it) ends well within it.
constexpr guint kPeekBytes = 16384;
// Type finding over HTTP has no length: what can be peeked is found by halving.
constexpr guint kLeastPeekBytes = 256;

void findMpd(GstTypeFind* find, gpointer)
{
    const guint64 length = gst_type_find_get_length(find);
    guint size = length > 0 && length < kPeekBytes ? static_cast<guint>(length) : kPeekBytes;
    for (; size >= kLeastPeekBytes; size /= 2) {
        const guint8* data = gst_type_find_peek(find, 0, size);
        if (!data)
            continue;
        if (AdaptiveManifest::rootIsMpd(std::string(reinterpret_cast<const char*>(data), size))) {
            CapsPtr caps(gst_caps_from_string(kDashCaps));
            gst_type_find_suggest(find, GST_TYPE_FIND_MAXIMUM, caps.get());
        }
        return;
    }
}

// The Content-Type among a source's response headers (names in any case; a
// repeated header is a list: its first value).
std::string contentTypeOf(const GstStructure* headers)
{
    for (gint i = 0; i < gst_structure_n_fields(headers); ++i) {
        const gchar* name = gst_structure_nth_field_name(headers, i);
        if (g_ascii_strcasecmp(name, "Content-Type") != 0)
            continue;
        const GValue* value = gst_structure_get_value(headers, name);
        if (GST_VALUE_HOLDS_ARRAY(value) && gst_value_array_get_size(value) > 0)
            value = gst_value_array_get_value(value, 0);
        return G_VALUE_HOLDS_STRING(value) && g_value_get_string(value) ? g_value_get_string(value) : "";
    }
    return {};
}

// The typefind element's input, streaming thread: souphttpsrc's http-headers
// event comes before the first byte of the body.
GstPadProbeReturn onTypeFindInput(GstPad*, GstPadProbeInfo* info, gpointer data)
{
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    const GstStructure* structure = event ? gst_event_get_structure(event) : nullptr;
    if (!structure || !gst_structure_has_name(structure, "http-headers"))
        return GST_PAD_PROBE_OK;
    const GstStructure* response = nullptr;
    if (const GValue* value = gst_structure_get_value(structure, "response-headers");
        value && GST_VALUE_HOLDS_STRUCTURE(value))
        response = gst_value_get_structure(value);
    if (response && AdaptiveManifest::isDashContentType(contentTypeOf(response))) {
        CapsPtr caps(gst_caps_from_string(kDashCaps));
        g_object_set(static_cast<GstElement*>(data), "force-caps", caps.get(), nullptr);
    }
    return GST_PAD_PROBE_REMOVE;
}


gboolean registerInPlugin(GstPlugin* plugin)
{
    CapsPtr caps(gst_caps_from_string(kDashCaps));
    return gst_type_find_register(plugin, "zephyrscope_dash_mpd", GST_RANK_PRIMARY + 1, findMpd, "mpd,MPD",
                                  caps.get(), nullptr, nullptr);
}

} // namespace

void DashManifestType::registerTypeFinder()
{
    static std::once_flag once;
    std::call_once(once, [] {
        gst_plugin_register_static(GST_VERSION_MAJOR, GST_VERSION_MINOR, "zephyrscopedashmpd",
                                   "DASH MPD type finding by root element", registerInPlugin, ZEPHYRSCOPE_VERSION,
                                   "Proprietary", "zephyrscope", "Zephyrscope", "https://zephyrscope.invalid");
    });
}

bool DashManifestType::watchTypeFind(GstElement* element)
{
    if (factoryName(element) != "typefind")
        return false;
    const ObjectPtr parent(gst_object_get_parent(GST_OBJECT(element)));
    if (!parent || !GST_IS_ELEMENT(parent.get()) || factoryName(GST_ELEMENT(parent.get())) != "urisourcebin")
        return false;
    // The probe lives on the element's pad: the element outlives it.
    if (PadPtr pad {gst_element_get_static_pad(element, "sink")})
        gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, onTypeFindInput, element, nullptr);
    return true;
}

} // namespace zephyrscope
