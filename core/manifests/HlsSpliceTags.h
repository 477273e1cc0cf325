#pragma once

// The splices an HLS media playlist signals: EXT-X-DATERANGE with SCTE35-OUT,
// SCTE35-IN or SCTE35-CMD (a splice_info_section in hex, dated by the range's
// START-DATE; an IN by its end where it gives one), EXT-X-CUE-OUT:<duration> and
// EXT-X-CUE-IN (splice_insert out and in, no section), and EXT-X-SCTE35 (a
// section in its CUE attribute, base64). A cue is dated by its segment's
// EXT-X-PROGRAM-DATE-TIME, or the last one's plus the EXTINF durations since;
// undated without one. EXT-X-CUE-OUT-CONT only repeats a break already
// announced and is not a splice. Pure text work, any thread.

#include "ManifestSplice.h"

#include <string>

namespace zephyrscope {

class HlsSpliceTags {
public:
    static ManifestSplices parse(const std::string& playlist);
};

} // namespace zephyrscope
