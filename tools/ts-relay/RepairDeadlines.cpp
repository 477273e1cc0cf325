#include "RepairDeadlines.h"

#include <algorithm>
#include <climits>

namespace zephyrscope::tools {

void RepairDeadlines::originalForwarded(std::int64_t sequence, std::int64_t atUs)
{
    // A repair that overtook its held original already counted; the original is a duplicate then.
    if (!m_originals.emplace(sequence, Original {atUs, -1}).second)
        return;
    for (const std::int64_t dropped : m_unended)
        m_originals[dropped].gapEndUs = atUs;
    m_unended.clear();
}

void RepairDeadlines::originalDropped(std::int64_t sequence, std::int64_t atUs)
{
    if (m_originals.emplace(sequence, Original {atUs, -1, true}).second)
        m_unended.push_back(sequence);
}

void RepairDeadlines::repairForwarded(std::int64_t sequence, std::int64_t atUs)
{
    m_repairs.emplace(sequence, atUs);
}

std::set<std::int64_t> RepairDeadlines::runsWaitedFor(std::int64_t bufferUs) const
{
    std::set<std::int64_t> waitedFor;
    for (const auto& [sequence, repairUs] : m_repairs) {
        const auto original = m_originals.find(sequence);
        if (original != m_originals.end() && original->second.gapEndUs >= 0 && repairUs >= original->second.gapEndUs
            && original->second.gapEndUs - original->second.atUs > bufferUs)
            waitedFor.insert(original->second.gapEndUs);
    }
    return waitedFor;
}

std::vector<RepairDeadlines::Delivery> RepairDeadlines::deliveries(std::int64_t bufferUs, std::int64_t shiftUs) const
{
    const std::set<std::int64_t> waitedFor = runsWaitedFor(bufferUs);
    std::vector<Delivery> out;
    if (m_originals.empty() && m_repairs.empty())
        return out;
    const std::int64_t first = std::min(m_originals.empty() ? INT64_MAX : m_originals.begin()->first,
                                        m_repairs.empty() ? INT64_MAX : m_repairs.begin()->first);
    const std::int64_t last = std::max(m_originals.empty() ? INT64_MIN : m_originals.rbegin()->first,
                                       m_repairs.empty() ? INT64_MIN : m_repairs.rbegin()->first);
    for (std::int64_t sequence = first; sequence <= last; ++sequence) {
        const auto original = m_originals.find(sequence);
        const auto repair = m_repairs.find(sequence);
        const bool known = original != m_originals.end();
        const bool repairedFirst = repair != m_repairs.end() && (!known || repair->second < original->second.atUs);
        if (known && !original->second.dropped && !repairedFirst) {
            out.push_back({sequence, original->second.atUs, true});
            continue;
        }
        if (!known) {
            // Never sent as an original: its repair, if any, is all there is.
            if (repair != m_repairs.end())
                out.push_back({sequence, repair->second, true});
            continue;
        }
        const Original& o = original->second;
        const bool waited = o.gapEndUs >= 0 && waitedFor.count(o.gapEndUs) > 0;
        const std::int64_t deadlineUs = (waited ? o.gapEndUs : o.atUs) + bufferUs;
        if (repair != m_repairs.end() && repair->second <= deadlineUs) {
            out.push_back({sequence, repair->second, true});
            continue;
        }
        out.push_back({sequence, o.gapEndUs >= 0 ? std::max(deadlineUs, o.gapEndUs) : deadlineUs, false});
    }
    for (Delivery& delivery : out)
        delivery.atUs += shiftUs;
    return out;
}

RepairDeadlines::Verdict RepairDeadlines::judge(std::int64_t bufferUs) const
{
    const std::set<std::int64_t> waitedFor = runsWaitedFor(bufferUs);
    Verdict verdict;
    verdict.gapsWaitedFor = waitedFor.size();
    for (const auto& [sequence, repairUs] : m_repairs) {
        ++verdict.repaired;
        // A repair of an original never sent, or that overtook its held original, is in time.
        const auto original = m_originals.find(sequence);
        if (original == m_originals.end() || original->second.atUs > repairUs)
            continue;
        const Original& o = original->second;
        if (o.dropped && (o.gapEndUs < 0 || repairUs < o.gapEndUs))
            ++verdict.beforeGapEnded;
        const std::int64_t fromUs = o.gapEndUs >= 0 && waitedFor.count(o.gapEndUs) ? o.gapEndUs : o.atUs;
        const std::int64_t afterUs = repairUs - fromUs;
        if (afterUs > bufferUs) {
            ++verdict.late;
            verdict.earliestLateUs = verdict.earliestLateUs < 0 ? afterUs : std::min(verdict.earliestLateUs, afterUs);
        } else {
            verdict.latestInTimeUs = std::max(verdict.latestInTimeUs, afterUs);
        }
    }
    return verdict;
}

} // namespace zephyrscope::tools
