#pragma once

#include "SpliceCommand.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zephyrscope {

// A splice a manifest signals (an HLS tag, a DASH Event): what the manifest
// itself says of it, and the splice_info_section it carries, if any, which the
// player reads with its section reader. The section's command, event id,
// direction and duration then win; the time is always the manifest's.
struct ManifestSplice {
    // What tells this splice apart within an entry, however often a live
    // manifest is fetched again: a DATERANGE's ID, a cue's position and date,
    // an Event's id.
    std::string id;
    // The splice as the manifest gives it: its source, its splice point on the
    // manifest's wall clock, and, for a tag without a section, its command,
    // direction and duration.
    SpliceCommand command;
    // A splice_info_section's bytes as the manifest carries them; empty for none.
    std::vector<std::uint8_t> section;

    // Section bytes from "0x..." hex (the prefix optional) or base64 text;
    // nothing when the text is not that, or is empty.
    static std::optional<std::vector<std::uint8_t>> fromHex(std::string_view text);
    static std::optional<std::vector<std::uint8_t>> fromBase64(std::string_view text);
};

// What one fetch of a manifest says of splices: those it signals, in manifest
// order, and the tags or elements that could not be read, each by a key that
// names it (its text), so that a live manifest fetched again counts one once.
struct ManifestSplices {
    std::vector<ManifestSplice> splices;
    std::vector<std::string> malformed;
};

} // namespace zephyrscope
