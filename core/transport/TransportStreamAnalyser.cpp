#include "TransportStreamAnalyser.h"

#include "MpegCrc32.h"
#include "TsPacket.h"

#include <algorithm>
#include <iterator>
#include <set>

namespace zephyrscope {

namespace {

constexpr std::size_t kSyncRunToAcquire = 5; // sync bytes in a row that establish sync
constexpr int kSyncRunToLose = 2;            // wrong sync bytes in a row that lose it
constexpr std::int64_t kPcrJumpUs = 1000000; // a PCR further ahead than this is a new time base
constexpr std::uint8_t kPatTableId = 0x00;
constexpr std::uint8_t kPmtTableId = 0x02;
constexpr std::uint8_t kCatTableId = 0x01;
constexpr std::uint8_t kStuffingTableId = 0xFF;
constexpr std::uint16_t kCatPid = 1;
constexpr std::size_t kCrcSize = 4;

bool scrambled(const std::uint8_t* packet)
{
    return (packet[3] & 0xC0) != 0;
}

// Where a packet's payload begins, past its adaptation field; the packet's size when it has none.
std::size_t payloadStart(const std::uint8_t* packet)
{
    if (!TsHasPayload(packet))
        return kTsPacketSize;
    const std::size_t start = TsHasAdaptationField(packet) ? 5 + std::size_t {packet[4]} : 4;
    return std::min(start, kTsPacketSize);
}

// Whether a PES stream id has the optional header that carries a PTS: all but these.
bool hasOptionalPesHeader(std::uint8_t streamId)
{
    constexpr std::uint8_t kWithout[] = {0xBC, 0xBE, 0xBF, 0xF0, 0xF1, 0xF2, 0xF8, 0xFF};
    return std::find(std::begin(kWithout), std::end(kWithout), streamId) == std::end(kWithout);
}

std::uint16_t read13(const std::uint8_t* bytes)
{
    return static_cast<std::uint16_t>(((bytes[0] & 0x1F) << 8) | bytes[1]);
}

std::uint16_t read12(const std::uint8_t* bytes)
{
    return static_cast<std::uint16_t>(((bytes[0] & 0x0F) << 8) | bytes[1]);
}

// Keeps the times of the keys still wanted, starting the new ones at nowUs.
void keepOnly(std::map<std::uint16_t, std::int64_t>& seen, const std::set<std::uint16_t>& wanted, std::int64_t nowUs)
{
    std::map<std::uint16_t, std::int64_t> kept;
    for (const std::uint16_t key : wanted) {
        const auto it = seen.find(key);
        kept[key] = it == seen.end() ? nowUs : it->second;
    }
    seen = std::move(kept);
}

// One error for each whole interval that passed since seenUs, which moves on by as many.
std::uint64_t overdue(std::int64_t& seenUs, std::int64_t nowUs, std::int64_t intervalUs)
{
    std::uint64_t count = 0;
    while (nowUs - seenUs > intervalUs) {
        seenUs += intervalUs;
        ++count;
    }
    return count;
}

} // namespace

TransportStreamAnalyser::TransportStreamAnalyser(std::int64_t pidTimeoutUs)
    : m_pidTimeoutUs(pidTimeoutUs)
{
}

void TransportStreamAnalyser::feed(const std::uint8_t* data, std::size_t size, std::optional<std::int64_t> arrivalUs)
{
    m_arrivalUs = arrivalUs;
    m_pending.insert(m_pending.end(), data, data + size);
    std::size_t offset = 0;
    for (;;) {
        if (!m_inSync) {
            m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(offset));
            offset = 0;
            findSync();
            if (!m_inSync)
                return;
        }
        if (m_pending.size() - offset < kTsPacketSize)
            break;
        const std::uint8_t* packet = m_pending.data() + offset;
        if (packet[0] != kTsSyncByte) {
            ++m_errors.syncByte;
            if (++m_badSyncRun >= kSyncRunToLose) {
                // This packet is not taken: the search for sync starts at it.
                ++m_errors.syncLoss;
                m_inSync = false;
                continue;
            }
        } else {
            m_badSyncRun = 0;
        }
        // One wrong sync byte in sync is a damaged byte, not a lost packet: the rest is read.
        takePacket(packet);
        offset += kTsPacketSize;
    }
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(offset));
}

