#include "RepairDeadlines.h"

#include <algorithm>
#include <set>

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

RepairDeadlines::Verdict RepairDeadlines::judge(std::int64_t bufferUs) const
{
    // The runs (by their end) the receiver still asked for past the buffer.
    std::set<std::int64_t> waitedFor;
    for (const auto& [sequence, repairUs] : m_repairs) {
        const auto original = m_originals.find(sequence);
        if (original != m_originals.end() && original->second.gapEndUs >= 0 && repairUs >= original->second.gapEndUs
            && original->second.gapEndUs - original->second.atUs > bufferUs)
            waitedFor.insert(original->second.gapEndUs);
    }
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
