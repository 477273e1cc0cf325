#pragma once

// Which pictures a video decoder makes from damaged input: those from the
// first access unit after data went missing up to the next whole key frame,
// which refers to nothing before it. The decoder conceals what it lacks and
// gives the picture out as if it were whole: GStreamer 1.22's avdec_h264 marks
// a picture corrupted only before the first key frame it is given (libav's
// "not recovered yet"), never after a loss in mid-stream, where libav's own
// error flags go no further than the AVFrame. So the player marks them itself
// from what went into the decoder: a jump forward in the units' decoding times
// of a frame and a half or more, however long (a demuxer drops a damaged
// packet whole: tsdemux, a whole PES; an outage takes seconds), a unit marked
// DISCONT or corrupted (a depayloader's mark after lost packets, on a unit that
// may lack some of its own), a unit a demuxer marked DISCONT (data went missing
// before it: the unit itself is whole, so a key frame so marked ends the
// damage), or a GAP event for missing data. Pure: it is given the units and
// pictures with their times; it never reads a clock. Private to player/; the
// caller serialises.

#include <cstdint>
#include <deque>

namespace zephyrscope {

class DamageMarks {
public:
    // One access unit as the decoder takes it. Times in us on the stream's
    // clock, -1 for none.
    struct Unit {
        std::int64_t ptsUs = -1;
        std::int64_t dtsUs = -1;  // its presentation time counts where it has none
        std::int64_t frameUs = 0; // the stream's frame duration; 0 unknown
        bool key = false;         // decodable alone (no delta unit)
        bool broken = false;      // data went missing right before it or from it
        bool lostBefore = false;  // data went missing right before it, none from it
    };

    // An access unit goes into the decoder, in decoding order.
    void unitIn(const Unit& unit);
    // Data went missing before the next unit (a GAP event for missing data).
    void dataMissing() { m_lossPending = true; }
    // The decoder gives out the picture of this presentation time (us; in
    // presentation order): whether it was made from damaged input.
    bool damaged(std::int64_t ptsUs);
    // The stream starts again (a flush, a new stream): nothing is damaged.
    void reset();

    // The stretches of damaged input begun so far.
    std::uint64_t losses() const { return m_losses; }

private:
    // Pictures [fromUs, toUs) are damaged; toUs is -1 until the key frame comes.
    struct Span {
        std::int64_t fromUs = 0;
        std::int64_t toUs = -1;
    };
    // A decoder holds a few pictures at most; more spans than this waiting
    // for their pictures means none is coming for the oldest.
    static constexpr std::size_t kMaxSpans = 64;

    std::int64_t m_lastUs = -1; // the last unit's decoding time
    std::deque<Span> m_spans;
    bool m_lossPending = false;
    bool m_first = true;
    std::uint64_t m_losses = 0;
};

} // namespace zephyrscope
