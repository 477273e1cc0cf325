#pragma once

#include "Player.h"

#include <functional>
#include <memory>
#include <string>

class QWidget;

// Makes the main dialog's player. videoArea is the native child widget that fills
// the player control's place (id 1000); a player that shows video draws into its
// winId(). The dialog owns the player and destroys it before the widget.
using PlayerFactory = std::function<std::unique_ptr<zephyrscope::Player>(QWidget* videoArea)>;

// The player this build of the program links in (PlayerFactory.cpp).
std::unique_ptr<zephyrscope::Player> CreatePlayer(QWidget* videoArea);
// The same, its HTTPS fetches trusting the certificate authorities in caFile
// (--ca-file) instead of the system's.
std::unique_ptr<zephyrscope::Player> CreatePlayerTrusting(QWidget* videoArea, const std::string& caFile);

// Why the CA file cannot be used, as the program reports it; empty when it can.
std::string CaFileError(const std::string& caFile);
