#include "SpliceSectionReader.h"

#include "MpegCrc32.h"

#include <glib.h>
// The section library says its API may change; 1.22's is the one read here.
#define GST_USE_UNSTABLE_API
#include <gst/mpegts/mpegts.h>

#include <algorithm>

namespace zephyrscope {

namespace {

constexpr std::uint8_t kSpliceInfoTableId = 0xFC;
// table_id to splice_command_type, the descriptor loop's length and CRC_32:
// the least a splice_info_section can be.
constexpr std::size_t kMinSectionBytes = 20;
constexpr std::uint64_t kPtsMask = (std::uint64_t {1} << 33) - 1;
constexpr std::uint64_t kTicksPerMs = 90;

bool wellFormed(const std::uint8_t* data, std::size_t size)
{
    if (!data || size < kMinSectionBytes || size > SpliceSectionReader::kMaxSectionBytes)
        return false;
    const std::size_t length = ((std::size_t {data[1]} & 0x0F) << 8 | data[2]) + 3;
    return data[0] == kSpliceInfoTableId && length == size && MpegCrc32(data, size) == 0;
}

// The section library's command types, as core names them.
constexpr std::pair<GstMpegtsSCTESpliceCommandType, SpliceCommandType> kCommands[] = {
    {GST_MTS_SCTE_SPLICE_COMMAND_NULL, SpliceCommandType::SpliceNull},
    {GST_MTS_SCTE_SPLICE_COMMAND_SCHEDULE, SpliceCommandType::SpliceSchedule},
    {GST_MTS_SCTE_SPLICE_COMMAND_INSERT, SpliceCommandType::SpliceInsert},
    {GST_MTS_SCTE_SPLICE_COMMAND_TIME, SpliceCommandType::TimeSignal},
    {GST_MTS_SCTE_SPLICE_COMMAND_BANDWIDTH, SpliceCommandType::BandwidthReservation},
    {GST_MTS_SCTE_SPLICE_COMMAND_PRIVATE, SpliceCommandType::PrivateCommand},
};

SpliceCommand commandOfEvent(SpliceCommandType type, const GstMpegtsSCTESIT& sit, const GstMpegtsSCTESpliceEvent& e)
{
    SpliceCommand c;
    c.command = type;
    c.eventId = e.splice_event_id;
    if (e.splice_event_cancel_indicator)
        return c; // a cancelled event says nothing of the network
    c.outOfNetwork = e.out_of_network_indicator != FALSE;
    if (e.duration_flag)
        c.durationMs = static_cast<std::int64_t>(e.break_duration / kTicksPerMs);
    if (e.insert_event && e.program_splice_flag && e.program_splice_time_specified && !e.splice_immediate_flag)
        c.splicePts = (e.program_splice_time + sit.pts_adjustment) & kPtsMask;
    return c;
}

} // namespace

std::optional<std::vector<SpliceCommand>> SpliceSectionReader::read(GstMpegtsSection* section)
{
    if (!section || !wellFormed(section->data, section->section_length))
        return std::nullopt;
    const GstMpegtsSCTESIT* sit = gst_mpegts_section_get_scte_sit(section);
    if (!sit)
        return std::nullopt;
    const auto known
        = std::ranges::find_if(kCommands, [&](const auto& c) { return c.first == sit->splice_command_type; });
    if (known == std::ranges::end(kCommands))
        return std::nullopt;
    const SpliceCommandType type = known->second;
    std::vector<SpliceCommand> commands;
    const bool perEvent = type == SpliceCommandType::SpliceInsert || type == SpliceCommandType::SpliceSchedule;
    if (perEvent && sit->fully_parsed && sit->splices) {
        for (guint i = 0; i < sit->splices->len; ++i)
            commands.push_back(commandOfEvent(
                type, *sit, *static_cast<const GstMpegtsSCTESpliceEvent*>(g_ptr_array_index(sit->splices, i))));
        return commands;
    }
    SpliceCommand c;
    c.command = type;
    if (type == SpliceCommandType::TimeSignal && sit->fully_parsed && sit->splice_time_specified)
        c.splicePts = (sit->splice_time + sit->pts_adjustment) & kPtsMask;
    commands.push_back(c);
    return commands;
}

std::optional<std::vector<SpliceCommand>> SpliceSectionReader::read(const std::uint8_t* data, std::size_t size)
{
    if (!wellFormed(data, size))
        return std::nullopt;
    gst_mpegts_initialize();
    // The section owns its copy of the bytes.
    GstMpegtsSection* section
        = gst_mpegts_section_new(0, static_cast<guint8*>(g_memdup2(data, size)), size);
    if (!section)
        return std::nullopt;
    std::optional<std::vector<SpliceCommand>> commands = read(section);
    gst_mpegts_section_unref(section);
    return commands;
}

} // namespace zephyrscope
