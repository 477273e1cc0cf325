#include "FaultFixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zephyrscope::testing {

std::filesystem::path FaultFixture::shortClip(const std::string& fileName, double seconds)
{
    MediaFactory::Clip clip;
    clip.seconds = seconds;
    return media.make(fileName, clip);
}

ProgramProcess::Options FaultFixture::options(const QStringList& arguments) const
{
    ProgramProcess::Options result;
    result.workDir = media.dir();
    result.arguments = arguments;
    return result;
}

ProgramResult FaultFixture::run(const QStringList& arguments, int timeoutMs) const
{
    return ProgramProcess::run(options(arguments), timeoutMs);
}

std::optional<std::string> FaultFixture::playFailure(const ProgramResult& result, const std::string& url)
{
    // The player may name a local path as the file URL it made of it, so the
    // quoted name need only contain what the test looks for.
    const std::string prefix = "Cannot play '";
    for (auto at = result.stderrText.find(prefix); at != std::string::npos;
         at = result.stderrText.find(prefix, at + 1)) {
        const auto nameBegin = at + prefix.size();
        const auto nameEnd = result.stderrText.find("': ", nameBegin);
        if (nameEnd == std::string::npos)
            break;
        if (result.stderrText.compare(nameBegin, nameEnd - nameBegin, url) != 0
            && result.stderrText.substr(nameBegin, nameEnd - nameBegin).find(url) == std::string::npos)
            continue;
        const auto begin = nameEnd + 3;
        return result.stderrText.substr(begin, result.stderrText.find('\n', begin) - begin);
    }
    return std::nullopt;
}

std::string FaultFixture::expectNothingPlayed(const ProgramResult& result, const std::string& url, const std::string& log)
{
    EXPECT_TRUE(result.endedByItself);
    EXPECT_EQ(result.exitStatus, 3) << result.stderrText;
    const auto reason = playFailure(result, url);
    EXPECT_TRUE(reason.has_value()) << "no failure named for '" << url.substr(0, 200) << "' in:\n"
                                    << result.stderrText.substr(0, 4000);
    if (!reason)
        return {};
    EXPECT_FALSE(reason->empty());
    const report::StatisticsLog written = ExpectWellFormedLog(path(log));
    EXPECT_TRUE(written.media.empty());
    return *reason;
}

int FaultFixture::closedPort()
{
    // The kernel hands out a free port; once closed, nothing listens there.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 9;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

} // namespace zephyrscope::testing
