#include "PlayerFactory.h"

#include "CWMPPlayer4.h"

#include <QGuiApplication>
#include <QWidget>

#include <cstdlib>

std::unique_ptr<zephyrscope::Player> CreatePlayer(QWidget* videoArea)
{
    return CreatePlayerTrusting(videoArea, {});
}

std::unique_ptr<zephyrscope::Player> CreatePlayerTrusting(QWidget* videoArea, const std::string& caFile)
{
    auto player = std::make_unique<zephyrscope::CWMPPlayer4>();
    player->setCaFile(caFile);
    // Test-only: lets the program's tests see a silent source fail without
    // waiting out the network timeout. Milliseconds; ignored unless in range.
    if (const char* value = std::getenv("ZEPHYRSCOPE_TEST_NO_DATA_TIMEOUT_MS")) {
        const long ms = std::strtol(value, nullptr, 10);
        if (ms > 0 && ms <= 30000)
            player->setNoDataTimeout(static_cast<std::int32_t>(ms));
    }
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
