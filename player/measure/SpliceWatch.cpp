#include "SpliceWatch.h"

#include "GstHandles.h"
#include "SpliceSectionReader.h"
#include "StreamCounters.h"

#include <gst/gst.h>
// The section library says its API may change; 1.22's is the one read here.
#define GST_USE_UNSTABLE_API
#include <gst/mpegts/mpegts.h>

#include <algorithm>
#include <string>

namespace zephyrscope {

using namespace gsthandles;

namespace {

constexpr std::int64_t kNsPerMs = 1000000;
constexpr std::int64_t kUsPerMs = 1000;
// A splice point further than this from now is not dated on the wall clock:
// the demuxer's running time is not yet tied to the clock.
constexpr std::int64_t kMaxAheadMs = 24 * 3600 * 1000;

// The running time's wall-clock time (ms) through the element's clock; none
// while the element has no clock.
std::optional<std::int64_t> wallMsOf(GstElement* element, GstClockTime runningTime, std::int64_t nowMs)
{
    const ClockPtr clock {gst_element_get_clock(element)};
    if (!clock)
        return std::nullopt;
    const GstClockTime at = gst_element_get_base_time(element) + runningTime;
    const std::int64_t aheadMs
        = (static_cast<std::int64_t>(at) - static_cast<std::int64_t>(gst_clock_get_time(clock.get()))) / kNsPerMs;
    if (aheadMs <= -kMaxAheadMs || aheadMs >= kMaxAheadMs)
        return std::nullopt;
    return nowMs + aheadMs;
}

// Dates each command's splice point from the running times the demuxer gives
// in the event ("event-<id>-splice-time", or "splice-time" for time_signal);
// an immediate splice takes effect as it is heard.
void dateCommands(GstElement* demuxer, const GstStructure* event, std::vector<SpliceCommand>& commands,
                  std::int64_t nowMs)
{
    const GstStructure* map = nullptr;
    if (const GValue* value = gst_structure_get_value(event, "running-time-map"); value && GST_VALUE_HOLDS_STRUCTURE(value))
        map = gst_value_get_structure(value);
    for (SpliceCommand& c : commands) {
        guint64 running = GST_CLOCK_TIME_NONE;
        if (map && c.splicePts) {
            const std::string field = c.eventId ? "event-" + std::to_string(*c.eventId) + "-splice-time" : "splice-time";
            gst_structure_get_uint64(map, field.c_str(), &running);
        }
        if (GST_CLOCK_TIME_IS_VALID(running))
            c.spliceWallMs = wallMsOf(demuxer, running, nowMs);
        else if (!c.splicePts)
            c.spliceWallMs = nowMs;
        if (c.spliceWallMs)
            c.prerollMs = *c.spliceWallMs - nowMs;
    }
}

GstPadProbeReturn onDemuxerEvent(GstPad* pad, GstPadProbeInfo* info, gpointer data)
{
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (!event || GST_EVENT_TYPE(event) != GST_EVENT_CUSTOM_DOWNSTREAM)
        return GST_PAD_PROBE_OK;
    const GstStructure* structure = gst_event_get_structure(event);
    if (!structure || !gst_structure_has_name(structure, "scte-sit"))
        return GST_PAD_PROBE_OK;
    SpliceWatch& watch = heldState<StreamCounters>(data).splices();
    if (watch.alreadyHeard(gst_event_get_seqnum(event)))
        return GST_PAD_PROBE_OK;
    const std::int64_t nowMs = g_get_real_time() / kUsPerMs;
    GstMpegtsSection* section = gst_event_parse_mpegts_section(event);
    std::optional<std::vector<SpliceCommand>> commands = SpliceSectionReader::read(section);
    if (section)
        gst_mpegts_section_unref(section);
    if (commands) {
        if (const ElementPtr demuxer {GST_ELEMENT(gst_pad_get_parent(pad))})
            dateCommands(demuxer.get(), structure, *commands, nowMs);
    }
    watch.heard(commands, nowMs);
    return GST_PAD_PROBE_OK;
}

void onPadAdded(GstElement*, GstPad* pad, gpointer data)
{
    const auto& counters = *static_cast<std::shared_ptr<StreamCounters>*>(data);
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, onDemuxerEvent, holdForCallback(counters),
                      releaseHeld<StreamCounters>);
}

} // namespace

