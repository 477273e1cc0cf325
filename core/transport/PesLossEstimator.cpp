#include "PesLossEstimator.h"

#include "TsPacket.h"

#include <algorithm>
#include <cmath>

namespace zephyrscope {

namespace {

constexpr std::size_t kPayload = 184;
constexpr std::int64_t kTicksPerSecond = 90000;
constexpr std::int64_t kDtsModulus = std::int64_t {1} << 33;

std::int64_t timestampOf(const std::uint8_t* p)
{
    return (std::int64_t {(p[0] >> 1) & 0x07} << 30) | (std::int64_t {p[1]} << 22) | (std::int64_t {p[2] >> 1} << 15)
        | (std::int64_t {p[3]} << 7) | (p[4] >> 1);
}

// Where the packet's payload begins, or 0 where it has none past its adaptation field.
std::size_t payloadOffset(const std::uint8_t* packet)
{
    const std::size_t offset = TsHasAdaptationField(packet) ? 5 + std::size_t {packet[4]} : 4;
    return offset < kTsPacketSize ? offset : 0;
}

bool pesStartOf(const std::uint8_t* packet)
{
    const std::size_t offset = payloadOffset(packet);
    if ((packet[1] & 0x40) == 0 || offset == 0 || offset + 9 > kTsPacketSize)
        return false;
    const std::uint8_t* pes = packet + offset;
    return pes[0] == 0 && pes[1] == 0 && pes[2] == 1 && pes[3] >= 0xBC;
}

} // namespace

PesLossEstimator::Slot* PesLossEstimator::slotOf(std::uint16_t pid, bool pesStart)
{
    const std::uint8_t index = m_slotOf[pid & 0x1FFF];
    if (index != 0)
        return &m_slots[index - 1];
    if (!pesStart || m_usedSlots == kSlots)
        return nullptr;
    Slot& slot = m_slots[m_usedSlots++];
    slot.pid = pid;
    slot.used = true;
    m_slotOf[pid & 0x1FFF] = static_cast<std::uint8_t>(m_usedSlots);
    return &slot;
}

PesLossEstimator::Beyond PesLossEstimator::packet(std::uint16_t pid, const std::uint8_t* packet, std::uint64_t residue)
{
    const bool pesStart = pesStartOf(packet);
    Slot* slot = slotOf(pid, pesStart);
    if (!slot)
        return {};
    if (residue > 0 && slot->known) {
        slot->receivedBeforeJump = slot->received;
        slot->jumped = true;
        slot->residues += residue;
        slot->lastResidue = residue;
    }
    if (pesStart || (packet[1] & 0x40) != 0)
        return startPes(*slot, packet);
    ++slot->received;
    return {};
}

void PesLossEstimator::forget(std::uint16_t pid)
{
    const std::uint8_t index = m_slotOf[pid & 0x1FFF];
    if (index != 0) {
        Slot& slot = m_slots[index - 1];
        slot.known = slot.jumped = false;
        slot.residues = 0;
    }
}

PesLossEstimator::Beyond PesLossEstimator::startPes(Slot& slot, const std::uint8_t* packet)
{
    const std::size_t offset = payloadOffset(packet);
    const std::uint8_t* pes = packet + offset;
    const bool readable = pesStartOf(packet) && (pes[7] & 0x80) != 0;
    std::int64_t dts = 0;
    if (readable)
        dts = timestampOf(pes + ((pes[7] & 0xC0) == 0xC0 ? 14 : 9));
    Beyond beyond;
    const std::int64_t span = (dts - slot.dts + kDtsModulus) % kDtsModulus;
    if (readable && slot.known && span > 0 && span < kLongestSpanTicks) {
        if (slot.jumped && !settled(slot) && slot.waiting.span == 0) {
            // Without the frame step, how many frames the jumps took shows at
            // a later start; a stream's first frames are no rate to size them by.
            slot.waiting = jumpsOf(slot, span);
            beyond.waiting = true;
        } else {
            if (slot.jumped)
                beyond = resolve(jumpsOf(slot, span), slot.step, rateOf(slot));
            // The packets from A's start to E's, lost ones counted, over the media time between.
            const double decay = std::exp(-static_cast<double>(span) / kTicksPerSecond);
            slot.packets = slot.packets * decay + static_cast<double>(slot.received + slot.residues) + beyond.estimate;
            slot.ticks = slot.ticks * decay + static_cast<double>(span);
            slot.measured += span;
            const std::int64_t frames = slot.step > 0 ? std::llround(static_cast<double>(span) / slot.step) : 1;
            slot.step = frames <= 1 ? span : slot.step;
        }
        if (slot.waiting.span > 0 && settled(slot) && beyond.residues == 0 && !beyond.waiting) {
            beyond = resolve(slot.waiting, slot.step, rateOf(slot));
            beyond.earlier = true;
            slot.waiting = {};
        }
    } else {
        slot.step = slot.measured = 0;
        slot.waiting = {};
    }
    slot.known = readable;
    slot.dts = dts;
    slot.received = 1;
    slot.receivedBeforeJump = 0;
    slot.residues = slot.lastResidue = 0;
    slot.jumped = false;
    slot.expected = 0;
    const std::size_t length = readable ? (std::size_t {pes[4]} << 8) | pes[5] : 0;
    if (length > 0) {
        // Its header's six bytes and the length; the first packet holds what its adaptation field leaves.
        const std::size_t first = kTsPacketSize - offset, total = length + 6;
        slot.expected = static_cast<std::uint32_t>(1 + (total > first ? (total - first + kPayload - 1) / kPayload : 0));
    }
    return beyond;
}

PesLossEstimator::Jumps PesLossEstimator::jumpsOf(const Slot& slot, std::int64_t span)
{
    return {span, slot.expected, slot.received, slot.receivedBeforeJump, slot.residues, slot.lastResidue};
}

bool PesLossEstimator::settled(const Slot& slot)
{
    return slot.step > 0 && slot.measured >= kSettledTicks;
}

double PesLossEstimator::rateOf(const Slot& slot)
{
    return slot.ticks > 0.0 ? slot.packets / slot.ticks : 0.0;
}

PesLossEstimator::Beyond PesLossEstimator::resolve(const Jumps& jumps, std::int64_t step, double rate)
{
    const double received = jumps.received, before = jumps.receivedBeforeJump, after = received - before;
    const std::int64_t frames = step > 0 ? std::llround(static_cast<double>(jumps.span) / step) : 1;
    Beyond beyond;
    beyond.residues = jumps.residues;
    if (jumps.expected > 0 && frames <= 1) {
        // E follows A: A's length tells all its jumps took.
        beyond.floor = std::max(0.0, jumps.expected - received - static_cast<double>(jumps.residues));
        beyond.estimate = beyond.floor;
    } else if (jumps.expected > 0) {
        // Frames lost after A: its last jump took A's end and the frames up to
        // E but for what came after it, the tail of the last of them; of that
        // one no more than a frame's worth (a key frame's tail is larger).
        const double ofA = std::max(0.0, jumps.expected - before);
        const double lastResidue = static_cast<double>(jumps.lastResidue);
        const double between = rate * static_cast<double>(jumps.span - step);
        const double lost = ofA + std::max(0.0, between - std::min(after, rate * static_cast<double>(step)));
        beyond.floor = std::max(0.0, ofA - lastResidue);
        beyond.estimate = std::max(beyond.floor, lost - lastResidue);
    } else if (rate > 0.0) {
        beyond.estimate = std::max(0.0, rate * static_cast<double>(jumps.span) - received
                                            - static_cast<double>(jumps.residues));
    }
    return beyond;
}

std::uint64_t PesLossEstimator::Beyond::sixteens() const
{
    return 16 * static_cast<std::uint64_t>(std::llround(std::max(estimate, floor) / 16.0));
}

} // namespace zephyrscope
