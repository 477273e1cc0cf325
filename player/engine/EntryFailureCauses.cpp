#include "EntryFailureCauses.h"

#include "DescriptorLimit.h"
#include "DownloadRefusals.h"

namespace zephyrscope {

EntryFailureCauses::EntryFailureCauses()
    : m_shortages(DescriptorLimit::shortages())
    , m_refusals(DownloadRefusals::refusals())
{
}

std::optional<std::string> EntryFailureCauses::watch(int headroom)
{
    DescriptorLimit::watch();
    DownloadRefusals::watch();
    return DescriptorLimit::shortOf(headroom);
}

std::string EntryFailureCauses::reason(const std::string& elementsReason) const
{
    if (m_shortages.count() > 0 || DescriptorLimit::shortOf(1))
        return DescriptorLimit::reason();
    if (m_refusals.count() > 0)
        return m_refusals.first();
    return elementsReason;
}

void EntryFailureCauses::stop()
{
    m_shortages.stop();
    m_refusals.stop();
}

} // namespace zephyrscope
