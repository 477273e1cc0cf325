#include "CZephyrscopeApp.h"
#include "PlayerFactory.h"

#include <QApplication>

#include <csignal>
#include <string>
#include <vector>

int main(int argc, char* argv[])
{
    // Past a file-size limit a write should fail and be reported, not kill the run.
    std::signal(SIGXFSZ, SIG_IGN);
    // An unattended run whose stderr reader has gone (a pipe into a pager or a
    // logger that ended) must go on measuring: a message that cannot be shown is
    // lost, the run is not.
    std::signal(SIGPIPE, SIG_IGN);

    QApplication application(argc, argv);
    // QApplication has taken its own options (-platform and the like) out of argv.
    // The rest is used as given: a file name that is not UTF-8 would not survive
    // a round trip through QString.
    CZephyrscopeApp app(&CreatePlayer, std::vector<std::string>(argv, argv + argc));
    app.InitInstance();
    return app.exitStatus();
}
