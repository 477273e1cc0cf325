#pragma once

#include "Clock.h"
#include "JsonLog.h"
#include "LogFile.h"

#include <memory>
#include <string>

namespace zephyrscope {

class Player;

// The run's logs: the statistics log, and the JSON Lines log beside it when one
// is asked for. Both are created together and closed together; the JSON Lines
// log hears of the player's events and ticks only while it is open.
//
// Writes that fail throw LogError, player reads PlayerError, as the logs do.
// UI thread only.
class RunLogs {
public:
    // The statistics log's path; set before open().
    void setFileName(std::string path) { m_fileName = std::move(path); }
    const std::string& fileName() const { return m_fileName; }
    // Where the JSON Lines log goes; empty (the default) for none. Set before open().
    void setJsonFileName(std::string path) { m_jsonFileName = std::move(path); }

    // Both logs are claimed before either is emptied, so a JSON Lines log that
    // cannot be created leaves an existing log as it was, and the other way
    // round. Throws LogError with both closed.
    void open(Clock& clock, Player& player);
    // Closes both; the JSON Lines log first ends its run. Both are closed even
    // when that last write throws.
    void close();

    // After the logs were rotated (renamed): each is made afresh at its path, the
    // statistics log with its header. Returns how many were. Throws LogError, the
    // old files still written, when one cannot be made.
    int reopen();

    LogFile& log() { return m_log; }
    const LogFile& log() const { return m_log; }

    // The JSON Lines log, which hears of the player's events and ticks; nullptr
    // when none was asked for or the logs are closed.
    JsonLog* json() { return m_json.get(); }
    // --name: every JSON line carries it. Set before open().
    void setChannel(std::string channel) { m_channel = std::move(channel); }

private:
    std::string m_fileName;
    std::string m_jsonFileName;
    std::string m_channel;
    LogFile m_log;
    LogFile m_jsonFile;
    std::unique_ptr<JsonLog> m_json; // only while m_jsonFile is open
};

} // namespace zephyrscope
