#pragma once

#include "PlayerFactory.h"

#include <string>
#include <vector>

// The application: runs the main dialog modally; the program ends when it ends.
// Construct after QApplication, with the player this build uses and the
// process's arguments as QApplication left them (its own options taken out),
// byte for byte: file names need not be UTF-8.
class CZephyrscopeApp {
public:
    CZephyrscopeApp(PlayerFactory createPlayer, std::vector<std::string> arguments);

    // Runs the whole program. Returns false: there is no message loop after the dialog.
    bool InitInstance();

    // The process's exit status, once InitInstance() has returned.
    int exitStatus() const { return m_exitStatus; }

private:
    PlayerFactory m_createPlayer;
    std::vector<std::string> m_arguments;
    int m_exitStatus = 0;
};
