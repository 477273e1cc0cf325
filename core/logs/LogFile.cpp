#include "LogFile.h"

#include "LogError.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace zephyrscope {

namespace {

std::string describe(const char* verb, const std::string& path, const std::string& reason)
{
    return std::string("Cannot ") + verb + " log file '" + path + "': " + reason;
}

// What a log cannot be written into, or nullptr for a kind it can. A folder is left
// to open(), whose "Is a directory" says it as well.
const char* refusedKind(mode_t mode)
{
    if (S_ISBLK(mode))
        return "it is a block device";
    if (S_ISSOCK(mode))
        return "it is a socket";
    if (S_ISREG(mode) || S_ISFIFO(mode) || S_ISCHR(mode) || S_ISDIR(mode))
        return nullptr;
    return "it is neither a file, a pipe nor a character device";
}

} // namespace

LogFile::~LogFile()
{
    close();
}

void LogFile::create(const std::string& path, std::string_view header)
{
    claim(path);
    begin(header);
}

void LogFile::claim(const std::string& path)
{
    close();
    // Kept even if the create fails: a later message still names the file.
    m_path = path;
    struct stat target {};
    const bool exists = ::stat(path.c_str(), &target) == 0;
    if (exists) {
        if (const char* kind = refusedKind(target.st_mode))
            throw LogError(describe("create", path, kind));
    }
    // O_NONBLOCK: opening a FIFO that nobody reads would wait for a reader for ever.
    // O_APPEND: see the class comment. No O_TRUNC: a regular file must not be emptied
    // before we know no other run holds it.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int err = errno;
        if (err == ENXIO && exists && S_ISFIFO(target.st_mode))
            throw LogError(describe("create", path, "it is a FIFO that no process has open for reading"));
        throw LogError(describe("create", path, std::strerror(err)));
    }
    auto fail = [&](const std::string& reason) {
        ::close(fd);
        throw LogError(describe("create", path, reason));
    };
    // What was opened, which need not be what was looked at a moment ago.
    if (::fstat(fd, &target) != 0)
        fail(std::strerror(errno));
    if (const char* kind = refusedKind(target.st_mode))
        fail(kind);
    const bool regular = S_ISREG(target.st_mode);
    if (regular && ::flock(fd, LOCK_EX | LOCK_NB) != 0)
        fail(errno == EWOULDBLOCK ? "it is in use by another running instance" : std::strerror(errno));
    // Writes wait for a slow reader, as any program's writes into a pipe do.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        fail(std::strerror(errno));
    m_fd = fd;
    m_regular = regular;
}

void LogFile::begin(std::string_view header)
{
    if (m_fd < 0)
        throw LogError(describe("create", m_path, "the log is not open"));
    try {
        if (m_regular && ::ftruncate(m_fd, 0) != 0)
            throw LogError(describe("create", m_path, std::strerror(errno)));
        writeAll(header, "create");
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
    std::size_t written = 0;
    while (left > 0) {
        const ssize_t n = ::write(m_fd, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            if (m_regular && written > 0)
                cutBack(written);
            throw LogError(describe(verb, m_path, std::strerror(err)));
        }
        data += n;
        written += static_cast<std::size_t>(n);
        left -= static_cast<std::size_t>(n);
    }
}

void LogFile::cutBack(std::size_t written)
{
    // In append mode the offset stands at the end of what was written last, so the
    // text began written bytes before it, wherever someone else's truncation moved
    // the end to. Only ever shorten: cutting "back" past the end would leave a hole.
    const off_t end = ::lseek(m_fd, 0, SEEK_CUR);
    struct stat now {};
    if (end < 0 || ::fstat(m_fd, &now) != 0)
        return;
    const off_t begin = end - static_cast<off_t>(written);
    if (begin >= 0 && now.st_size > begin) {
        [[maybe_unused]] const int cut = ::ftruncate(m_fd, begin);
    }
}

bool LogFile::reopen(std::string_view header)
{
    if (m_fd < 0 || !m_regular)
        return false;
    struct stat written {};
    struct stat atPath {};
    if (::fstat(m_fd, &written) == 0 && ::stat(m_path.c_str(), &atPath) == 0 && written.st_dev == atPath.st_dev
        && written.st_ino == atPath.st_ino)
        return false;
    LogFile fresh;
    fresh.create(m_path, header);
    // The fresh object takes the old descriptor and closes it as it goes.
    std::swap(m_fd, fresh.m_fd);
    std::swap(m_regular, fresh.m_regular);
    return true;
}

void LogFile::close()
{
    if (m_fd >= 0) {
        ::close(m_fd); // releases the lock too
        m_fd = -1;
    }
}

} // namespace zephyrscope
