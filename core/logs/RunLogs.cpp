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
            m_json->setChannel(m_channel);
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
    // The JSON Lines log goes whatever its last line does.
    const std::unique_ptr<JsonLog> json = std::move(m_json);
    struct CloseAtEnd {
        LogFile& file;
        ~CloseAtEnd() { file.close(); }
    } closeAtEnd {m_jsonFile};
    if (json)
        json->runEnded();
}

int RunLogs::reopen()
{
    int reopened = m_log.reopen() ? 1 : 0;
    if (m_json && m_jsonFile.reopen({}))
        ++reopened;
    return reopened;
}

} // namespace zephyrscope
