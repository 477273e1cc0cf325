#pragma once

#include "LogSink.h"

#include <string>
#include <string_view>
#include <sys/types.h>

namespace zephyrscope {

// The statistics log: created once per run, written with one unbuffered write per
// append, never read back.
//
// create() takes an exclusive lock before it empties the file, so a log that another
// run has open is refused and left as it is. An append that fails part-way is cut
// back to where it began, so the file only ever holds complete texts.
// Not thread-safe: used from the UI thread only.
class LogFile final : public LogSink {
public:
    LogFile() = default;
    ~LogFile() override;
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Creates (or empties) the file at path and writes the header line.
    // Throws LogError naming the path and the reason; on failure an existing file is untouched.
    void create(const std::string& path);

    // Throws LogError when the log is not open or the write fails.
    void append(std::string_view text) override;

    // Closes the file; closing a closed log does nothing.
    void close();

    bool isOpen() const { return m_fd >= 0; }
    const std::string& path() const { return m_path; }

private:
    void writeAll(std::string_view text, const char* verb);

    int m_fd = -1;
    off_t m_size = 0;
    std::string m_path;
};

} // namespace zephyrscope
