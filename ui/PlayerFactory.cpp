#include "PlayerFactory.h"

#include "PlayerEventSink.h"

#include <QObject>
#include <QTimer>

#include <string>

// This build has no media engine linked in. Its player plays nothing and says so:
// every URL put is reported as an error, from the main loop as a real player
// would, after which the player is Ready, so an unattended run still ends by itself.
namespace {

constexpr char kNoEngine[] = "no media engine in this build";
constexpr std::int32_t kStateReady = 10;

class NothingLoadedNetwork final : public zephyrscope::PlayerNetwork {
public:
    std::int32_t bandWidth() override { return 0; }
    std::int32_t recoveredPackets() override { return 0; }
    std::string sourceProtocol() override { return {}; }
    std::int32_t receivedPackets() override { return 0; }
    std::int32_t lostPackets() override { return 0; }
    std::int32_t receptionQuality() override { return 0; }
    std::int32_t bufferingCount() override { return 0; }
    std::int32_t bufferingProgress() override { return 0; }
    std::int32_t bufferingTime() override { return 0; }
    std::int32_t frameRate() override { return 0; }
    std::int32_t bitRate() override { return 0; }
    std::int32_t maxBandwidth() override { return 0; }
    std::int32_t encodedFrameRate() override { return 0; }
    std::int32_t framesSkipped() override { return 0; }
};

class NothingLoadedMedia final : public zephyrscope::PlayerMedia {
public:
    std::string sourceURL() override { return {}; }
    std::int32_t imageSourceWidth() override { return 0; }
    std::int32_t imageSourceHeight() override { return 0; }
    double duration() override { return 0.0; }
    std::string durationString() override { return "00:00"; }
    std::string name() override { return {}; }
};

class IdleControls final : public zephyrscope::PlayerControls {
public:
    void play() override {}
    void stop() override {}
};

class NoEnginePlayer final : public zephyrscope::Player {
public:
    void putURL(const std::string& url) override
    {
        // The context object drops the report if the player is gone by then.
        QTimer::singleShot(0, &m_context, [this, url] {
            if (m_sink)
                m_sink->OnMediaError(url, kNoEngine);
            if (m_sink)
                m_sink->OnPlayStateChange(kStateReady);
        });
    }
    std::unique_ptr<zephyrscope::PlayerControls> controls() override { return std::make_unique<IdleControls>(); }
    std::unique_ptr<zephyrscope::PlayerMedia> currentMedia() override { return std::make_unique<NothingLoadedMedia>(); }
    std::unique_ptr<zephyrscope::PlayerNetwork> network() override { return std::make_unique<NothingLoadedNetwork>(); }
    std::int32_t playState() override { return 0; } // Undefined: nothing was ever loaded
    void setEventSink(zephyrscope::PlayerEventSink* sink) override { m_sink = sink; }

private:
    QObject m_context;
    zephyrscope::PlayerEventSink* m_sink = nullptr;
};

} // namespace

std::unique_ptr<zephyrscope::Player> CreatePlayer(QWidget* /*videoArea*/)
{
    return std::make_unique<NoEnginePlayer>();
}
