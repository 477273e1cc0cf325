#pragma once

#include <gst/gst.h>

#include <cstring>
#include <string>

namespace zephyrscope {

// The name of the factory that made element ("souphttpsrc", "rtpjitterbuffer",
// ...); empty for no element, or one made without a factory.
inline std::string factoryName(GstElement* element)
{
    GstElementFactory* factory = element ? gst_element_get_factory(element) : nullptr;
    return factory ? GST_OBJECT_NAME(factory) : "";
}

// The class of the factory that made element ("Codec/Decoder/Video", ...);
// null for one made without a factory.
inline const gchar* factoryKlass(GstElement* element)
{
    GstElementFactory* factory = gst_element_get_factory(element);
    return factory ? gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS) : nullptr;
}

inline bool isVideoDecoder(GstElement* element)
{
    const gchar* klass = factoryKlass(element);
    return klass && std::strstr(klass, "Decoder") && std::strstr(klass, "Video");
}

} // namespace zephyrscope
