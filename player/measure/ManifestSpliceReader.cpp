#include "ManifestSpliceReader.h"

#include "AdaptiveManifest.h"
#include "DashSpliceEvents.h"
#include "HlsSpliceTags.h"
#include "StreamCounters.h"

#include <glib.h>

namespace zephyrscope {

namespace {

// Far beyond any real playlist or MPD.
constexpr std::size_t kMaxManifestBytes = 1 << 20;

} // namespace

ManifestSpliceReader::ManifestSpliceReader(std::shared_ptr<StreamCounters> counters)
    : m_counters(std::move(counters))
{
}

void ManifestSpliceReader::read(const std::string& text, std::int64_t nowMs)
{
    const std::size_t start = text.find_first_not_of(" \t\r\n\xEF\xBB\xBF");
    if (start == std::string::npos)
        return;
    if (text.compare(start, 7, "#EXTM3U") == 0)
        m_counters->splices().heardInManifest(HlsSpliceTags::parse(text), nowMs);
    else if (AdaptiveManifest::rootIsMpd(text))
        m_counters->splices().heardInManifest(DashSpliceEvents::parse(text), nowMs);
}

void ManifestSpliceReader::poll()
{
    std::erase_if(m_fetches, [](const auto& fetch) { return fetch.second->finished(); });
    for (const std::string& url : m_counters->takeManifestsFetched()) {
        if (m_fetches.contains(url))
            continue; // its copy is on its way
        const HttpFetch::Request request {.url = url, .maxBodyBytes = kMaxManifestBytes, .own = true};
        auto fetch = HttpFetch::start(request, [this](HttpFetch::Answer answer) {
            if (answer.error.empty() && answer.status / 100 == 2 && answer.body.size() <= kMaxManifestBytes)
                read(answer.body, g_get_real_time() / 1000);
        });
        if (fetch)
            m_fetches.emplace(url, std::move(fetch));
    }
}

} // namespace zephyrscope
