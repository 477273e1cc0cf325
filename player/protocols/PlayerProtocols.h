#pragma once

// Every protocol the player plays, as the player plays it: one descriptor per
// room of this folder, each against core's Protocol rows (core/protocols/Protocol.h).
// Adding a protocol: its row in core, its room here with its descriptor and
// measurement file, and one line in PlayerProtocols.cpp. Private to player/.

#include "PlayerProtocol.h"

#include <span>
#include <string_view>

namespace zephyrscope {

// Every descriptor, for the probes and statistics to look sources up in.
std::span<const PlayerProtocol* const> playerProtocols();

// Makes every protocol's own elements and type finders known to GStreamer
// (once per process; after gst_init, before any pipeline).
void registerPlayerProtocolElements();

// The descriptor of the protocol a URL scheme selects (case-insensitive, as
// core's table decides); nullptr for a scheme without one (file, RTMP: nothing
// of their own to set up or measure) or not played.
const PlayerProtocol* playerProtocolForScheme(std::string_view scheme);

} // namespace zephyrscope
