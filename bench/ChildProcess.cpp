#include "ChildProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace zephyrscope::bench {

namespace {

double timevalSeconds(const timeval& t)
{
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

long statusField(const std::string& status, const char* name)
{
    const auto at = status.find(name);
    if (at == std::string::npos)
        return 0;
    return std::strtol(status.c_str() + at + std::strlen(name), nullptr, 10);
}

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                           const std::filesystem::path& workDir, const std::filesystem::path& outputFile)
{
    if (argv.empty())
        throw std::runtime_error("Cannot start process '': no program given");
    // Everything the child needs is prepared before fork: after it, only
    // async-signal-safe calls.
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& change : environment)
            replaced = replaced || change.substr(0, change.find('=')) == name;
        if (!replaced)
            envStrings.push_back(entry);
    }
    for (const auto& change : environment) {
        if (change.find('=') != std::string::npos)
            envStrings.push_back(change);
    }
    std::vector<char*> envp;
    for (auto& e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const int output = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (output < 0)
        throw std::runtime_error("Cannot create file '" + outputFile.string() + "': " + std::strerror(errno));
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);

    m_started = std::chrono::steady_clock::now();
    m_pid = ::fork();
    if (m_pid < 0) {
        ::close(output);
        ::close(devNull);
        throw std::runtime_error("Cannot start process '" + argv[0] + "': " + std::strerror(errno));
    }
    if (m_pid == 0) {
        if (::chdir(workDir.c_str()) != 0)
            ::_exit(126);
        ::dup2(devNull, STDIN_FILENO);
        ::dup2(output, STDOUT_FILENO);
        ::dup2(output, STDERR_FILENO);
        ::execvpe(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(output);
    ::close(devNull);
}

ChildProcess::~ChildProcess()
{
    if (m_exitStatus < 0 && m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        reap(0);
    }
}

double ChildProcess::elapsedSeconds() const
{
    const auto end = m_exitStatus >= 0 ? m_ended : std::chrono::steady_clock::now();
    return std::chrono::duration<double>(end - m_started).count();
}

ProcessSnapshot ChildProcess::snapshot() const
{
    ProcessSnapshot s;
    s.wallSeconds = elapsedSeconds();
    const std::string proc = "/proc/" + std::to_string(m_pid);
    std::ifstream statFile(proc + "/stat");
    std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    const auto close = stat.rfind(')');
    if (close == std::string::npos)
        return s;
    // Fields after the command name start at field 3 (state); utime and stime are fields 14 and 15.
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int number = 3; number <= 15 && (fields >> field); ++number) {
        if (number == 14)
            utime = std::stoull(field);
        else if (number == 15)
            stime = std::stoull(field);
    }
    s.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    std::ifstream statusFile(proc + "/status");
    const std::string status((std::istreambuf_iterator<char>(statusFile)), std::istreambuf_iterator<char>());
    s.rssKb = statusField(status, "VmRSS:");
    s.anonRssKb = statusField(status, "RssAnon:");
    s.peakRssKb = statusField(status, "VmHWM:");
    s.threads = static_cast<int>(statusField(status, "Threads:"));
    if (DIR* dir = ::opendir((proc + "/fd").c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            ++s.openFds;
            char target[64] = {};
            const std::string link = proc + "/fd/" + entry->d_name;
            if (::readlink(link.c_str(), target, sizeof target - 1) > 0
                && std::string_view(target) == "anon_inode:[eventfd]")
                ++s.eventFds;
        }
        ::closedir(dir);
    }
    return s;
}

bool ChildProcess::reap(int flags)
{
    int status = 0;
    pid_t got;
    do {
        got = ::wait4(m_pid, &status, flags, &m_usage);
    } while (got < 0 && errno == EINTR);
    if (got != m_pid)
        return false;
    m_ended = std::chrono::steady_clock::now();
    m_exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

bool ChildProcess::watchFor(std::chrono::milliseconds duration, std::chrono::milliseconds period,
                            const std::function<void(const ProcessSnapshot&)>& watch)
{
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (m_exitStatus < 0) {
        if (reap(WNOHANG))
            return true;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return false;
        if (watch)
            watch(snapshot());
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(period, deadline - now));
    }
    return true;
}

bool ChildProcess::wait(std::chrono::milliseconds timeout, std::chrono::milliseconds period,
                        const std::function<void(const ProcessSnapshot&)>& watch)
{
    if (watchFor(timeout, period, watch))
        return true;
    ::kill(m_pid, SIGKILL);
    reap(0);
    return false;
}

void ChildProcess::terminate()
{
    if (m_exitStatus >= 0)
        return;
    ::kill(m_pid, SIGTERM);
    if (!wait(std::chrono::seconds(20), std::chrono::milliseconds(50))) {
        std::fprintf(stderr, "process %d did not end on SIGTERM and was killed\n", static_cast<int>(m_pid));
    }
}

double ChildProcess::usageCpuSeconds() const
{
    return timevalSeconds(m_usage.ru_utime) + timevalSeconds(m_usage.ru_stime);
}

} // namespace zephyrscope::bench
