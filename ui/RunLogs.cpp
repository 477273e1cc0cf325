#include "RunLogs.h"

#include "LogError.h"

namespace zephyrscope {

void RunLogs::open(Clock& clock, Player& player)
{
    try {
        m_log.claim(m_fileName);
        if (!m_jsonFileName.empty())
            m_jsonFile.claim(m_jsonFileName);
        m_log.begin();
        if (!m_jsonFileName.empty()) {
            m_jsonFile.begin({});
            m_json = std::make_unique<JsonLog>(clock, player, m_jsonFile);
        }
    } catch (const LogError&) {
        m_log.close();
        m_jsonFile.close();
        throw;
    }
}

void RunLogs::close()
{
    m_log.close();
    if (!m_json) {
        m_jsonFile.close();
        return;
    }
    // The JSON Lines log goes whatever its last line does.
    const std::unique_ptr<JsonLog> json = std::move(m_json);
    struct CloseAtEnd {
        LogFile& file;
        ~CloseAtEnd() { file.close(); }
    } closeAtEnd {m_jsonFile};
    json->runEnded();
}

void RunLogs::tick(const SampleLine& sample)
{
    if (m_json)
        m_json->tick(sample);
}

void RunLogs::playStateChanged(std::int32_t state)
{
    if (m_json)
        m_json->playStateChanged(state);
}

void RunLogs::mediaOpened()
{
    if (m_json)
        m_json->mediaOpened();
}

void RunLogs::mediaError(const std::string& url, const std::string& reason)
{
    if (m_json)
        m_json->mediaError(url, reason);
}

} // namespace zephyrscope
