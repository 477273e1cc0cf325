#include "SourceDateTimes.h"

#include "FactoryName.h"
#include "PresentationTimes.h"

#include <gst/gst.h>

#include <string>

namespace zephyrscope {

namespace {

void releaseTimes(gpointer data)
{
    delete static_cast<std::shared_ptr<PresentationTimes>*>(data);
}

// The date-time tag hlsdemux2 sends ahead of its first segment's data.
GstPadProbeReturn onParserInput(GstPad*, GstPadProbeInfo* info, gpointer data)
{
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (!event || GST_EVENT_TYPE(event) != GST_EVENT_TAG)
        return GST_PAD_PROBE_OK;
    GstTagList* tags = nullptr;
    gst_event_parse_tag(event, &tags);
    GstDateTime* date = nullptr;
    if (!tags || !gst_tag_list_get_date_time(tags, GST_TAG_DATE_TIME, &date))
        return GST_PAD_PROBE_OK;
    GDateTime* wall = gst_date_time_has_second(date) ? gst_date_time_to_g_date_time(date) : nullptr;
    gst_date_time_unref(date);
    if (!wall)
        return GST_PAD_PROBE_OK;
    const std::int64_t wallUs = g_date_time_to_unix(wall) * G_USEC_PER_SEC + g_date_time_get_microsecond(wall);
    g_date_time_unref(wall);
    (*static_cast<std::shared_ptr<PresentationTimes>*>(data))->segmentDateTime(wallUs);
    return GST_PAD_PROBE_OK;
}

// Called for every element added anywhere in playbin, on the thread adding it.
void onElementAdded(GstBin*, GstBin* parent, GstElement* element, gpointer data)
{
    if (factoryName(element) != "parsebin" || factoryName(GST_ELEMENT(parent)) != "hlsdemux2")
        return;
    GstPad* pad = gst_element_get_static_pad(element, "sink");
    if (!pad)
        return;
    const auto& times = *static_cast<std::shared_ptr<PresentationTimes>*>(data);
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, onParserInput,
                      new std::shared_ptr<PresentationTimes>(times), releaseTimes);
    gst_object_unref(pad);
}

void releaseClosure(gpointer data, GClosure*)
{
    releaseTimes(data);
}

} // namespace

void SourceDateTimes::attach(GstElement* playbin, const std::shared_ptr<PresentationTimes>& times)
{
    g_signal_connect_data(playbin, "deep-element-added", G_CALLBACK(onElementAdded),
                          new std::shared_ptr<PresentationTimes>(times), releaseClosure, GConnectFlags(0));
}

} // namespace zephyrscope
