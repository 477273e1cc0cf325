#pragma once

#include "PlayerFactory.h"

#include <string>
#include <vector>

namespace zephyrscope {
struct MetricsFigures;
}

// The application: runs the main dialog modally; the program ends when it ends.
// Construct after QApplication, with the player this build uses and the
// process's arguments as QApplication left them (its own options taken out),
// byte for byte: file names need not be UTF-8.
class CZephyrscopeApp {
public:
    CZephyrscopeApp(PlayerFactory createPlayer, std::vector<std::string> arguments);

    // Runs the whole program. Returns false: there is no message loop after the dialog.
    bool InitInstance();

    // Where the main dialog puts its figures for the metrics endpoint; nullptr
    // (the default) for none. Must outlive InitInstance().
    void setMetricsFigures(zephyrscope::MetricsFigures* figures) { m_metricsFigures = figures; }
    // Where the main dialog writes its JSON Lines log; empty (the default) for none.
    void setJsonLogName(std::string path) { m_jsonLogName = std::move(path); }

    // --monitor and --name, handed to the main dialog; under --monitor SIGHUP
    // reopens the logs instead of ending the run.
    void setMonitor(bool monitor) { m_monitor = monitor; }
    void setChannel(std::string channel) { m_channel = std::move(channel); }

    // The process's exit status, once InitInstance() has returned.
    int exitStatus() const { return m_exitStatus; }

private:
    PlayerFactory m_createPlayer;
    std::vector<std::string> m_arguments;
    zephyrscope::MetricsFigures* m_metricsFigures = nullptr;
    std::string m_jsonLogName;
    std::string m_channel;
    bool m_monitor = false;
    int m_exitStatus = 0;
};
