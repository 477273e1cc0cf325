#pragma once

// Which repairs of one RTP stream a receiver's rtpjitterbuffer (GStreamer
// 1.22, as webrtcbin sets it up: slave mode, retransmission asked for, no
// lip-sync offset) took in time, worked out from when each packet reached it.
//
// Its deadline for a missing packet is not its original's arrival plus the
// latency: it times each packet by its RTP timestamp on its own mapping of the
// sender's clock onto the arrivals (the least lag over a window of 512
// packets or 2 s, smoothed; started over when an arrival strays a second from
// it, or comes later than its time plus the latency), and gives a packet up
// once the time it expected it plus the latency has passed. A stream whose
// packets share timestamps (video) expects a run of missing packets at the time
// of the packet that showed the gap; one with a timestamp each (audio) spaces
// them between the packets either side, and gives up at once those already
// past. A repair counts where it came before its packet was given up.
// Pure: it is given every packet that reached the receiver, in order, with its
// time on any one clock; repairs with their original's sequence number.

#include <array>
#include <cstdint>
#include <map>
#include <set>

namespace zephyrscope::tools {

class JitterBufferDeadlines {
public:
    struct Verdict {
        std::uint64_t recovered = 0;  // repairs taken before their packet was given up
        std::uint64_t late = 0;       // repairs of packets already given up
        std::uint64_t givenUp = 0;    // missing packets given up (repaired late or never)
        std::uint64_t startedOver = 0; // times the timestamp mapping started over
    };

    JitterBufferDeadlines(std::uint32_t clockRate, std::int64_t latencyNs);

    void original(std::uint16_t sequence, std::uint32_t timestamp, std::int64_t atNs);
    void repair(std::uint16_t sequence, std::uint32_t timestamp, std::int64_t atNs);
    Verdict verdict() const { return m_verdict; }

private:
    // The receiver's time for a packet (-1: none, a repair it discards).
    std::int64_t timestampFor(std::uint32_t rtpTime, std::int64_t atNs, int gap, bool repair);
    std::int64_t skewed(std::int64_t rtpNs, std::int64_t atNs, int gap, bool repair);
    void fillWindow(std::int64_t delta, std::int64_t sendDiff);
    void resync(std::int64_t atNs, std::int64_t rtpNs, bool resetSkew);
    void resetSkew();
    std::int64_t extended(std::uint32_t rtpTime);
    // Gives up the packets whose deadline has passed by now.
    void expire(std::int64_t nowNs);
    void missing(std::uint16_t first, int gap, std::int64_t pts, std::int64_t nowNs);
    void spacing(std::uint32_t rtpTime, std::int64_t pts);

    static constexpr int kWindow = 512;

    std::uint32_t m_clockRate;
    std::int64_t m_latencyNs;
    Verdict m_verdict;

    // The timestamp mapping.
    std::int64_t m_baseTime = -1, m_baseRtpNs = -1, m_extRtp = -1, m_lastRtp = -1;
    std::array<std::int64_t, kWindow> m_window {};
    int m_windowPos = 0, m_windowSize = 0;
    bool m_windowFilling = true, m_needResync = true;
    std::int64_t m_windowMin = 0, m_skew = 0, m_prevOut = -1, m_prevSendDiff = -1;

    // What it expects next, and how packets are spaced.
    int m_next = -1;
    std::int64_t m_lastInPts = -1, m_spacing = 0, m_spacingPts = -1, m_spacingRtp = -1, m_lastArrivalRtp = -1;
    int m_equidistant = 0;

    std::map<std::uint16_t, std::int64_t> m_waiting; // missing packets and the time each is expected
    std::set<std::uint16_t> m_givenUp, m_recovered;
};

} // namespace zephyrscope::tools
