#pragma once

#include <cstdint>
#include <optional>

namespace zephyrscope {

// A splice_info_section's command, by the names SCTE-35 gives them, in the
// order of their splice_command_type values' table.
enum class SpliceCommandType { SpliceNull, SpliceSchedule, SpliceInsert, TimeSignal, BandwidthReservation, PrivateCommand };
inline constexpr std::size_t kSpliceCommandTypes = 6;

// Where the splice was signalled: in the transport stream, or in an HLS or DASH manifest.
enum class SpliceSource { Ts, Hls, Dash };

// One splice command as the player found it. Trivially copyable, so a tick
// that copies the entry's list into a grown one allocates nothing.
struct SpliceCommand {
    SpliceCommandType command = SpliceCommandType::SpliceNull;
    SpliceSource source = SpliceSource::Ts;
    std::optional<std::uint32_t> eventId;
    // True for a break's start (out of the network), false for its end; none
    // where the command does not say (time_signal, splice_null).
    std::optional<bool> outOfNetwork;
    std::optional<std::int64_t> durationMs; // the break's length, where given
    // The splice point on the stream's clock (90 kHz, pts_adjustment added);
    // none for an immediate splice and for manifests.
    std::optional<std::uint64_t> splicePts;
    // When the splice takes effect and from when it was known: ms since 1970
    // UTC, and that time less the section's arrival.
    std::optional<std::int64_t> spliceWallMs;
    std::optional<std::int64_t> prerollMs;
};

// "splice_insert", "time_signal", ...
const char* SpliceCommandName(SpliceCommandType command);
// "ts", "hls", "dash".
const char* SpliceSourceName(SpliceSource source);

} // namespace zephyrscope
