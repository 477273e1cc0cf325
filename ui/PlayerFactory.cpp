#include "PlayerFactory.h"

#include "CWMPPlayer4.h"

#include <QByteArray>
#include <QGuiApplication>
#include <QWidget>


std::unique_ptr<zephyrscope::Player> CreatePlayer(QWidget* videoArea)
{
    return CreatePlayerWith(videoArea, {});
}

std::unique_ptr<zephyrscope::Player> CreatePlayerWith(QWidget* videoArea, const PlayerSettings& settings)
{
    auto player = std::make_unique<zephyrscope::CWMPPlayer4>();
    player->setCaFile(settings.caFile);
    player->setWebRtcOptions(settings.bearerToken, settings.stunServer, settings.turnServer);
    player->setFakeSinks(FakeSinksRequested());
    player->setTransportOnly(settings.transportOnly);
    player->setContentSettings(settings.content);
    if (settings.noDataTimeoutS > 0)
        player->setNoDataTimeout(static_cast<std::int32_t>(settings.noDataTimeoutS) * 1000);
    // Only a window on an X11 display can take the picture; anywhere else the
    // player renders into its synced fake sink and counts frames all the same.
    if (videoArea && QGuiApplication::platformName() == QLatin1String("xcb"))
        player->setVideoWindow(static_cast<std::uintptr_t>(videoArea->winId()));
    return player;
}

bool FakeSinksRequested()
{
    const QByteArray value = qgetenv("ZEPHYRSCOPE_FAKE_SINKS");
    return !value.isEmpty() && value != "0";
}

std::string CaFileError(const std::string& caFile)
{
    return zephyrscope::CWMPPlayer4::caFileError(caFile);
}
