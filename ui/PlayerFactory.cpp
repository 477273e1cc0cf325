#include "PlayerFactory.h"

#include "CWMPPlayer4.h"

#include <QGuiApplication>
#include <QWidget>

std::unique_ptr<zephyrscope::Player> CreatePlayer(QWidget* videoArea)
{
    return CreatePlayerTrusting(videoArea, {});
}

std::unique_ptr<zephyrscope::Player> CreatePlayerTrusting(QWidget* videoArea, const std::string& caFile)
{
    auto player = std::make_unique<zephyrscope::CWMPPlayer4>();
    player->setCaFile(caFile);
    // Only a window on an X11 display can take the picture; anywhere else the
    // player renders into its synced fake sink and counts frames all the same.
    if (videoArea && QGuiApplication::platformName() == QLatin1String("xcb"))
        player->setVideoWindow(static_cast<std::uintptr_t>(videoArea->winId()));
    return player;
}

std::string CaFileError(const std::string& caFile)
{
    return zephyrscope::CWMPPlayer4::caFileError(caFile);
}
