#pragma once

#include "LogSink.h"
#include "SampleLine.h"

#include <string>
#include <string_view>

namespace zephyrscope {

// The statistics log: created once per run, written with one unbuffered write per
// append, never read back.
//
// A regular file: create() takes an exclusive lock before it empties the file, so a
// log that another run has open is refused and left as it is. It is written in append
// mode, so a log emptied by someone else (logrotate's copytruncate, ": > log") goes on
// from its new start, with no hole before it. An append that fails part-way is cut
// back to where it began, so the file only ever holds complete texts.
// A pipe, FIFO or character device (/dev/stdout into a pipe, /dev/null) is written as
// it is: never locked or emptied. Anything else is refused, saying what it is.
// Not thread-safe: used from the UI thread only.
class LogFile final : public LogSink {
public:
    LogFile() = default;
    ~LogFile() override;
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Creates (or empties) the file at path and writes the header line: the
    // statistics log's unless another is given (the JSON Lines log has none).
    // Throws LogError naming the path and the reason; on failure an existing file is untouched.
    // A FIFO that no process has open for reading is refused rather than waited for.
    void create(const std::string& path, std::string_view header = kLogHeader);

    // create() in two steps, so that two logs are both known to be usable before
    // either is emptied: claim() opens and locks the file, emptying nothing and
    // throwing as create() does; begin() empties it and writes the header.
    void claim(const std::string& path);
    void begin(std::string_view header = kLogHeader);

    // Throws LogError when the log is not open or the write fails.
    void append(std::string_view text) override;

    // After logrotate's `create` (the file was renamed, or removed, and perhaps a new
    // one made at its path): creates the log afresh at its path, as begin() does, and
    // only then lets the old file go, so every text goes whole into one or the other.
    // Returns false, changing nothing, when the path still names the file being
    // written, or the log is not a regular file (a pipe has nothing to rotate).
    // Throws LogError, still writing the old file, when the new one cannot be made.
    bool reopen(std::string_view header = kLogHeader);

    // Closes the file; closing a closed log does nothing.
    void close();

    bool isOpen() const { return m_fd >= 0; }
    const std::string& path() const { return m_path; }

private:
    void writeAll(std::string_view text, const char* verb);
    // Cuts the last text, of which written bytes went in, back off the file.
    void cutBack(std::size_t written);

    int m_fd = -1;
    bool m_regular = false; // a regular file: locked, and cut back after a failed write
    std::string m_path;
};

} // namespace zephyrscope
