#include "TsFaultInjector.h"

#include <algorithm>
#include <cstring>

namespace zephyrscope::tools {

namespace {

constexpr std::size_t kTsPacket = 188;
constexpr std::int64_t kUsPerMs = 1000;
constexpr std::int64_t kHoldAfterBlankMs = 1000; // between the PCR gap and the PTS hold

std::uint16_t pidOf(const std::uint8_t* packet)
{
    return static_cast<std::uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
}

bool unitStart(const std::uint8_t* packet)
{
    return (packet[1] & 0x40) != 0;
}

bool hasPayload(const std::uint8_t* packet)
{
    return (packet[3] & 0x10) != 0;
}

bool hasPcr(const std::uint8_t* packet)
{
    return (packet[3] & 0x20) != 0 && packet[4] >= 7 && (packet[5] & 0x10) != 0;
}

std::size_t payloadStart(const std::uint8_t* packet)
{
    if (!hasPayload(packet))
        return kTsPacket;
    return std::min(kTsPacket, (packet[3] & 0x20) != 0 ? 5 + std::size_t {packet[4]} : std::size_t {4});
}

std::uint16_t read12(const std::uint8_t* bytes)
{
    return static_cast<std::uint16_t>(((bytes[0] & 0x0F) << 8) | bytes[1]);
}

std::uint16_t read13(const std::uint8_t* bytes)
{
    return static_cast<std::uint16_t>(((bytes[0] & 0x1F) << 8) | bytes[1]);
}

// Where the section a packet begins starts and ends; {0, 0} unless it is whole in it.
std::pair<std::size_t, std::size_t> wholeSection(const std::uint8_t* packet)
{
    const std::size_t start = payloadStart(packet);
    if (!unitStart(packet) || start >= kTsPacket)
        return {0, 0};
    const std::size_t section = start + 1 + packet[start];
    if (section + 3 > kTsPacket)
        return {0, 0};
    const std::size_t end = section + 3 + read12(packet + section + 1);
    return end <= kTsPacket ? std::pair {section, end} : std::pair<std::size_t, std::size_t> {0, 0};
}

// Takes the PCR out of a packet's adaptation field: what followed it moves up, stuffing fills the end.
void removePcr(std::uint8_t* packet)
{
    const std::size_t end = 5 + std::size_t {packet[4]};
    std::memmove(packet + 6, packet + 12, end - 12);
    std::memset(packet + end - 6, 0xFF, 6);
    packet[5] &= static_cast<std::uint8_t>(~0x10);
}

// Takes the PTS (and DTS) out of a PES header whole in the packet; false when it had none.
bool removePts(std::uint8_t* packet)
{
    const std::size_t start = payloadStart(packet);
    if (start + 9 > kTsPacket)
        return false;
    std::uint8_t* pes = packet + start;
    const bool optionalHeader = pes[3] != 0xBC && pes[3] != 0xBE && pes[3] != 0xBF && pes[3] < 0xF0;
    if (pes[0] != 0 || pes[1] != 0 || pes[2] != 1 || !optionalHeader || (pes[6] & 0xC0) != 0x80)
        return false;
    const std::size_t timestamps = (pes[7] >> 6) == 3 ? 10 : (pes[7] >> 6) == 2 ? 5 : 0;
    const std::size_t fields = pes[8];
    if (timestamps == 0 || fields < timestamps || start + 9 + fields > kTsPacket)
        return false;
    std::memmove(pes + 9, pes + 9 + timestamps, fields - timestamps);
    std::memset(pes + 9 + fields - timestamps, 0xFF, timestamps);
    pes[7] &= 0x3F;
    return true;
}

} // namespace

TsFaultInjector::TsFaultInjector(const Plan& plan)
    : m_plan(plan)
{
}

std::int64_t TsFaultInjector::inject(std::uint8_t* datagram, std::size_t size, std::int64_t nowUs)
{
    if (!m_firstUs)
        m_firstUs = nowUs;
    ++m_counts.datagrams;
    const std::int64_t sinceStartMs = (nowUs - *m_firstUs) / kUsPerMs;
    const bool started = sinceStartMs >= m_plan.startAfterMs;
    Changed changed;
    for (std::size_t at = 0; at + kTsPacket <= size; at += kTsPacket) {
        std::uint8_t* packet = datagram + at;
        if (packet[0] != 0x47)
            continue;
        const PacketKind kind = classify(packet);
        if (started) {
            changePacket(packet, kind, changed);
            holdTimes(packet, kind, sinceStartMs);
        }
    }
    return departure(pcrUsOf(datagram, size), size, started, nowUs);
}

std::optional<std::int64_t> TsFaultInjector::pcrUsOf(const std::uint8_t* datagram, std::size_t size)
{
    for (std::size_t at = 0; at + kTsPacket <= size; at += kTsPacket) {
        const std::uint8_t* p = datagram + at;
        if (p[0] != 0x47 || !hasPcr(p))
            continue;
        const std::int64_t base = (std::int64_t {p[6]} << 25) | (p[7] << 17) | (p[8] << 9) | (p[9] << 1) | (p[10] >> 7);
        const std::int64_t extension = ((p[10] & 0x01) << 8) | p[11];
        return (base * 300 + extension) / 27;
    }
    return std::nullopt;
}

TsFaultInjector::PacketKind TsFaultInjector::classify(const std::uint8_t* packet)
{
    PacketKind kind;
    kind.pid = pidOf(packet);
    kind.elementary = m_elementaryPids.count(kind.pid) > 0;
    kind.pesStart = kind.elementary && unitStart(packet) && hasPayload(packet);
    kind.pcr = hasPcr(packet);
    if (kind.pid == 0 || m_pmtPids.count(kind.pid)) {
        const auto [section, end] = wholeSection(packet);
        kind.table = end > 0;
        kind.sectionEnd = end;
        if (kind.table && kind.pid == 0 && packet[section] == 0x00)
            readPat(packet + section);
        else if (kind.table && packet[section] == 0x02)
            readPmt(packet + section);
    }
    return kind;
}

void TsFaultInjector::readPat(const std::uint8_t* section)
{
    const std::size_t size = 3 + read12(section + 1);
    m_pmtPids.clear();
    for (std::size_t at = 8; at + 4 <= size - 4; at += 4)
        if (section[at] != 0 || section[at + 1] != 0) // program 0 names the network PID
            m_pmtPids.insert(read13(section + at + 2));
}

void TsFaultInjector::readPmt(const std::uint8_t* section)
{
    const std::size_t size = 3 + read12(section + 1);
    std::size_t at = 12 + read12(section + 10);
    while (at + 5 <= size - 4) {
        m_elementaryPids.insert(read13(section + at + 1));
        at += 5 + read12(section + at + 3);
    }
}

void TsFaultInjector::changePacket(std::uint8_t* packet, const PacketKind& kind, Changed& changed)
{
    const bool plain = kind.elementary && !kind.pesStart && !kind.pcr && hasPayload(packet);
    if (plain && !changed.tei && m_counts.teiPackets < m_plan.teiPackets) {
        packet[1] |= 0x80;
        ++m_counts.teiPackets;
        changed.tei = true;
    } else if (plain && !changed.scrambled && m_counts.scrambledPackets < m_plan.scrambledPackets) {
        packet[3] = static_cast<std::uint8_t>((packet[3] & 0x3F) | 0x80);
        ++m_counts.scrambledPackets;
        changed.scrambled = true;
    } else if (kind.table && !changed.crc && m_counts.crcSections < m_plan.crcSections) {
        packet[kind.sectionEnd - 1] ^= 0xFF;
        ++m_counts.crcSections;
        changed.crc = true;
    }
}

void TsFaultInjector::holdTimes(std::uint8_t* packet, const PacketKind& kind, std::int64_t sinceStartMs)
{
    const std::int64_t blankEndMs = m_plan.startAfterMs + m_plan.pcrBlankMs;
    if (kind.pcr && sinceStartMs < blankEndMs) {
        removePcr(packet);
        m_counts.pcrGaps += m_counts.pcrsRemoved == 0 ? 1 : 0;
        ++m_counts.pcrsRemoved;
    }
    const std::int64_t holdFromMs = blankEndMs + kHoldAfterBlankMs;
    const bool holding = sinceStartMs >= holdFromMs && sinceStartMs < holdFromMs + m_plan.ptsHoldMs;
    if (kind.pesStart && holding && removePts(packet)) {
        ++m_counts.ptsRemoved;
        if (m_ptsHeldPids.insert(kind.pid).second)
            ++m_counts.ptsGaps;
    }
}

std::int64_t TsFaultInjector::pacedDeparture(std::optional<std::int64_t> pcrUs, std::size_t size, std::int64_t nowUs)
{
    const std::uint64_t atByte = m_bytes;
    m_bytes += size;
    if (pcrUs) {
        if (!m_pacedTransitUs)
            m_pacedTransitUs = nowUs + m_plan.pacedLeadMs * kUsPerMs - *pcrUs;
        const std::int64_t dueUs = std::max(nowUs, *pcrUs + *m_pacedTransitUs);
        m_lastPcr = PcrPlace {atByte, *pcrUs, dueUs};
        if (!m_firstPcr)
            m_firstPcr = m_lastPcr;
        return dueUs;
    }
    // The rate from the first PCR to the last; a datagram is due no later than
    // its first byte: a PCR further into the datagram before is no earlier.
    if (m_firstPcr && m_lastPcr && m_lastPcr->atByte > m_firstPcr->atByte && m_lastPcr->pcrUs > m_firstPcr->pcrUs) {
        const double usPerByte = static_cast<double>(m_lastPcr->pcrUs - m_firstPcr->pcrUs)
            / static_cast<double>(m_lastPcr->atByte - m_firstPcr->atByte);
        const auto sinceUs = static_cast<std::int64_t>(static_cast<double>(atByte - m_lastPcr->atByte) * usPerByte
                                                       - static_cast<double>(size) * usPerByte);
        return std::max(nowUs, m_lastPcr->departureUs + std::max<std::int64_t>(sinceUs, 0));
    }
    return nowUs + m_plan.pacedLeadMs * kUsPerMs;
}

std::int64_t TsFaultInjector::departure(std::optional<std::int64_t> pcrUs, std::size_t size, bool started,
                                        std::int64_t nowUs)
{
    const bool carriesPcr = pcrUs.has_value();
    std::int64_t dueUs = m_plan.pacedLeadMs > 0 ? pacedDeparture(pcrUs, size, nowUs) : nowUs;
    if (started && carriesPcr && m_plan.jitterEvery > 0
        && ++m_pcrDatagrams % static_cast<std::uint64_t>(m_plan.jitterEvery) == 0) {
        dueUs += m_plan.jitterDelayMs * kUsPerMs;
        ++m_counts.datagramsDelayed;
    }
    // Datagrams leave in the order they came.
    dueUs = std::max(dueUs, m_lastDepartureUs);
    m_lastDepartureUs = dueUs;
    if (carriesPcr)
        m_counts.pcrDatagramLatestUs = std::max(m_counts.pcrDatagramLatestUs, dueUs - nowUs);
    return dueUs;
}

} // namespace zephyrscope::tools
