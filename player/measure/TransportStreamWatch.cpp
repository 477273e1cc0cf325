#include "TransportStreamWatch.h"

#include "GstHandles.h"
#include "StreamCounters.h"

#include <gst/gst.h>

namespace zephyrscope {

using namespace gsthandles;

namespace {

// When a pushed buffer's bytes arrived, in microseconds of the pipeline's clock
// (the system's monotonic clock). A live source such as udpsrc stamps each
// buffer with a running time, so its timestamp plus the element's base time is
// its arrival. A buffer without a timestamp arrived as far as anyone knows when
// the probe sees it.
// A UDP source reads its socket on the thread that pushes into the demuxer:
// while the demuxer's downstream holds that thread, datagrams wait in the
// socket. So raw UDP's source gives the kernel's receive time of each datagram,
// which it puts in the buffer's timestamps: stamped when read instead, a clean
// local 6-Mbit/s stream showed 66 to 78 ms of PCR jitter, the receiver's own holds.
std::int64_t arrivalUsOf(GstPad* pad, GstBuffer* buffer)
{
    const GstClockTime stamp = GST_BUFFER_DTS_OR_PTS(buffer);
    GstElement* demuxer = GST_PAD_PARENT(pad);
    if (GST_CLOCK_TIME_IS_VALID(stamp) && demuxer)
        return static_cast<std::int64_t>((stamp + gst_element_get_base_time(demuxer)) / GST_USECOND);
    return g_get_monotonic_time();
}

// Until a second after the first frame the pipeline is still being set up, and
// its reads wait for it: a clean 6-Mbit/s stream showed one 0.8-s "gap" there.
constexpr std::int64_t kGapsJudgedAfterFirstFrameUs = 1000000;

void feedBuffer(StreamCounters& counters, GstPad* pad, GstBuffer* buffer, const GstPadProbeInfo* pulled = nullptr)
{
    TransportStreamWatch& watch = counters.transportStream();
    GstMapInfo map;
    if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        if (pulled) {
            watch.feedPulled(pulled->offset, map.data, map.size);
        } else {
            const std::int64_t arrivalUs = arrivalUsOf(pad, buffer);
            const std::int64_t firstFrameUs = counters.firstFrameUs();
            watch.feed(map.data, map.size, arrivalUs,
                       firstFrameUs > 0 && arrivalUs >= firstFrameUs + kGapsJudgedAfterFirstFrameUs);
        }
        gst_buffer_unmap(buffer, &map);
    }
}

GstPadProbeReturn onDemuxerInput(GstPad* pad, GstPadProbeInfo* info, gpointer data)
{
    StreamCounters& counters = heldState<StreamCounters>(data);
    if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
        const bool pulled = (info->type & GST_PAD_PROBE_TYPE_PULL) != 0;
        feedBuffer(counters, pad, GST_PAD_PROBE_INFO_BUFFER(info), pulled ? info : nullptr);
    } else if (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
        GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
        for (guint i = 0; i < gst_buffer_list_length(list); ++i)
            feedBuffer(counters, pad, gst_buffer_list_get(list, i));
    }
    return GST_PAD_PROBE_OK;
}

} // namespace

void TransportStreamWatch::timeDatagrams()
{
    const std::lock_guard lock(m_mutex);
    if (!m_gaps)
        m_gaps.emplace();
}

void TransportStreamWatch::feed(const std::uint8_t* data, std::size_t size, std::int64_t arrivalUs, bool judgeGaps)
{
    const std::lock_guard lock(m_mutex);
    m_seen = true;
    if (!m_gaps) {
        m_analyser.feed(data, size);
        return;
    }
    m_analyser.feed(data, size, arrivalUs);
    m_gaps->datagram(arrivalUs, data, size, judgeGaps);
}

void TransportStreamWatch::feedPulled(std::uint64_t offset, const std::uint8_t* data, std::size_t size)
{
    const std::lock_guard lock(m_mutex);
    if (offset > m_pulledUpTo || offset + size <= m_pulledUpTo)
        return;
    const std::size_t skip = static_cast<std::size_t>(m_pulledUpTo - offset);
    m_seen = true;
    m_analyser.feed(data + skip, size - skip);
    m_pulledUpTo = offset + size;
}

TransportStreamWatch::Snapshot TransportStreamWatch::snapshot() const
{
    const std::lock_guard lock(m_mutex);
    Snapshot snapshot;
    snapshot.seen = m_seen;
    snapshot.packets = m_analyser.packets();
    snapshot.missing = m_analyser.missingPackets();
    snapshot.errors = m_analyser.errors();
    if (m_gaps) {
        snapshot.gaps = m_gaps->figures();
        snapshot.pcrJitterMs = m_analyser.pcrJitterMs();
    }
    return snapshot;
}

void TransportStreamWatch::watchDemuxer(GstElement* demuxer, const std::shared_ptr<StreamCounters>& counters)
{
    if (const PadPtr pad {gst_element_get_static_pad(demuxer, "sink")})
        gst_pad_add_probe(pad.get(),
                          static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                          onDemuxerInput, holdForCallback(counters), releaseHeld<StreamCounters>);
}

} // namespace zephyrscope
