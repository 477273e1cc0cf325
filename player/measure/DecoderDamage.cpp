#include "DecoderDamage.h"

#include "DamageMarks.h"
#include "FactoryName.h"
#include "GstHandles.h"

#include <cstring>
#include <memory>
#include <mutex>

namespace zephyrscope {

using namespace gsthandles;

namespace {

// One decoder's marks; its input and output may stream on threads of their own.
struct Watch {
    std::mutex mutex;
    DamageMarks marks;
    std::int64_t frameUs = 0; // from the input caps' frame rate; 0 unknown
};

std::int64_t usOf(GstClockTime time)
{
    return GST_CLOCK_TIME_IS_VALID(time) ? static_cast<std::int64_t>(time / GST_USECOND) : -1;
}

void inputEvent(Watch& watch, GstEvent* event)
{
    switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_CAPS: {
        GstCaps* caps = nullptr;
        gst_event_parse_caps(event, &caps);
        const GstStructure* s = caps && gst_caps_get_size(caps) > 0 ? gst_caps_get_structure(caps, 0) : nullptr;
        gint fpsN = 0, fpsD = 1;
        if (s && gst_structure_get_fraction(s, "framerate", &fpsN, &fpsD) && fpsN > 0 && fpsD > 0) {
            std::lock_guard lock(watch.mutex);
            watch.frameUs = static_cast<std::int64_t>(gst_util_uint64_scale_int(GST_SECOND, fpsD, fpsN) / GST_USECOND);
        }
        break;
    }
    case GST_EVENT_GAP: {
        GstGapFlags flags {};
        gst_event_parse_gap_flags(event, &flags);
        if (flags & GST_GAP_FLAG_MISSING_DATA) {
            std::lock_guard lock(watch.mutex);
            watch.marks.dataMissing();
        }
        break;
    }
    case GST_EVENT_FLUSH_STOP:
    case GST_EVENT_STREAM_START: {
        std::lock_guard lock(watch.mutex);
        watch.marks.reset();
        break;
    }
    default:
        break;
    }
}

// The pad across pad's element or ghost pad from it, where data comes in.
PadPtr otherSide(GstPad* pad)
{
    PadPtr other;
    if (GstIterator* links = gst_pad_iterate_internal_links(pad)) {
        forEachObject<GstPad>(links, [&](GstPad* linked) {
            if (!other)
                other.reset(GST_PAD(gst_object_ref(linked)));
        });
    }
    return other;
}

// The decoder's sink pad: each access unit going in, and what says the stream
// lost data or started again.
GstPadProbeReturn onDecoderInput(GstPad* pad, GstPadProbeInfo* info, gpointer data)
{
    Watch& watch = heldState<Watch>(data);
    if (!(info->type & GST_PAD_PROBE_TYPE_BUFFER)) {
        inputEvent(watch, GST_PAD_PROBE_INFO_EVENT(info));
        return GST_PAD_PROBE_OK;
    }
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    DamageMarks::Unit unit;
    unit.ptsUs = usOf(GST_BUFFER_PTS(buffer));
    unit.dtsUs = usOf(GST_BUFFER_DTS(buffer));
    unit.key = !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    // Rare (a loss, a new stream), so whose mark it is is looked up each time.
    const bool discont = GST_BUFFER_IS_DISCONT(buffer);
    unit.lostBefore = discont && DecoderDamage::unitsFromDemuxer(pad);
    unit.broken = (discont && !unit.lostBefore) || GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_CORRUPTED);
    std::lock_guard lock(watch.mutex);
    unit.frameUs = GST_BUFFER_DURATION_IS_VALID(buffer) ? usOf(GST_BUFFER_DURATION(buffer)) : watch.frameUs;
    watch.marks.unitIn(unit);
    return GST_PAD_PROBE_OK;
}

// The decoder's source pad: each picture coming out, marked if it was made
// from damaged input (a copy of the buffer's metadata where it is shared).
GstPadProbeReturn onDecoderOutput(GstPad*, GstPadProbeInfo* info, gpointer data)
{
    Watch& watch = heldState<Watch>(data);
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    bool damaged = false;
    {
        std::lock_guard lock(watch.mutex);
        damaged = watch.marks.damaged(usOf(GST_BUFFER_PTS(buffer)));
    }
    if (!damaged || GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_CORRUPTED))
        return GST_PAD_PROBE_OK;
    buffer = gst_buffer_make_writable(buffer);
    GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_CORRUPTED);
    GST_PAD_PROBE_INFO_DATA(info) = buffer;
    return GST_PAD_PROBE_OK;
}

} // namespace

void DecoderDamage::watch(GstElement* element)
{
    if (!isVideoDecoder(element))
        return;
    PadPtr sink {gst_element_get_static_pad(element, "sink")};
    PadPtr src {gst_element_get_static_pad(element, "src")};
    if (!sink || !src)
        return;
    const auto watch = std::make_shared<Watch>();
    gst_pad_add_probe(sink.get(),
                      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                      onDecoderInput, holdForCallback(watch), releaseHeld<Watch>);
    gst_pad_add_probe(src.get(), GST_PAD_PROBE_TYPE_BUFFER, onDecoderOutput, holdForCallback(watch),
                      releaseHeld<Watch>);
}

bool DecoderDamage::unitsFromDemuxer(GstPad* sink)
{
    // Far more steps than any pipeline of the player's has between the two.
    constexpr int kMaxSteps = 32;
    PadPtr pad {GST_PAD(gst_object_ref(sink))};
    for (int step = 0; step < kMaxSteps && pad; ++step) {
        PadPtr peer {gst_pad_get_peer(pad.get())};
        if (!peer)
            return false;
        // A ghost pad or its inner side: a bin's border, whose class says
        // nothing of the units (parsebin calls itself a demuxer).
        if (!GST_IS_PROXY_PAD(peer.get())) {
            ElementPtr owner {gst_pad_get_parent_element(peer.get())};
            const gchar* klass = owner ? factoryKlass(owner.get()) : nullptr;
            if (!klass)
                return false;
            if (std::strstr(klass, "Demuxer"))
                return true;
            if (std::strstr(klass, "Depayloader") || std::strstr(klass, "Source"))
                return false;
        }
        pad = otherSide(peer.get());
    }
    return false;
}

} // namespace zephyrscope
