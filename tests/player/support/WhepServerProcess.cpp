#include "WhepServerProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>

extern char** environ;

namespace zephyrscope::testing {

namespace {

constexpr const char* kPython = "/usr/bin/python3";

} // namespace

WhepServerProcess::WhepServerProcess(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout)
{
    int fromChild[2];
    if (pipe2(fromChild, O_CLOEXEC) != 0)
        throw std::runtime_error("Cannot create pipe 'whep server': pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
    std::vector<std::string> args {kPython, ZEPHYRSCOPE_WHEP_SERVER};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int spawned = posix_spawn(&m_pid, kPython, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fromChild[1]);
    m_output = fromChild[0];
    if (spawned != 0) {
        m_pid = -1;
        throw std::runtime_error(std::string("Cannot start program '") + ZEPHYRSCOPE_WHEP_SERVER + "': posix_spawn failed");
    }
    m_reader = std::thread(&WhepServerProcess::readOutput, this);
    if (waitForLine("listening ", timeout)) {
        std::lock_guard lock(m_mutex);
        if (std::sscanf(m_lines[m_waited - 1].c_str(), "listening %d", &m_port) == 1)
            return;
    }
    finish();
    throw std::runtime_error(std::string("Cannot start program '") + ZEPHYRSCOPE_WHEP_SERVER + "': it reported no port");
}

WhepServerProcess::~WhepServerProcess()
{
    finish();
}

std::string WhepServerProcess::url(const std::string& path) const
{
    return "whep+http://127.0.0.1:" + std::to_string(m_port) + path;
}

void WhepServerProcess::readOutput()
{
    std::string pending;
    char buffer[4096];
    while (true) {
        const ssize_t got = read(m_output, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        pending.append(buffer, static_cast<std::size_t>(got));
        std::vector<std::string> complete;
        for (auto newline = pending.find('\n'); newline != std::string::npos; newline = pending.find('\n')) {
            complete.push_back(pending.substr(0, newline));
            pending.erase(0, newline + 1);
        }
        if (complete.empty())
            continue;
        {
            std::lock_guard lock(m_mutex);
            m_lines.insert(m_lines.end(), complete.begin(), complete.end());
        }
        m_arrived.notify_all();
    }
    {
        std::lock_guard lock(m_mutex);
        m_ended = true;
    }
    m_arrived.notify_all();
}

bool WhepServerProcess::waitForLine(const std::string& wanted, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(m_mutex);
    while (true) {
        while (m_waited < m_lines.size()) {
            if (m_lines[m_waited++].find(wanted) != std::string::npos)
                return true;
        }
        if (m_ended || m_arrived.wait_until(lock, deadline) == std::cv_status::timeout) {
            // What came with the timeout is looked at all the same.
            while (m_waited < m_lines.size()) {
                if (m_lines[m_waited++].find(wanted) != std::string::npos)
                    return true;
            }
            return false;
        }
    }
}

void WhepServerProcess::finish()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM); // the server ends its sessions, logs their counts and leaves
        bool ended = false;
        {
            std::unique_lock lock(m_mutex);
            ended = m_arrived.wait_for(lock, std::chrono::seconds(10), [this] { return m_ended; });
        }
        int status = 0;
        if (!ended || waitpid(m_pid, &status, WNOHANG) == 0) {
            if (!ended)
                ::kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
        }
        m_pid = -1;
    }
    if (m_reader.joinable())
        m_reader.join();
    if (m_output >= 0) {
        close(m_output);
        m_output = -1;
    }
}

std::vector<std::string> WhepServerProcess::lines() const
{
    std::lock_guard lock(m_mutex);
    return m_lines;
}

bool WhepServerProcess::logged(const std::string& prefix) const
{
    std::lock_guard lock(m_mutex);
    for (const auto& line : m_lines) {
        if (line.rfind(prefix, 0) == 0)
            return true;
    }
    return false;
}

std::vector<WhepServerProcess::Counts> WhepServerProcess::allCounts() const
{
    std::vector<Counts> all;
    std::lock_guard lock(m_mutex);
    for (const auto& line : m_lines) {
        unsigned long long sent = 0, dropped = 0, rtx = 0, frames = 0, nacks = 0, payload = 0;
        double at = 0.0;
        char session[64];
        if (std::sscanf(line.c_str(),
                        "STATS %63s video_sent=%llu video_dropped=%llu rtx_sent=%llu frames=%llu nacks_received=%llu "
                        "payload_bytes=%llu at=%lf",
                        session, &sent, &dropped, &rtx, &frames, &nacks, &payload, &at)
            == 8) {
            Counts counts {sent, dropped, rtx, frames, nacks, payload, at};
            unsigned long long audio = 0, audioDropped = 0, repaired = 0, rtxDropped = 0, audioRepaired = 0;
            if (const auto more = line.find(" audio_sent="); more != std::string::npos
                && std::sscanf(line.c_str() + more,
                               " audio_sent=%llu audio_dropped=%llu video_repaired=%llu rtx_dropped=%llu "
                               "audio_repaired=%llu",
                               &audio, &audioDropped, &repaired, &rtxDropped, &audioRepaired)
                    == 5) {
                counts.audioSent = audio;
                counts.audioDropped = audioDropped;
                counts.videoRepaired = repaired;
                counts.rtxDropped = rtxDropped;
                counts.audioRepaired = audioRepaired;
            }
            all.push_back(counts);
        }
    }
    return all;
}

std::vector<WhepServerProcess::SenderReport> WhepServerProcess::senderReports() const
{
    std::vector<SenderReport> all;
    std::lock_guard lock(m_mutex);
    for (const auto& line : m_lines) {
        unsigned int ssrc = 0;
        double ntp = 0.0;
        unsigned long long octets = 0;
        char session[64];
        if (std::sscanf(line.c_str(), "SR %63s ssrc=%u ntp=%lf octets=%llu", session, &ssrc, &ntp, &octets) == 4)
            all.push_back({ssrc, ntp, octets});
    }
    return all;
}

WhepServerProcess::Counts WhepServerProcess::countsNow(std::chrono::milliseconds timeout)
{
    std::size_t before = 0;
    {
        std::lock_guard lock(m_mutex);
        before = m_lines.size();
    }
    if (m_pid <= 0 || kill(m_pid, SIGUSR1) != 0)
        return Counts();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(m_mutex);
    while (std::none_of(m_lines.begin() + static_cast<std::ptrdiff_t>(before), m_lines.end(),
                        [](const std::string& line) { return line.rfind("STATS ", 0) == 0; })) {
        if (m_ended || m_arrived.wait_until(lock, deadline) == std::cv_status::timeout)
            return Counts();
    }
    lock.unlock();
    return lastCounts();
}

WhepServerProcess::Counts WhepServerProcess::lastCounts() const
{
    const std::vector<Counts> all = allCounts();
    return all.empty() ? Counts() : all.back();
}

} // namespace zephyrscope::testing
