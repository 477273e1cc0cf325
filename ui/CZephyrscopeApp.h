#pragma once

#include "PlayerFactory.h"
#include "ProgramOptions.h"

#include <string>
#include <vector>

namespace zephyrscope {
struct MetricsFigures;
}

// The application: runs the main dialog modally; the program ends when it ends.
// Construct after QApplication, with the player this build uses and the
// process's arguments as QApplication left them (its own options taken out),
// byte for byte: file names need not be UTF-8. The main dialog's run takes
// --json-log, --monitor and --name from options, and puts its figures for the
// metrics endpoint in metricsFigures (nullptr: none); both must outlive
// InitInstance(). Under --monitor SIGHUP reopens the logs instead of ending the run.
class CZephyrscopeApp {
public:
    CZephyrscopeApp(PlayerFactory createPlayer, std::vector<std::string> arguments,
                    const zephyrscope::ProgramOptions& options, zephyrscope::MetricsFigures* metricsFigures);

    // Runs the whole program. Returns false: there is no message loop after the dialog.
    bool InitInstance();

    // The process's exit status, once InitInstance() has returned.
    int exitStatus() const { return m_exitStatus; }

private:
    PlayerFactory m_createPlayer;
    std::vector<std::string> m_arguments;
    const zephyrscope::ProgramOptions& m_options;
    zephyrscope::MetricsFigures* m_metricsFigures;
    int m_exitStatus = 0;
};