void TransportStreamAnalyser::findSync()
{
    const std::size_t span = (kSyncRunToAcquire - 1) * kTsPacketSize;
    std::size_t start = 0;
    for (; start + span < m_pending.size(); ++start) {
        bool run = true;
        for (std::size_t k = 0; k < kSyncRunToAcquire && run; ++k)
            run = m_pending[start + k * kTsPacketSize] == kTsSyncByte;
        if (run) {
            m_inSync = true;
            m_badSyncRun = 0;
            break;
        }
    }
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(start));
}

void TransportStreamAnalyser::takePacket(const std::uint8_t* packet)
{
    ++m_packets;
    if ((packet[1] & 0x80) != 0)
        ++m_errors.transportError;
    const std::uint16_t pid = TsPid(packet);
    if (pid == kTsNullPid)
        return;
    readPcr(pid, packet);
    checkContinuity(pid, packet);
    if (pid == 0) {
        m_patSeenUs = m_nowUs;
        if (scrambled(packet))
            ++m_errors.pat;
    } else if (m_pmtSeenUs.count(pid)) {
        if (scrambled(packet))
            ++m_errors.pmt;
    } else if (scrambled(packet) && !m_catSeen) {
        ++m_errors.cat;
    }
    if (const auto it = m_elementarySeenUs.find(pid); it != m_elementarySeenUs.end())
        it->second = m_nowUs;
    readSection(pid, packet);
    readPts(pid, packet);
}

void TransportStreamAnalyser::checkContinuity(std::uint16_t pid, const std::uint8_t* packet)
{
    const auto counter = static_cast<std::uint8_t>(packet[3] & 0x0F);
    const bool discontinuity = TsDiscontinuity(packet);
    auto it = m_pids.find(pid);
    if (it == m_pids.end() || discontinuity) {
        // The counter only means something from the second payload packet on.
        if (TsHasPayload(packet) || discontinuity)
            m_pids[pid] = PidState {counter, false};
        return;
    }
    // Packets without payload leave the counter where it was.
    if (!TsHasPayload(packet))
        return;
    PidState& state = it->second;
    if (counter == state.counter) {
        // A packet may be sent twice; a third time is an error.
        if (state.duplicateSeen)
            ++m_errors.continuity;
        state.duplicateSeen = true;
        return;
    }
    if (counter != ((state.counter + 1) & 0x0F)) {
        ++m_errors.continuity;
        m_missing += static_cast<std::uint8_t>((counter - state.counter - 1) & 0x0F);
    }
    state = PidState {counter, false};
}

void TransportStreamAnalyser::readPcr(std::uint16_t pid, const std::uint8_t* packet)
{
    const std::optional<std::int64_t> pcrTicks = TsPcr(packet);
    if (!pcrTicks)
        return;
    if (!m_pcrPid)
        m_pcrPid = pid;
    if (pid != *m_pcrPid)
        return;
    const auto pcrUs = *pcrTicks / PcrTiming::kTicksPerUs;
    m_pcrTiming.take(*pcrTicks, (m_packets - 1) * kTsPacketSize, TsDiscontinuity(packet), m_arrivalUs, m_errors);
    if (!m_lastPcrUs) {
        m_clockRunning = true;
        restartTimers();
    } else {
        const std::int64_t delta = pcrUs - *m_lastPcrUs;
        if (delta < 0 || delta > kPcrJumpUs)
            restartTimers();
        else
            advanceClock(m_nowUs + delta);
    }
    m_lastPcrUs = pcrUs;
}

void TransportStreamAnalyser::advanceClock(std::int64_t nowUs)
{
    m_nowUs = nowUs;
    if (!m_clockRunning)
        return;
    m_errors.pat += overdue(m_patSeenUs, nowUs, kTableIntervalUs);
    for (auto& [pid, seenUs] : m_pmtSeenUs)
        m_errors.pmt += overdue(seenUs, nowUs, kTableIntervalUs);
    for (auto& [pid, seenUs] : m_elementarySeenUs)
        m_errors.pid += overdue(seenUs, nowUs, m_pidTimeoutUs);
    for (auto& [pid, seenUs] : m_ptsSeenUs)
        m_errors.pts += overdue(seenUs, nowUs, kPtsIntervalUs);
}

