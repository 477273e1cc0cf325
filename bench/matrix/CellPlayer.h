#pragma once

// The player one cell plays into: the program's player (CWMPPlayer4) with fake
// sinks, read ten times a second on the default GMainContext, as the program's
// sampler reads it but without its countdown. It keeps what a single read
// cannot: the stalls whose picture moved again and their length, the counts
// never falling, and when the received packets last grew.
// Thread: the main thread, which runs the default GMainContext.

#include "CWMPPlayer4.h"
#include "EventRecorder.h"
#include "NetworkFigures.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace zephyrscope::bench {

class CellPlayer {
public:
    CellPlayer();
    ~CellPlayer();
    CellPlayer(const CellPlayer&) = delete;
    CellPlayer& operator=(const CellPlayer&) = delete;

    // Opens url; the open time is the harness's wall clock at this call.
    void open(const std::string& url);
    // Reads the player until condition holds or the time is up; whether it held.
    bool readUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);
    // Reads until the received packets stop growing for quiet (the sender's
    // stream is over), bounded by timeout.
    void readUntilPacketsStop(std::chrono::milliseconds quiet, std::chrono::milliseconds timeout);
    // Whether the first frame has been rendered (the player's start-up figure is set).
    bool hasFirstFrame() const { return m_firstSeenReadWallMs > 0; }
    // The harness's own bounds on the first frame: the wall time of the last read
    // that did not see it and of the first that did (ms since 1970).
    std::int64_t firstFrameNotYetWallMs() const { return m_firstNotYetReadWallMs; }
    std::int64_t firstFrameSeenWallMs() const { return m_firstSeenReadWallMs; }
    // Ends the entry (the figures read last stay).
    void stop();

    const NetworkFigures& figures() const { return m_last; }
    std::int64_t openWallMs() const { return m_openWallMs; }
    // Stalls whose picture moved again, and their summed length as the picture saw
    // it; a stall still running when the stream ended is the end, not a stall.
    int resumedStalls() const { return m_resumedStalls; }
    std::int64_t stallMs() const { return m_stallMs; }
    // When the last stall counted began, as the player timed it (wall, ms since 1970; 0: none).
    std::int64_t lastStallSinceWallMs() const { return m_countedStallSince; }
    // Every live-latency reading, for a median.
    const std::vector<double>& latencyReadings() const { return m_latencies; }
    // Empty, or which count fell and from what to what.
    const std::string& countsFell() const { return m_countsFell; }
    const testing::EventRecorder& events() const { return m_events; }
    // The first error the player reported, or empty.
    std::string error() const;

private:
    void read();

    std::unique_ptr<CWMPPlayer4> m_player;
    testing::EventRecorder m_events;
    NetworkFigures m_last, m_highest;
    std::int64_t m_openWallMs = 0;
    std::int64_t m_firstNotYetReadWallMs = 0, m_firstSeenReadWallMs = 0;
    std::int64_t m_countedStallSince = 0;
    int m_resumedStalls = 0;
    std::int64_t m_stallMs = 0;
    std::vector<double> m_latencies;
    std::string m_countsFell;
    std::chrono::steady_clock::time_point m_packetsGrew;
};

} // namespace zephyrscope::bench
