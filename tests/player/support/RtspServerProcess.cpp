#include "RtspServerProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace zephyrscope::testing {

RtspServerProcess::RtspServerProcess(const std::string& program, const std::vector<std::string>& arguments,
                                     std::chrono::milliseconds timeout)
{
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0)
        throw std::runtime_error("Cannot create pipe 'rtsp server': pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
    std::vector<std::string> args {program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int spawned = posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    m_input = toChild[1];
    m_output = fromChild[0];
    if (spawned != 0) {
        m_pid = -1;
        throw std::runtime_error("Cannot start program '" + program + "': posix_spawn failed");
    }
    std::string line;
    while (readLine(line, timeout)) {
        if (std::sscanf(line.c_str(), "PORT %d", &m_port) == 1)
            return;
    }
    finish(std::chrono::seconds(2));
    throw std::runtime_error("Cannot start program '" + program + "': it reported no port");
}

RtspServerProcess::~RtspServerProcess()
{
    finish();
}

std::string RtspServerProcess::url(const std::string& scheme, const std::string& mount) const
{
    return scheme + "://127.0.0.1:" + std::to_string(m_port) + mount;
}

bool RtspServerProcess::readLine(std::string& line, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const auto newline = m_pending.find('\n');
        if (newline != std::string::npos) {
            line = m_pending.substr(0, newline);
            m_pending.erase(0, newline + 1);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || m_output < 0)
            return false;
        pollfd fd {m_output, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char buffer[256];
        const ssize_t got = read(m_output, buffer, sizeof buffer);
        if (got <= 0)
            return false;
        m_pending.append(buffer, static_cast<std::size_t>(got));
    }
}

void RtspServerProcess::killAbruptly()
{
    if (m_pid > 0 && !m_finished)
        ::kill(m_pid, SIGKILL);
}

RtspServerProcess::Stats RtspServerProcess::finish(std::chrono::milliseconds timeout)
{
    if (m_finished)
        return m_stats;
    m_finished = true;
    if (m_input >= 0) {
        close(m_input); // end of input: the server reports and leaves
        m_input = -1;
    }
    std::string line;
    while (readLine(line, timeout)) {
        unsigned long long sent = 0, dropped = 0, trailing = 0;
        if (std::sscanf(line.c_str(), "STATS sent=%llu dropped=%llu trailing=%llu", &sent, &dropped, &trailing) >= 2) {
            m_stats = Stats {};
            m_stats.sent = sent;
            m_stats.dropped = dropped;
            m_stats.trailingDropped = trailing;
            std::istringstream fields(line);
            std::string field;
            while (fields >> field) {
                const std::size_t equals = field.find('=');
                if (field.rfind("relay-", 0) == 0 && equals != std::string::npos)
                    m_stats.relay[field.substr(6, equals - 6)] = std::strtoll(field.c_str() + equals + 1, nullptr, 10);
                else if (field.rfind("frames-", 0) == 0 && equals != std::string::npos)
                    m_stats.frames[field.substr(7, equals - 7)] = std::strtoll(field.c_str() + equals + 1, nullptr, 10);
            }
            break;
        }
    }
    if (m_pid > 0) {
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (waitpid(m_pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &status, 0);
                break;
            }
            pollfd none {-1, 0, 0};
            poll(&none, 0, 20); // the child is on its way out; look again shortly
        }
        m_pid = -1;
    }
    if (m_output >= 0) {
        close(m_output);
        m_output = -1;
    }
    return m_stats;
}

} // namespace zephyrscope::testing
