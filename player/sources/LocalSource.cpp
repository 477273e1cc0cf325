#include "LocalSource.h"

#include "GstHandles.h"
#include "MediaUrl.h"
#include "Protocol.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zephyrscope {

namespace {

const char* kindOf(mode_t mode)
{
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISDIR(mode))
        return "a directory";
    return "not a file";
}

} // namespace

std::string LocalSourceProblem(const std::string& uri)
{
    if (!isLocalScheme(MediaUrl::scheme(uri)))
        return {};
    gsthandles::CharPtr path(g_filename_from_uri(uri.c_str(), nullptr, nullptr));
    struct stat target {};
    // stat() does not open, so it cannot wait for a FIFO's writer.
    if (!path || ::stat(path.get(), &target) != 0 || S_ISREG(target.st_mode))
        return {};
    return std::string("it is ") + kindOf(target.st_mode) + ", not a regular file";
}

std::string ReadLocalText(const std::string& path)
{
    // O_NONBLOCK: should the path have become a FIFO since it was looked at, the open
    // returns at once; the fstat then refuses it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string text;
    struct stat opened {};
    if (::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode)) {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            text.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return text;
}

} // namespace zephyrscope
