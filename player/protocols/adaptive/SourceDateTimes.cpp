#include "SourceDateTimes.h"

#include "GstHandles.h"
#include "PresentationTimes.h"
#include "StreamProbes.h"

#include <gst/gst.h>

namespace zephyrscope {

using namespace gsthandles;

namespace {

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
    StreamProbes::countersOf(data).presentation().segmentDateTime(wallUs);
    return GST_PAD_PROBE_OK;
}

} // namespace

void SourceDateTimes::watch(GstElement* parsebin, const std::shared_ptr<StreamCounters>& counters)
{
    if (PadPtr pad {gst_element_get_static_pad(parsebin, "sink")})
        StreamProbes::addProbe(pad.get(), GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, onParserInput, counters);
}

} // namespace zephyrscope
