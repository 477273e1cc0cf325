#pragma once

// The splices a DASH MPD signals in its Periods' EventStreams: the scheme
// urn:scte:scte35:2013:xml (an Event holding a SpliceInfoSection as XML, its
// SpliceInsert or TimeSignal read here) and urn:scte:scte35:2014:xml+bin (an
// Event holding the section's bytes, base64, in Signal/Binary, for the player's
// section reader). Each is dated on the MPD's wall clock: availabilityStartTime
// plus its Period's start plus the Event's presentationTime (less the stream's
// presentationTimeOffset) over its timescale; undated without an
// availabilityStartTime. Pure XML work with libxml2, any thread.

#include "ManifestSplice.h"

#include <string>

namespace zephyrscope {

class DashSpliceEvents {
public:
    static ManifestSplices parse(const std::string& mpd);
};

} // namespace zephyrscope
