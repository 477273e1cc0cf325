#pragma once

// Which video frames of an MPEG-TS stream GStreamer's tsdemux (1.22) passes on
// to the decoder, given the TS packets a relay passed on, in order. It
// collects each PES from its start and passes it on when it ends: at its
// length (mpegtsmux gives the sender's video PES one), or at the next start on
// its PID, as it is then (cut short where its end was lost). A jump of the
// continuity counter within it throws it away, and nothing of that PID is
// collected until its next start (a PES without a length whose next start was
// lost goes too); a loss of a multiple of 16 packets slips through unseen. A
// discontinuity (an RTP sequence gap: the depayloader marks the next buffer
// DISCONT) drains and flushes it: what it was collecting goes out cut short,
// its PCR observations go, and the PES it ends from then on wait until it can
// time them again: a PES begun after a PCR ended; a discontinuity before that
// throws them away. The stream's start is such a flush. Pure; the caller
// serialises.

#include <cstdint>
#include <map>
#include <vector>

namespace zephyrscope::tools {

class TsDemuxFollower {
public:
    // A PES start on a PID carrying video frame number frame (from 1; 0 for any other PID).
    struct Start {
        bool pes = false;            // its payload begins a PES
        std::uint32_t length = 0;    // the whole PES's bytes, its start code on; 0: unbounded
        std::uint64_t frame = 0;
    };

    // The receiver's input broke before the next packet; the frames it passes
    // on as it drains are added to demuxed.
    void discontinuity(std::vector<std::uint64_t>& demuxed);
    // One TS packet passed on (188 bytes); start: what it begins, for a packet
    // with payload_unit_start_indicator. The video frames found passed on are
    // added to demuxed, in order.
    void packet(const unsigned char* packet, const Start& start, std::vector<std::uint64_t>& demuxed);

private:
    struct Pid {
        bool collecting = false;
        bool timed = false;          // its PES header came after a PCR since the last flush
        int lastCounter = -1;        // -1: none
        std::uint32_t left = 0;      // a bounded PES's bytes still to come
        std::uint64_t frame = 0;
    };
    void ended(Pid& pid, std::vector<std::uint64_t>& demuxed);

    std::map<int, Pid> m_pids;
    bool m_pcrSeen = false, m_timed = false;
    std::vector<std::uint64_t> m_waiting; // frames ended before the demuxer could time them
};

} // namespace zephyrscope::tools
