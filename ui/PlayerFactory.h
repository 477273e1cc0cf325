#pragma once

#include "ContentSettings.h"
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
// What the program's options change in its player.
struct PlayerSettings {
    // HTTPS fetches trust the certificate authorities in this file (--ca-file)
    // instead of the system's; empty: the system's.
    std::string caFile;
    // --no-data-timeout, in seconds; 0: the player's own.
    int noDataTimeoutS = 0;
    // WHEP endpoints are sent this bearer token (--bearer-token), and ICE uses
    // these STUN and TURN servers (--stun-server, --turn-server); empty: none.
    std::string bearerToken;
    std::string stunServer;
    std::string turnServer;
    // --transport-only: the streams are parsed, never decoded; nothing is shown or heard.
    bool transportOnly = false;
    // The content detectors' thresholds (--black-level and the like).
    zephyrscope::ContentSettings content;
};
// The same, as the options ask.
std::unique_ptr<zephyrscope::Player> CreatePlayerWith(QWidget* videoArea, const PlayerSettings& settings);

// The program's one test seam: ZEPHYRSCOPE_FAKE_SINKS=1 in its environment (set
// by the tests and benches that run it) makes its player play into synced fake
// sinks whatever the machine has, so that nothing is shown or heard and the
// figures do not depend on a display or sound card. Read by CreatePlayerWith.
bool FakeSinksRequested();

// Why the CA file cannot be used, as the program reports it; empty when it can.
std::string CaFileError(const std::string& caFile);
