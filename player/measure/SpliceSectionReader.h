#pragma once

// Reads SCTE-35 splice_info_sections with GStreamer's MPEG-TS section library,
// bounded: the bytes are checked before the library sees them, so a truncated
// or oversized section, or one whose CRC_32 is wrong, is refused, never read.
// Pure but for the library; any thread.

#include "SpliceCommand.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

typedef struct _GstMpegtsSection GstMpegtsSection;

namespace zephyrscope {

class SpliceSectionReader {
public:
    // A section is at most 4096 bytes: its length field has 12 bits.
    static constexpr std::size_t kMaxSectionBytes = 4096;

    // The commands of a section (one per splice event of a splice_insert or
    // splice_schedule, one for the others), each with its splice point on the
    // stream's clock where it has one; no times on the wall clock yet. None
    // when the section cannot be read: too short for its own length or for a
    // splice_info_section's fixed fields, longer than its length says or than
    // a section can be, not table 0xFC, a wrong CRC_32, or refused by the library.
    static std::optional<std::vector<SpliceCommand>> read(const std::uint8_t* data, std::size_t size);
    // The same of a section the demuxer parsed (its bytes checked as above).
    static std::optional<std::vector<SpliceCommand>> read(GstMpegtsSection* section);
};

} // namespace zephyrscope
