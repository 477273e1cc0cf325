#pragma once

#include "PlayerFactory.h"

// The application: runs the main dialog modally; the program ends when it ends.
// Construct after QApplication, with the player this build uses.
class CZephyrscopeApp {
public:
    explicit CZephyrscopeApp(PlayerFactory createPlayer);

    // Runs the whole program. Returns false: there is no message loop after the dialog.
    bool InitInstance();

    // The process's exit status, once InitInstance() has returned.
    int exitStatus() const { return m_exitStatus; }

private:
    PlayerFactory m_createPlayer;
    int m_exitStatus = 0;
};
