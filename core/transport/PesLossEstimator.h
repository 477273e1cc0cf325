#pragma once

// How many packets of a PID a continuity jump stands for, beyond its four bits.
// The counter gives the count modulo 16 exactly; the magnitude comes from the
// PID's own PES packets, on the stream's clock rather than arrival time (a
// rate cap drops datagrams while the rest keep coming at its pace):
//
// - a PES packet's declared length gives the TS packets it takes, so the
//   packets missing from the PES under way (A) when the jump came are its
//   size less those received of it;
// - the DTS (or PTS) of the first PES start after the jump (E) tells how much
//   media time was wholly lost between: the frames after A up to E, at the
//   PID's recent packets per media second (A's own size by that rate too,
//   where its length is not declared), less the tail received of the last of
//   them, but no more than a frame's worth (that frame may be a key frame).
//
// Frames lost are counted only by a frame step known and a rate measured over
// kSettledTicks of media: jumps met before (a stream joined at a key frame
// whose tail a queue dropped) wait for them, one PES's at a time per PID.
//
// What the PES shows beyond the residues is an estimate and a floor (what A's
// declared length alone shows missing); counted alone, it is resolved to the
// count that matches the counter's residue (residue + 16 j, the nearest). A's
// own jumps are all told by its length where no frame was lost after it; where
// frames were, what is told belongs to its last jump. Without a PES start of A seen (PSI, a stream
// just joined) or a clock that runs on (a jump in DTS), the residue stands.
//
// Up to kSlots PIDs carrying PES are followed; the rest count by residue.
// Fixed storage, no allocation after construction: this sees every packet.
// Not thread-safe; the caller serialises.

#include <array>
#include <cstdint>

namespace zephyrscope {

class PesLossEstimator {
public:
    static constexpr std::size_t kSlots = 16;
    static constexpr std::int64_t kLongestSpanTicks = 5 * 90000; // a longer DTS step is a jump of the clock
    static constexpr std::int64_t kSettledTicks = 90000 / 2;     // media time a rate is measured over before use

    // Packets missing beyond the residues of a PID's jumps, as resolved.
    struct Beyond {
        double estimate = 0.0, floor = 0.0;
        std::uint64_t residues = 0; // of the jumps resolved; 0: none were
        // Which jumps: those of the PES just ended, or of one before it whose
        // resolving waited for the frame step and a rate (waiting: it does so now).
        bool earlier = false, waiting = false;
        // The count beyond them that matches their residue: a multiple of 16.
        std::uint64_t sixteens() const;
    };

    // A payload packet of pid, after a continuity jump of `residue` (0: none)
    // that no gap in arrival explains. Once the PES start after this PID's
    // pending jumps resolves them, what they stand for beyond their residues.
    Beyond packet(std::uint16_t pid, const std::uint8_t* packet, std::uint64_t residue);
    // Packets of pid went missing where their count is reckoned otherwise (a
    // gap): what its PES under way had is unknown from here on.
    void forget(std::uint16_t pid);

private:
    // What a PES (A) had of its jumps when the next start (E) came, span after A's.
    struct Jumps {
        std::int64_t span = 0;           // 90 kHz; 0: none waiting
        std::uint32_t expected = 0, received = 0, receivedBeforeJump = 0;
        std::uint64_t residues = 0, lastResidue = 0;
    };
    struct Slot {
        std::uint16_t pid = 0;
        bool used = false;
        bool known = false;          // the PES under way began with a readable header
        std::int64_t dts = 0;        // its DTS (PTS without one), 90 kHz
        std::int64_t step = 0;       // the DTS step to it from the PES before; 0: none yet
        std::uint32_t expected = 0;  // TS packets its declared length takes; 0: not declared
        std::uint32_t received = 0;  // of it (and of whatever followed it unseen) so far
        std::uint32_t receivedBeforeJump = 0; // ... before its last jump
        std::uint64_t residues = 0;  // of the jumps pending
        std::uint64_t lastResidue = 0;
        bool jumped = false;
        double packets = 0.0, ticks = 0.0; // the recent rate, decayed over about a second of media time
        std::int64_t measured = 0;   // media time the rate has taken in since the clock began
        // Jumps met before the step was known (a stream joined at a key frame
        // whose tail was lost): how many frames they spanned is told later.
        Jumps waiting;
    };

    Slot* slotOf(std::uint16_t pid, bool pesStart);
    Beyond startPes(Slot& slot, const std::uint8_t* packet);
    static Jumps jumpsOf(const Slot& slot, std::int64_t span);
    static double rateOf(const Slot& slot); // packets per 90 kHz tick
    static bool settled(const Slot& slot);  // the step known and the rate measured over kSettledTicks
    static Beyond resolve(const Jumps& jumps, std::int64_t step, double rate);

    std::array<std::uint8_t, 8192> m_slotOf {}; // slot + 1; 0: none
    std::array<Slot, kSlots> m_slots {};
    std::size_t m_usedSlots = 0;
};

} // namespace zephyrscope
