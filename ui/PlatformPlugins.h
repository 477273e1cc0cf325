#pragma once

#include <QString>
#include <QStringList>

#include <string>
#include <vector>

// Qt aborts the process (SIGABRT, a core dump where enabled) when the platform
// it is asked for has no plugin; the program checks the name first.

// The platform names the installed plugins provide ("xcb", "offscreen", ...),
// read from each plugin's metadata without loading it. Works before QApplication.
QStringList AvailablePlatforms();

// The platform named by "-platform NAME" in arguments (argument 0 first) or, when
// none is, by QT_QPA_PLATFORM; the part before any ':' options. Empty when none.
QString RequestedPlatform(const std::vector<std::string>& arguments);
