#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace zephyrscope::bench {

// What a --monitor run's JSON Lines log has said so far about its channel, read
// while the program writes it: the outages begun and ended, when and how long,
// and whether the channel plays now. A line still being written waits for the
// next update.
class MonitorEvents {
public:
    explicit MonitorEvents(std::filesystem::path log);

    // Reads what was appended since the last call; a missing log is read as empty.
    void update();

    // Played at least once, and every outage begun has ended.
    bool up() const { return m_played && m_outagesEnded == startsMs().size(); }
    const std::vector<std::int64_t>& startsMs() const { return m_startsMs; } // outage_started's wall_ms
    const std::vector<std::int64_t>& durationsMs() const { return m_durationsMs; } // outage_ended's duration_ms
    std::size_t outagesEnded() const { return m_outagesEnded; }

private:
    void take(const std::string& line);

    std::filesystem::path m_log;
    std::uintmax_t m_offset = 0;
    std::string m_partial;
    bool m_played = false;
    std::size_t m_outagesEnded = 0;
    std::vector<std::int64_t> m_startsMs, m_durationsMs;
};

} // namespace zephyrscope::bench