void SpliceWatch::heard(const std::optional<std::vector<SpliceCommand>>& commands, std::int64_t nowMs)
{
    const std::lock_guard lock(m_mutex);
    m_figures.watched = true;
    if (!commands) {
        ++m_figures.errors;
        return;
    }
    for (const SpliceCommand& c : *commands) {
        const Key key {static_cast<int>(c.command), c.eventId.value_or(0),
                       c.outOfNetwork ? int(*c.outOfNetwork) : -1, c.splicePts.value_or(0)};
        // splice_null is a heartbeat, and a command sent again is the same splice.
        if (c.command != SpliceCommandType::SpliceNull) {
            if (std::ranges::find(m_recent, key) != m_recent.end())
                continue;
            m_recent.push_back(key);
            if (m_recent.size() > kRecentKeys)
                m_recent.pop_front();
        }
        keep(c, nowMs);
    }
}

void SpliceWatch::keep(const SpliceCommand& command, std::int64_t nowMs)
{
    ++m_figures.counts[static_cast<std::size_t>(command.command)];
    if (command.command == SpliceCommandType::SpliceNull)
        return;
    if (m_figures.commands.size() < SpliceFigures::kMaxCommands)
        m_figures.commands.push_back(command);
    m_tracker.heard(command, nowMs);
}

bool SpliceWatch::firstSight(const std::string& id)
{
    if (!m_manifestIds.insert(id).second)
        return false;
    m_manifestIdOrder.push_back(id);
    if (m_manifestIdOrder.size() > kManifestIds) {
        m_manifestIds.erase(m_manifestIdOrder.front());
        m_manifestIdOrder.pop_front();
    }
    return true;
}

void SpliceWatch::heardInManifest(const ManifestSplices& splices, std::int64_t nowMs)
{
    // A manifest that signals no splice leaves an entry's figures as they were.
    if (splices.splices.empty() && splices.malformed.empty())
        return;
    const std::lock_guard lock(m_mutex);
    m_figures.watched = true;
    for (const std::string& key : splices.malformed)
        if (firstSight("malformed:" + key))
            ++m_figures.errors;
    for (const ManifestSplice& splice : splices.splices) {
        if (!firstSight(splice.id))
            continue;
        std::optional<std::vector<SpliceCommand>> commands;
        if (splice.section.empty())
            commands = std::vector<SpliceCommand> {splice.command};
        else
            commands = SpliceSectionReader::read(splice.section.data(), splice.section.size());
        if (!commands) {
            ++m_figures.errors;
            continue;
        }
        for (SpliceCommand& c : *commands) {
            // The manifest dates the splice on its wall clock.
            c.source = splice.command.source;
            c.spliceWallMs = splice.command.spliceWallMs;
            if (!c.durationMs && c.outOfNetwork.value_or(false))
                c.durationMs = splice.command.durationMs;
            if (c.spliceWallMs)
                c.prerollMs = *c.spliceWallMs - nowMs;
            keep(c, nowMs);
        }
    }
}

void SpliceWatch::watched()
{
    const std::lock_guard lock(m_mutex);
    m_figures.watched = true;
}

bool SpliceWatch::alreadyHeard(std::uint32_t eventSeqnum)
{
    const std::lock_guard lock(m_mutex);
    if (m_lastSeqnum == eventSeqnum)
        return true;
    m_lastSeqnum = eventSeqnum;
    return false;
}

void SpliceWatch::fill(SpliceFigures& out, std::int64_t nowMs) const
{
    const std::lock_guard lock(m_mutex);
    out.watched = m_figures.watched;
    out.commands.assign(m_figures.commands.begin(), m_figures.commands.end());
    out.counts = m_figures.counts;
    out.errors = m_figures.errors;
    out.adBreak = m_tracker.on(nowMs);
}

void SpliceWatch::watchDemuxer(GstElement* demuxer, const std::shared_ptr<StreamCounters>& counters)
{
    counters->splices().watched();
    g_object_set(demuxer, "send-scte35-events", TRUE, nullptr);
    connectHolding(demuxer, "pad-added", G_CALLBACK(onPadAdded), counters);
}

} // namespace zephyrscope
