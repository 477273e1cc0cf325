#include "FakePlayer.h"

#include "PlayerError.h"
#include "Protocol.h"

namespace zephyrscope::testing {

namespace {

// Counts itself in the player's live objects and journals its release.
class SubObject {
public:
    SubObject(FakePlayer& player, std::string kind)
        : m_player(player)
        , m_kind(std::move(kind))
    {
        ++m_player.liveObjects;
    }
    ~SubObject()
    {
        --m_player.liveObjects;
        if (m_player.keepJournal)
            m_player.journal.push_back("release " + m_kind);
    }

protected:
    template <typename T>
    T read(const char* property, const T& value)
    {
        m_player.record(m_kind + "." + property);
        return value;
    }
    FakePlayer& m_player;

private:
    std::string m_kind;
};

class FakeNetwork final : public PlayerNetwork, SubObject {
public:
    explicit FakeNetwork(FakePlayer& p)
        : SubObject(p, "network")
    {
    }
    std::int32_t bandWidth() override { return read("bandWidth", m_player.net.bandWidth); }
    std::int32_t recoveredPackets() override { return read("recoveredPackets", m_player.net.recoveredPackets); }
    std::string sourceProtocol() override
    {
        return read("sourceProtocol", std::string(columnOf(m_player.net.protocol)));
    }
    std::int32_t receivedPackets() override { return read("receivedPackets", m_player.net.receivedPackets); }
    std::int32_t lostPackets() override { return read("lostPackets", m_player.net.lostPackets); }
    std::int32_t receptionQuality() override { return read("receptionQuality", m_player.net.receptionQuality); }
    std::int32_t bufferingCount() override { return read("bufferingCount", m_player.net.bufferingCount); }
    std::int32_t bufferingProgress() override { return read("bufferingProgress", m_player.net.bufferingProgress); }
    std::int32_t bufferingTime() override { return read("bufferingTime", m_player.net.bufferingTime); }
    std::int32_t frameRate() override { return read("frameRate", m_player.net.frameRate); }
    std::int32_t bitRate() override { return read("bitRate", m_player.net.bitRate); }
    std::int32_t maxBandwidth() override { return read("maxBandwidth", m_player.net.maxBandwidth); }
    std::int32_t encodedFrameRate() override { return read("encodedFrameRate", m_player.net.encodedFrameRate); }
    std::int32_t framesSkipped() override { return read("framesSkipped", m_player.net.framesSkipped); }
};

class FakeMedia final : public PlayerMedia, SubObject {
public:
    explicit FakeMedia(FakePlayer& p)
        : SubObject(p, "media")
    {
    }
    std::string sourceURL() override { return read("sourceURL", m_player.media.sourceURL); }
    std::int32_t imageSourceWidth() override { return read("imageSourceWidth", m_player.media.imageSourceWidth); }
    std::int32_t imageSourceHeight() override { return read("imageSourceHeight", m_player.media.imageSourceHeight); }
    double duration() override { return read("duration", m_player.media.duration); }
    std::string durationString() override { return read("durationString", m_player.media.durationString); }
    std::string name() override { return read("name", m_player.media.name); }
};

class FakeControls final : public PlayerControls, SubObject {
public:
    explicit FakeControls(FakePlayer& p)
        : SubObject(p, "controls")
    {
    }
    void play() override { m_player.record("controls.play"); }
    void stop() override { m_player.record("controls.stop"); }
};

} // namespace

void FakePlayer::record(const std::string& call)
{
    if (keepJournal)
        journal.push_back(call);
    if (!failingCall.empty() && call == failingCall)
        throw PlayerError("Cannot read " + call + ": the player is gone");
}

void FakePlayer::putURL(const std::string& url)
{
    record("URL");
    urls.push_back(url);
}

std::unique_ptr<PlayerControls> FakePlayer::controls()
{
    record("controls");
    return std::make_unique<FakeControls>(*this);
}

std::unique_ptr<PlayerMedia> FakePlayer::currentMedia()
{
    record("currentMedia");
    return std::make_unique<FakeMedia>(*this);
}

std::unique_ptr<PlayerNetwork> FakePlayer::network()
{
    record("network");
    return std::make_unique<FakeNetwork>(*this);
}

std::int32_t FakePlayer::playState()
{
    record("playState");
    return state;
}

void FakePlayer::snapshot(NetworkFigures& into)
{
    record("snapshot");
    into = net;
    into.playState = state;
}

} // namespace zephyrscope::testing
