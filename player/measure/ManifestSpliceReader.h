#pragma once

// The splices an entry's manifests signal (HLS tags, DASH EventStreams): the
// manifest as the demuxer first read it, and a copy of each playlist or MPD
// the demuxer fetched since (a live one is fetched again and again), fetched
// once more by the player, read by core's parsers and handed to the entry's
// SpliceWatch, which keeps each splice once. One fetch in flight per URL.
// Thread: the default GMainContext's. Owned by the entry's measurement.

#include "HttpFetch.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace zephyrscope {

class StreamCounters;

class ManifestSpliceReader {
public:
    explicit ManifestSpliceReader(std::shared_ptr<StreamCounters> counters);

    // A playlist's or MPD's text, read for splices at nowMs (ms since 1970 UTC).
    void read(const std::string& text, std::int64_t nowMs);
    // Fetches again each manifest the demuxer fetched since the last call.
    void poll();

private:
    std::shared_ptr<StreamCounters> m_counters;
    std::map<std::string, std::unique_ptr<HttpFetch>> m_fetches; // by URL
};

} // namespace zephyrscope
