#include "WebRtcTypes.h"

#include <gmodule.h>

#include <utility>

namespace zephyrscope {

namespace {

constexpr const char* kDescriptionType = "GstWebRTCSessionDescription";
constexpr const char* kSdpTypeType = "GstWebRTCSDPType";
// webrtcbin's library, loaded with the webrtcbin plugin; the soname is the one
// of the whole GStreamer 1.x series.
constexpr const char* kWebRtcLibrary = "libgstwebrtc-1.0.so.0";

// The GType named typeName. A GType exists only once its get_type function has
// run; webrtcbin's class runs those of its properties' and signals' types, but
// not that of the SDP type (no property or signal names it), so that one is
// reached here by its symbol in webrtcbin's library: declared as what every
// get_type function is, GType (void), and used only when the type it registers
// bears the name asked for.
GType registeredType(const char* typeName)
{
    GType type = g_type_from_name(typeName);
    if (type != G_TYPE_INVALID || g_strcmp0(typeName, kSdpTypeType) != 0)
        return type;
    static const GType loaded = [] {
        GModule* library = g_module_open(kWebRtcLibrary, static_cast<GModuleFlags>(G_MODULE_BIND_LAZY | G_MODULE_BIND_LOCAL));
        gpointer symbol = nullptr;
        GType found = G_TYPE_INVALID;
        if (library && g_module_symbol(library, "gst_webrtc_sdp_type_get_type", &symbol) && symbol)
            found = reinterpret_cast<GType (*)()>(symbol)();
        // Kept open: the type lives as long as the process.
        return found;
    }();
    return loaded != G_TYPE_INVALID && g_strcmp0(g_type_name(loaded), typeName) == 0 ? loaded : G_TYPE_INVALID;
}

// The layout of GstWebRTCSessionDescription (gst/webrtc/rtcsessiondescription.h),
// public API since GStreamer 1.14: the SDP type, an enum, then the message. Only
// read and written in descriptions webrtcbin's library allocated (copies of its
// own), so its boxed copy and free functions stay the ones that own the memory;
// each one is checked for the expected type before its SDP is used.
struct DescriptionFields {
    gint type;
    GstSDPMessage* sdp;
};

DescriptionFields* fieldsOf(gpointer boxed)
{
    return static_cast<DescriptionFields*>(boxed);
}

// The description's GType, registered by webrtcbin's class; G_TYPE_INVALID before one was made.
GType descriptionType()
{
    const GType type = g_type_from_name(kDescriptionType);
    return type != G_TYPE_INVALID && G_TYPE_IS_BOXED(type) ? type : G_TYPE_INVALID;
}

bool hasType(gpointer boxed, const char* typeNick)
{
    const std::optional<gint> expected = WebRtcTypes::enumValue(kSdpTypeType, typeNick);
    return boxed && expected && fieldsOf(boxed)->type == *expected && fieldsOf(boxed)->sdp;
}

} // namespace

std::string WebRtcTypes::enumNick(GObject* object, const char* property)
{
    GParamSpec* spec = object ? g_object_class_find_property(G_OBJECT_GET_CLASS(object), property) : nullptr;
    if (!spec || !G_IS_PARAM_SPEC_ENUM(spec))
        return {};
    GValue value = G_VALUE_INIT;
    g_value_init(&value, spec->value_type);
    g_object_get_property(object, property, &value);
    const GEnumValue* entry = g_enum_get_value(G_PARAM_SPEC_ENUM(spec)->enum_class, g_value_get_enum(&value));
    g_value_unset(&value);
    return entry ? entry->value_nick : "";
}

std::optional<gint> WebRtcTypes::enumValue(const char* typeName, const char* nick)
{
    const GType type = registeredType(typeName);
    if (type == G_TYPE_INVALID || !G_TYPE_IS_ENUM(type))
        return std::nullopt;
    auto* enumClass = static_cast<GEnumClass*>(g_type_class_ref(type));
    const GEnumValue* entry = g_enum_get_value_by_nick(enumClass, nick);
    std::optional<gint> result;
    if (entry)
        result = entry->value;
    g_type_class_unref(enumClass);
    return result;
}

WebRtcTypes::Description::Description(GType type, gpointer boxed)
    : m_boxed(boxed, BoxedFree {type})
{
}

WebRtcTypes::Description WebRtcTypes::Description::copyOf(const GValue* value, const char* typeNick)
{
    const GType type = descriptionType();
    if (type == G_TYPE_INVALID || !value || !G_VALUE_HOLDS(value, type))
        return {};
    Description description(type, g_value_dup_boxed(value));
    return hasType(description.get(), typeNick) ? std::move(description) : Description();
}

WebRtcTypes::Description WebRtcTypes::Description::ofProperty(GObject* object, const char* property,
                                                              const char* typeNick)
{
    const GType type = descriptionType();
    GParamSpec* spec = object ? g_object_class_find_property(G_OBJECT_GET_CLASS(object), property) : nullptr;
    if (type == G_TYPE_INVALID || !spec || spec->value_type != type)
        return {};
    GValue value = G_VALUE_INIT;
    g_value_init(&value, type);
    g_object_get_property(object, property, &value);
    Description description = copyOf(&value, typeNick);
    g_value_unset(&value);
    return description;
}

GstSDPMessage* WebRtcTypes::Description::sdp() const
{
    return m_boxed ? fieldsOf(m_boxed.get())->sdp : nullptr;
}

bool WebRtcTypes::Description::become(const char* typeNick, GstSDPMessage* sdp)
{
    const std::optional<gint> type = enumValue(kSdpTypeType, typeNick);
    if (!m_boxed || !type || !sdp) {
        if (sdp)
            gst_sdp_message_free(sdp);
        return false;
    }
    DescriptionFields* fields = fieldsOf(m_boxed.get());
    gst_sdp_message_free(fields->sdp);
    fields->sdp = sdp;
    fields->type = *type;
    return true;
}

} // namespace zephyrscope
