#include "CellPlayer.h"

#include "MainLoopWait.h"

#include <algorithm>

namespace zephyrscope::bench {

using namespace std::chrono_literals;

namespace {

constexpr auto kReadPeriod = 100ms;

std::int64_t wallMsNow()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

CellPlayer::CellPlayer()
    : m_player(std::make_unique<CWMPPlayer4>())
{
    m_player->setFakeSinks(true);
    m_player->setEventSink(&m_events);
    // The last moment an ending entry's figures are live.
    m_events.onEvent = [this](const std::string& event) {
        if (event == "play 8")
            read();
    };
    // A cell's stream lasts about ten seconds; an entry that cannot open in
    // fifteen has failed, and the next cell should not wait out thirty.
    m_player->setOpenTimeout(15000);
}

CellPlayer::~CellPlayer()
{
    stop();
    m_player->setEventSink(nullptr);
    m_player.reset();
    testing::RunMainLoopFor(50ms);
}

void CellPlayer::open(const std::string& url)
{
    m_openWallMs = wallMsNow();
    m_firstNotYetReadWallMs = m_openWallMs;
    m_packetsGrew = std::chrono::steady_clock::now();
    m_player->putURL(url);
}

void CellPlayer::stop()
{
    if (m_player)
        m_player->controls()->stop();
}

std::string CellPlayer::error() const
{
    return m_events.errors.empty() ? std::string() : m_events.errors.front();
}

void CellPlayer::read()
{
    NetworkFigures now;
    m_player->snapshot(now);
    const std::int64_t readWallMs = wallMsNow();
    if (m_firstSeenReadWallMs == 0) {
        if (now.startupMs > 0)
            m_firstSeenReadWallMs = readWallMs;
        else
            m_firstNotYetReadWallMs = readWallMs;
    }
    auto never = [&](const char* name, std::int32_t value, std::int32_t& highest) {
        if (value < highest && m_countsFell.empty())
            m_countsFell = std::string(name) + " fell from " + std::to_string(highest) + " to " + std::to_string(value);
        highest = std::max(highest, value);
    };
    never("received", now.receivedPackets, m_highest.receivedPackets);
    never("lost", now.lostPackets, m_highest.lostPackets);
    never("recovered", now.recoveredPackets, m_highest.recoveredPackets);
    if (now.receivedPackets > m_last.receivedPackets)
        m_packetsGrew = std::chrono::steady_clock::now();
    // A stall's length is known once its picture moved again; each is counted once.
    if (now.stallResumedWallMs > 0 && now.stallSinceWallMs > 0 && now.stallSinceWallMs != m_countedStallSince) {
        m_countedStallSince = now.stallSinceWallMs;
        ++m_resumedStalls;
        m_stallMs += now.stallResumedWallMs - now.stallSinceWallMs;
    }
    if (now.liveLatencyMs)
        m_latencies.push_back(*now.liveLatencyMs);
    // Once the entry has ended the player reads zeros; the last live figures stay.
    if (now.receivedPackets > 0 || m_last.receivedPackets == 0)
        m_last = now;
}

bool CellPlayer::readUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        testing::RunMainLoopFor(kReadPeriod);
        read();
        if (condition())
            return true;
    }
    return false;
}

void CellPlayer::readUntilPacketsStop(std::chrono::milliseconds quiet, std::chrono::milliseconds timeout)
{
    readUntil([&] { return std::chrono::steady_clock::now() - m_packetsGrew > quiet; }, timeout);
}

} // namespace zephyrscope::bench