void TransportStreamAnalyser::restartTimers()
{
    m_patSeenUs = m_nowUs;
    for (auto* seen : {&m_pmtSeenUs, &m_elementarySeenUs, &m_ptsSeenUs})
        for (auto& [pid, seenUs] : *seen)
            seenUs = m_nowUs;
}

void TransportStreamAnalyser::readSection(std::uint16_t pid, const std::uint8_t* packet)
{
    const bool tablePid = pid == 0 || pid == kCatPid || m_pmtSeenUs.count(pid);
    if (!tablePid || !TsHasPayload(packet) || (packet[1] & 0x40) == 0)
        return;
    const std::size_t start = payloadStart(packet);
    if (start >= kTsPacketSize)
        return;
    const std::size_t section = start + 1 + packet[start];
    if (section + 3 > kTsPacketSize)
        return;
    const std::uint8_t tableId = packet[section];
    // A section longer than its packet is only seen to begin; its content is not read.
    const std::size_t size = 3 + read12(packet + section + 1);
    const bool whole = section + size <= kTsPacketSize;
    // A section with the long form's syntax carries a CRC_32 over all of it.
    const bool checked = whole && tableId != kStuffingTableId && (packet[section + 1] & 0x80) != 0;
    const bool intact = !checked || MpegCrc32(packet + section, size) == 0;
    if (!intact)
        ++m_errors.crc;
    if (pid == 0) {
        if (tableId != kPatTableId)
            ++m_errors.pat;
        else if (whole && intact)
            readPat(packet + section, size);
    } else if (pid == kCatPid) {
        if (tableId != kCatTableId && tableId != kStuffingTableId)
            ++m_errors.cat;
        else if (tableId == kCatTableId)
            m_catSeen = true;
    } else if (tableId == kPmtTableId) {
        m_pmtSeenUs[pid] = m_nowUs;
        if (whole && intact)
            readPmt(pid, packet + section, size);
    }
}

void TransportStreamAnalyser::readPat(const std::uint8_t* section, std::size_t size)
{
    constexpr std::size_t kHeader = 8;
    if (size < kHeader + kCrcSize)
        return;
    std::set<std::uint16_t> pmtPids;
    for (std::size_t at = kHeader; at + 4 <= size - kCrcSize; at += 4) {
        const auto program = static_cast<std::uint16_t>((section[at] << 8) | section[at + 1]);
        if (program != 0) // program 0 names the network PID, not a PMT
            pmtPids.insert(read13(section + at + 2));
    }
    keepOnly(m_pmtSeenUs, pmtPids, m_nowUs);
    std::erase_if(m_programPids, [&](const auto& program) { return !pmtPids.count(program.first); });
}

void TransportStreamAnalyser::readPmt(std::uint16_t pid, const std::uint8_t* section, std::size_t size)
{
    constexpr std::size_t kHeader = 12;
    if (size < kHeader + kCrcSize)
        return;
    std::vector<std::uint16_t> pids;
    std::size_t at = kHeader + read12(section + 10);
    while (at + 5 <= size - kCrcSize) {
        pids.push_back(read13(section + at + 1));
        at += 5 + read12(section + at + 3);
    }
    m_programPids[pid] = std::move(pids);
    std::set<std::uint16_t> wanted;
    for (const auto& [program, elementary] : m_programPids)
        wanted.insert(elementary.begin(), elementary.end());
    keepOnly(m_elementarySeenUs, wanted, m_nowUs);
    std::erase_if(m_ptsSeenUs, [&](const auto& seen) { return !wanted.count(seen.first); });
}

void TransportStreamAnalyser::readPts(std::uint16_t pid, const std::uint8_t* packet)
{
    if ((packet[1] & 0x40) == 0 || scrambled(packet) || !m_elementarySeenUs.count(pid))
        return;
    // The PES header's start: a start code, its stream id, length, two flag bytes.
    const std::size_t start = payloadStart(packet);
    if (start + 9 > kTsPacketSize)
        return;
    const std::uint8_t* pes = packet + start;
    if (pes[0] != 0 || pes[1] != 0 || pes[2] != 1 || !hasOptionalPesHeader(pes[3]) || (pes[6] & 0xC0) != 0x80)
        return;
    if ((pes[7] & 0x80) != 0)
        m_ptsSeenUs[pid] = m_nowUs;
}

} // namespace zephyrscope
