#pragma once

#include <gst/gst.h>

#include <string>

namespace zephyrscope {

// The name of the factory that made element ("souphttpsrc", "rtpjitterbuffer",
// ...); empty for no element, or one made without a factory.
inline std::string factoryName(GstElement* element)
{
    GstElementFactory* factory = element ? gst_element_get_factory(element) : nullptr;
    return factory ? GST_OBJECT_NAME(factory) : "";
}

} // namespace zephyrscope
