#include "DatagramGapEstimator.h"

#include "TsPacket.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

namespace zephyrscope {

namespace {

constexpr std::int64_t kTicksPerUs = 27;
// Constant if the last four spans agree; the recent rate is over the last eight (two seconds).
constexpr std::size_t kConstantSpans = 4, kRecentSpans = 8;
// A PCR interval longer than this is no rate sample: the clock jumped, or data stopped.
constexpr std::int64_t kLongestPcrIntervalTicks = 1000000 * kTicksPerUs;
// A gap lost what it spanned only if its stream time was mostly missing.
constexpr double kLostShareOfGap = 0.5;

} // namespace

void DatagramGapEstimator::datagram(std::int64_t arrivalUs, const std::uint8_t* data, std::size_t size,
                                    bool judgeGaps)
{
    std::optional<std::int64_t> intervalUs;
    if (m_lastArrivalUs)
        intervalUs = std::max<std::int64_t>(0, arrivalUs - *m_lastArrivalUs);
    m_lastArrivalUs = arrivalUs;
    ++m_datagram;
    m_arrivalUs = arrivalUs;
    if (m_pending && arrivalUs - m_pending->endUs > kPcrWaitUs)
        closeGap();
    settleHoles(arrivalUs - kHoleSettleUs);

    // A stream's first datagrams may come in a lump (what the socket held before
    // it was read): no spacing is usual before the window is full or spans a second.
    const bool judged = m_window.size() == kWindow || (m_window.size() >= kMinIntervals && m_windowUs >= kMinWindowUs);
    while (!m_largest.empty() && m_largest.front().first < arrivalUs - kSpacingSpanUs)
        m_largest.pop_front();
    const double meanUs = judged ? static_cast<double>(m_windowUs) / static_cast<double>(m_window.size()) : 0.0;
    const double usualUs = judged && !m_largest.empty() ? std::max(meanUs, static_cast<double>(m_largest.front().second))
                                                        : meanUs;
    const bool gap = intervalUs && usualUs > 0.0 && static_cast<double>(*intervalUs) > kGapFactor * usualUs;
    if (gap && judgeGaps)
        openGap(arrivalUs, *intervalUs, usualUs);
    if (intervalUs && !gap) {
        // The largest spacing of the last second, kept as a falling run.
        while (!m_largest.empty() && m_largest.back().second <= *intervalUs)
            m_largest.pop_back();
        m_largest.emplace_back(arrivalUs, *intervalUs);
    }

    const Counts counts = readPackets(data, size);
    if (!intervalUs)
        return;
    const auto capUs = static_cast<std::int64_t>(kGapFactor * usualUs);
    const Interval interval {gap ? capUs : *intervalUs, gap, counts.packets, counts.payloadPackets};
    m_window.push_back(interval);
    addInterval(interval, 1);
    if (m_window.size() > kWindow) {
        addInterval(m_window.front(), -1);
        m_window.pop_front();
    }
}

void DatagramGapEstimator::addInterval(const Interval& interval, int sign)
{
    m_windowUs += sign * interval.us;
    if (interval.gap)
        return;
    m_rateUs += sign * interval.us;
    m_windowDatagrams += static_cast<std::uint64_t>(sign);
    m_windowPackets += static_cast<std::uint64_t>(sign * static_cast<std::int64_t>(interval.packets));
    m_windowPayload += static_cast<std::uint64_t>(sign * static_cast<std::int64_t>(interval.payloadPackets));
}

DatagramGapEstimator::Counts DatagramGapEstimator::readPackets(const std::uint8_t* data, std::size_t size)
{
    Counts counts;
    for (std::size_t at = 0; at + kTsPacketSize <= size; at += kTsPacketSize) {
        const std::uint8_t* packet = data + at;
        if (packet[0] != kTsSyncByte)
            continue;
        const std::uint16_t pid = TsPid(packet);
        ++counts.packets;
        if (pid != kTsNullPid && TsHasPayload(packet)) {
            ++counts.payloadPackets;
            checkCounter(pid, packet);
        }
        if (pid != kTsNullPid) {
            const std::optional<std::int64_t> pcr = TsPcr(packet);
            if (pcr && m_pcrPid < 0)
                m_pcrPid = pid;
            if (pcr && pid == m_pcrPid)
                takePcr(*pcr);
        }
        ++m_packets;
    }
    return counts;
}

void DatagramGapEstimator::checkCounter(std::uint16_t pid, const std::uint8_t* packet)
{
    const std::uint8_t counter = packet[3] & 0x0F;
    PidState& state = m_pids[pid];
    // A PID's first packet after a gap shows what the gap took of it; its later
    // jumps are losses of their own.
    const auto gapNumber = static_cast<std::uint16_t>(m_figures.gaps);
    const bool firstAfterGap = m_pending && state.gapNumber != gapNumber;
    state.gapNumber = gapNumber;
    // A packet sent twice repeats its counter and its bytes (other bytes: 15 lost); a
    // discontinuity starts it afresh. The counter expected next is state.counter
    // modulo 16 (it is kept one up, so 0 means none yet).
    std::uint64_t tail = 0;
    std::memcpy(&tail, packet + kTsPacketSize - sizeof tail, sizeof tail);
    const bool sentTwice = counter == static_cast<std::uint8_t>(state.counter - 1) && tail == state.tail;
    const std::uint64_t missing = static_cast<std::uint8_t>(counter - state.counter) & 0x0F;
    std::uint64_t residue = 0; // a jump outside gaps, whose magnitude the PES may tell
    state.tail = tail;
    if (state.counter != 0 && !TsDiscontinuity(packet) && !sentTwice && missing != 0) {
        if (firstAfterGap) {
            m_pending->counterMissing += missing;
            m_pes.forget(pid);
        } else {
            residue = missing;
            state.jumpHole = countInHole(state.lastDatagram, missing);
        }
    }
    state.counter = static_cast<std::uint8_t>(counter + 1);
    state.lastDatagram = m_datagram;
    const PesLossEstimator::Beyond beyond = m_pes.packet(pid, packet, residue);
    if (beyond.waiting) {
        state.waitingHole = state.jumpHole;
        if (m_heldHole == kOutright && state.jumpHole != kSpread)
            m_heldHole = state.jumpHole;
    }
    if (beyond.residues > 0) {
        const std::uint64_t hole = beyond.earlier ? state.waitingHole : state.jumpHole;
        if (hole == m_heldHole)
            m_heldHole = kOutright;
        countBeyond(hole, beyond);
    }
}

void DatagramGapEstimator::countBeyond(std::uint64_t hole, const PesLossEstimator::Beyond& beyond)
{
    // Where the jump was counted: outright, spread over holes, or in a hole
    // still open (one settled has taken its least count already).
    if (hole == kOutright || hole == kSpread) {
        (hole == kOutright ? m_figures.lostEstimate : m_spread) += beyond.sixteens();
        return;
    }
    for (Hole& open : m_holes) {
        if (open.datagram == hole) {
            open.beyond.estimate += beyond.estimate;
            open.beyond.floor += beyond.floor;
        }
    }
}

bool DatagramGapEstimator::wholeDatagramsOfPayload() const
{
    return m_windowDatagrams >= kMinIntervals && m_windowPackets == kHolePackets * m_windowDatagrams
        && m_windowPayload == m_windowPackets;
}

std::uint64_t DatagramGapEstimator::countInHole(std::uint64_t lastDatagram, std::uint64_t missing)
{
    // Whole datagrams are lost: a jump inside the datagram its PID was last in is
    // no hole's; nor, wholly, one over a hole already settled.
    if (lastDatagram == m_datagram || lastDatagram < m_settledDatagram) {
        m_figures.lostEstimate += missing;
        return kOutright;
    }
    // The holes since the PID's last packet: one takes the jump; among several,
    // which took what cannot be told, and the holes share it as they settle.
    auto first = m_holes.end();
    while (first != m_holes.begin() && std::prev(first)->datagram > lastDatagram)
        --first;
    if (first == m_holes.end()) {
        m_holes.push_back({m_datagram, m_arrivalUs, missing, {}});
        return m_datagram;
    }
    if (std::next(first) == m_holes.end()) {
        first->residues += missing;
        return first->datagram;
    }
    m_spread += missing;
    return kSpread;
}

void DatagramGapEstimator::settleHoles(std::int64_t beforeUs)
{
    while (!m_holes.empty() && m_holes.front().arrivalUs < beforeUs) {
        // Whether datagrams were whole ones of payload shows once the window is full
        // enough; a hole whose PES waits for a rate to size it by, once it is there.
        const bool waits = m_windowDatagrams < kMinIntervals || m_holes.front().datagram == m_heldHole;
        if (waits && m_holes.front().arrivalUs >= beforeUs + kHoleSettleUs - kHoleWaitUs)
            break;
        if (m_holes.front().datagram == m_heldHole)
            m_heldHole = kOutright;
        m_figures.lostEstimate += holeLoss(m_holes.front());
        m_settledDatagram = m_holes.front().datagram;
        m_holes.pop_front();
    }
    if (m_holes.empty()) {
        m_figures.lostEstimate += m_spread;
        m_spread = 0;
    }
}

std::uint64_t DatagramGapEstimator::holeLoss(const Hole& hole)
{
    const std::uint64_t residues = hole.residues;
    if (!wholeDatagramsOfPayload())
        return residues + hole.beyond.sixteens();
    // k datagrams took 7k packets: the hole's jumps and a share of those spread, modulo
    // 16. For each share, the k (+ 16 m) nearest what the PES showed with it; of those the
    // nearest, the smaller share where as near (one not this hole's leaves another short).
    const double shown = static_cast<double>(residues) + std::max(hole.beyond.estimate, hole.beyond.floor);
    const double run = 16.0 * kHolePackets;
    std::uint64_t best = 0, bestShare = 0;
    double bestMiss = 0.0;
    for (std::uint64_t share = 0; share <= std::min<std::uint64_t>(m_spread, 15); ++share) {
        const std::uint64_t owed = residues + share;
        std::uint64_t datagrams = (owed % 16) * kHolePacketsInverse % 16; // 7 k = owed modulo 16
        while (datagrams == 0 || kHolePackets * datagrams < owed)
            datagrams += 16;
        const double target = shown + static_cast<double>(share);
        const double more = std::max(0.0, std::round((target - static_cast<double>(kHolePackets * datagrams)) / run));
        datagrams += 16 * static_cast<std::uint64_t>(more);
        const double miss = std::abs(static_cast<double>(kHolePackets * datagrams) - target);
        if (share == 0 || miss < bestMiss) {
            best = datagrams;
            bestShare = share;
            bestMiss = miss;
        }
    }
    m_spread -= bestShare;
    return kHolePackets * best;
}

void DatagramGapEstimator::takePcr(std::int64_t pcr)
{
    // m_packets is this packet's index: the packets from the last PCR's up to it
    // are the bytes between the two PCRs.
    bool whole = true; // no packet of the interval this PCR ends is missing
    if (m_pending && !m_pending->ratePackets && m_pending->pcrBefore)
        whole = resolveGap(pcr);
    // The first PCR ends no interval.
    const std::int64_t ticks = m_lastPcr ? (pcr - *m_lastPcr + kPcrWrapTicks) % kPcrWrapTicks : 0;
    if (whole && ticks > 0 && ticks < kLongestPcrIntervalTicks) {
        m_span.packets += m_packets - m_lastPcrPacket;
        m_span.ticks += ticks;
        if (m_span.ticks >= kRateSpanUs * kTicksPerUs) {
            m_spans.push_back(m_span);
            if (m_spans.size() > kRecentSpans)
                m_spans.pop_front();
            m_span = {};
        }
    } else {
        m_span = {};
    }
    m_lastPcr = pcr;
    m_lastPcrPacket = m_packets;
}

bool DatagramGapEstimator::resolveGap(std::int64_t pcr)
{
    PendingGap& gap = *m_pending;
    const std::int64_t ticks = (pcr - *gap.pcrBefore + kPcrWrapTicks) % kPcrWrapTicks;
    const double rate = packetRate() / 1e6;
    const double streamUs = static_cast<double>(ticks) / kTicksPerUs;
    const double lengthUs = static_cast<double>(gap.endUs - gap.startUs);
    // A PCR that jumped says nothing of the gap: the arrival time is all there is.
    if (rate <= 0.0 || streamUs <= 0.0 || streamUs > lengthUs + kPcrWaitUs) {
        gap.ratePackets = gap.arrivalPackets;
        return false;
    }
    const double missing = std::max(0.0, rate * streamUs - static_cast<double>(m_packets - gap.packetsBefore));
    // Data held back comes after the gap with its stream time all there; data
    // lost leaves the gap's stream time missing.
    const bool heldBack = missing / rate < kLostShareOfGap * lengthUs;
    gap.ratePackets = heldBack ? 0.0 : missing;
    return heldBack;
}

void DatagramGapEstimator::openGap(std::int64_t arrivalUs, std::int64_t lengthUs, double usualUs)
{
    if (m_pending)
        closeGap();
    ++m_figures.gaps;
    m_figures.gapUs += lengthUs;
    PendingGap gap;
    gap.startUs = arrivalUs - lengthUs;
    gap.endUs = arrivalUs;
    gap.arrivalPackets = packetRate() / 1e6 * std::max(0.0, static_cast<double>(lengthUs) - usualUs);
    if (m_lastPcr) {
        gap.pcrBefore = m_lastPcr;
        gap.packetsBefore = m_lastPcrPacket;
    }
    m_pending = gap;
}

void DatagramGapEstimator::closeGap()
{
    m_figures.lostEstimate += gapLoss(*m_pending);
    m_pending.reset();
}

std::uint64_t DatagramGapEstimator::gapLoss(const PendingGap& gap) const
{
    // Data held back arrives with every continuity counter running on: a gap
    // without a jump in any lost nothing, however long.
    if (gap.counterMissing == 0)
        return 0;
    const double missing = gap.ratePackets.value_or(gap.arrivalPackets);
    const auto byRate = static_cast<std::uint64_t>(std::llround(missing * payloadShare()));
    return std::max(byRate, gap.counterMissing);
}

DatagramGapEstimator::Figures DatagramGapEstimator::figures() const
{
    Figures figures = m_figures;
    // Until its PCR comes, a gap counts what its counters show: the figure only grows.
    if (m_pending)
        figures.lostEstimate += m_pending->ratePackets ? gapLoss(*m_pending) : m_pending->counterMissing;
    // Holes not yet settled count what their counters show.
    for (const Hole& hole : m_holes)
        figures.lostEstimate += hole.residues;
    figures.lostEstimate += m_spread;
    return figures;
}

bool DatagramGapEstimator::constantRate() const
{
    if (m_spans.size() < kConstantSpans)
        return false;
    double lowest = 0.0, highest = 0.0;
    for (auto span = m_spans.end() - kConstantSpans; span != m_spans.end(); ++span) {
        const double rate = static_cast<double>(span->packets) / static_cast<double>(span->ticks);
        lowest = lowest == 0.0 ? rate : std::min(lowest, rate);
        highest = std::max(highest, rate);
    }
    return highest - lowest <= kConstantRateTolerance * spansRate(kConstantSpans);
}

double DatagramGapEstimator::spansRate(std::size_t last) const
{
    double packets = 0.0, ticks = 0.0;
    for (auto span = m_spans.end() - static_cast<std::ptrdiff_t>(std::min(last, m_spans.size())); span != m_spans.end();
         ++span) {
        packets += static_cast<double>(span->packets);
        ticks += static_cast<double>(span->ticks);
    }
    return ticks > 0.0 ? packets / ticks : 0.0;
}

double DatagramGapEstimator::packetRate() const
{
    // On the stream's own clock where it has one: data held back and let go
    // together (a busy sender, a link's buffer) leaves it as it was.
    if (constantRate())
        return spansRate(kConstantSpans) * kTicksPerUs * 1e6;
    if (m_spans.size() >= 2)
        return spansRate(kRecentSpans) * kTicksPerUs * 1e6;
    return recentPacketsPerUs() * 1e6;
}

} // namespace zephyrscope
