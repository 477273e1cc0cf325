#include "DecoderThreads.h"

#include "FactoryName.h"
#include "GstHandles.h"

namespace zephyrscope {

using namespace gsthandles;

namespace {

// A decoder's sink pad, before the decoder sees the caps: the thread count is
// read when the decoder opens its codec for them.
GstPadProbeReturn onDecoderEvent(GstPad* pad, GstPadProbeInfo* info, gpointer)
{
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(event) != GST_EVENT_CAPS)
        return GST_PAD_PROBE_OK;
    GstCaps* caps = nullptr;
    gst_event_parse_caps(event, &caps);
    const GstStructure* s = caps && gst_caps_get_size(caps) > 0 ? gst_caps_get_structure(caps, 0) : nullptr;
    gint width = 0, height = 0, fpsN = 0, fpsD = 1;
    if (s) {
        gst_structure_get_int(s, "width", &width);
        gst_structure_get_int(s, "height", &height);
        gst_structure_get_fraction(s, "framerate", &fpsN, &fpsD);
    }
    if (const ElementPtr decoder {gst_pad_get_parent_element(pad)})
        g_object_set(decoder.get(), "max-threads", DecoderThreads::forStream(width, height, fpsN, fpsD), nullptr);
    return GST_PAD_PROBE_OK;
}

void onElementSetup(GstElement*, GstElement* element, gpointer)
{
    if (!isVideoDecoder(element) || !g_object_class_find_property(G_OBJECT_GET_CLASS(element), "max-threads"))
        return;
    PadPtr sink(gst_element_get_static_pad(element, "sink"));
    if (sink)
        gst_pad_add_probe(sink.get(), GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, onDecoderEvent, nullptr, nullptr);
}

} // namespace

int DecoderThreads::forStream(std::int32_t width, std::int32_t height, std::int32_t fpsNumerator,
                              std::int32_t fpsDenominator)
{
    if (width <= 0 || height <= 0 || fpsNumerator <= 0 || fpsDenominator <= 0)
        return 0;
    const double pixelRate = static_cast<double>(width) * height * fpsNumerator / fpsDenominator;
    return pixelRate <= kOneThreadMaxPixelRate ? 1 : 0;
}

void DecoderThreads::attach(GstElement* playbin)
{
    g_signal_connect(playbin, "element-setup", G_CALLBACK(onElementSetup), nullptr);
}

} // namespace zephyrscope
