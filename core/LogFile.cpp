#include "LogFile.h"

#include "LogError.h"
#include "SampleLine.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace zephyrscope {

namespace {

std::string describe(const char* verb, const std::string& path, const std::string& reason)
{
    return std::string("Cannot ") + verb + " log file '" + path + "': " + reason;
}

} // namespace

LogFile::~LogFile()
{
    close();
}

void LogFile::create(const std::string& path)
{
    close();
    // No O_TRUNC: the file must not be emptied before we know no other run holds it.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        throw LogError(describe("create", path, std::strerror(errno)));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        if (err == EWOULDBLOCK)
            throw LogError(describe("create", path, "it is in use by another running instance"));
        throw LogError(describe("create", path, std::strerror(err)));
    }
    if (::ftruncate(fd, 0) != 0) {
        const int err = errno;
        ::close(fd);
        throw LogError(describe("create", path, std::strerror(err)));
    }
    m_fd = fd;
    m_size = 0;
    m_path = path;
    try {
        writeAll(kLogHeader, "create");
    } catch (...) {
        close();
        throw;
    }
}

void LogFile::append(std::string_view text)
{
    if (m_fd < 0)
        throw LogError(describe("write", m_path, "the log is not open"));
    writeAll(text, "write");
}

void LogFile::writeAll(std::string_view text, const char* verb)
{
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(m_fd, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            // Cut a partly written text back off, so the file holds whole lines only.
            if (::ftruncate(m_fd, m_size) == 0)
                ::lseek(m_fd, m_size, SEEK_SET);
            throw LogError(describe(verb, m_path, std::strerror(err)));
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    m_size += static_cast<off_t>(text.size());
}

void LogFile::close()
{
    if (m_fd >= 0) {
        ::close(m_fd); // releases the lock too
        m_fd = -1;
    }
}

} // namespace zephyrscope
